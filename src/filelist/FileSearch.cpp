#include "filelist/FileSearch.h"

#include "filelist/ListCollation.h"
#include "platform/AppPaths.h"

#include <QDir>
#include <QFileInfo>
#include <algorithm>
#include <vector>

namespace FileSearch {

bool IsPictureName(const QString& name)
{
    static const char* const suffixes[] = {".bmp", ".jpg", ".gif", ".png", ".tif", ".tiff", ".jpeg"};
    for (const char* s : suffixes) {
        if (name.endsWith(QLatin1String(s), Qt::CaseInsensitive))
            return true;
    }
    return false;
}

QStringList ListFolder(const QString& folder)
{
    QDir dir(folder);
    if (!dir.exists())
        return {};
    QStringList names = dir.entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                                      QDir::Unsorted);
    const QCollator collator = ListCollator(true);
    // Names equal under the collation (a.jpg, A.jpg) keep a fixed order.
    std::sort(names.begin(), names.end(), [&collator](const QString& a, const QString& b) {
        const int c = collator.compare(a, b);
        return c != 0 ? c < 0 : a < b;
    });
    return names;
}

static bool isSearchedFolder(const QFileInfo& info)
{
    return !info.isSymLink() && info.isDir() && !info.fileName().startsWith(QLatin1Char('.'));
}

// Lists one folder: appends its pictures and returns its subfolders, all in
// listing order. False when `append` refused.
static bool searchOne(const QString& folder, const AppendFunction& append, const YieldFunction& yield,
                      QStringList* subfolders)
{
    for (const QString& name : ListFolder(folder)) {
        const QString path = AppPaths::JoinPath(folder, name);
        const QFileInfo info(path);
        if (isSearchedFolder(info)) {
            subfolders->append(path);
        } else if (IsPictureName(name)) {
            if (!append(path))
                return false;
        }
        if (yield) {
            yield();
            yield();
        }
    }
    return true;
}

bool SearchFolder(const QString& folder, const AppendFunction& append, const YieldFunction& yield)
{
    // Depth first, each folder's pictures before its subfolders' trees. The
    // pending subfolders of every level are kept here rather than on the call
    // stack, so a deep tree cannot exhaust it; every subfolder is searched,
    // however many a folder has.
    struct Level {
        QStringList subfolders;
        qsizetype next = 0;
    };
    std::vector<Level> pending(1);
    if (!searchOne(folder, append, yield, &pending.back().subfolders))
        return false;
    while (!pending.empty()) {
        Level& level = pending.back();
        if (level.next >= level.subfolders.size()) {
            pending.pop_back();
            continue;
        }
        const QString sub = level.subfolders.at(level.next++);
        pending.emplace_back();
        if (!searchOne(sub, append, yield, &pending.back().subfolders))
            return false;
    }
    return true;
}

} // namespace FileSearch
