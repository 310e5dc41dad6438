#include "filelist/FileSearch.h"

#include "engine/job/FolderWalk.h"
#include "engine/picture/PictureNames.h"

namespace FileSearch {

bool IsPictureName(const QString& name) { return PictureNames::IsSearchName(name); }

QStringList ListFolder(const QString& folder) { return FolderWalk::ListFolder(folder); }

bool SearchFolder(const QString& folder, const AppendFunction& append, const YieldFunction& yield,
                  QList<FolderWalk::Unreadable>* unreadable)
{
    return FolderWalk::Walk(folder, append, yield, unreadable);
}

} // namespace FileSearch
