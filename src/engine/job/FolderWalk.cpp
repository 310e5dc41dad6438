#include "engine/job/FolderWalk.h"

#include "engine/job/ListCollation.h"
#include "engine/picture/PictureNames.h"
#include "platform/AppPaths.h"

#include <QDir>
#include <QFileInfo>
#include <algorithm>
#include <vector>

namespace {

bool isWalkedFolder(const QFileInfo& info)
{
    return !info.isSymLink() && info.isDir() && !info.fileName().startsWith(QLatin1Char('.'));
}

// Lists one folder: appends its pictures and returns its subfolders, all in
// listing order. False when `append` refused.
bool walkOne(const QString& folder, const FolderWalk::AppendFunction& append, const YieldFunction& yield,
             QStringList* subfolders)
{
    for (const QString& name : FolderWalk::ListFolder(folder)) {
        const QString path = AppPaths::JoinPath(folder, name);
        const QFileInfo info(path);
        if (isWalkedFolder(info)) {
            subfolders->append(path);
        } else if (PictureNames::IsSearchName(name)) {
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

} // namespace

QStringList FolderWalk::ListFolder(const QString& folder)
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

bool FolderWalk::Walk(const QString& folder, const AppendFunction& append, const YieldFunction& yield)
{
    // Depth first, each folder's pictures before its subfolders' trees. The
    // pending subfolders of every level are kept here rather than on the call
    // stack, so a deep tree cannot exhaust it; every subfolder is walked,
    // however many a folder has.
    struct Level {
        QStringList subfolders;
        qsizetype next = 0;
    };
    std::vector<Level> pending(1);
    if (!walkOne(folder, append, yield, &pending.back().subfolders))
        return false;
    while (!pending.empty()) {
        Level& level = pending.back();
        if (level.next >= level.subfolders.size()) {
            pending.pop_back();
            continue;
        }
        const QString sub = level.subfolders.at(level.next++);
        pending.emplace_back();
        if (!walkOne(sub, append, yield, &pending.back().subfolders))
            return false;
    }
    return true;
}

QStringList FolderWalk::Pictures(const QString& folder)
{
    QStringList found;
    Walk(
        folder,
        [&found](const QString& path) {
            found.append(path);
            return true;
        },
        YieldFunction());
    return found;
}
