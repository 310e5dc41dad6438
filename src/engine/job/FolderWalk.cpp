#include "engine/job/FolderWalk.h"

#include "engine/job/ListCollation.h"
#include "engine/picture/PictureNames.h"
#include "platform/AppPaths.h"

#include <QFile>
#include <QFileInfo>
#include <algorithm>
#include <vector>

#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

namespace {

bool isWalkedFolder(const QFileInfo& info)
{
    return !info.isSymLink() && info.isDir() && !info.fileName().startsWith(QLatin1Char('.'));
}

// Lists one folder: appends its pictures and returns its subfolders, all in
// listing order. False when `append` refused.
bool walkOne(const QString& folder, const FolderWalk::AppendFunction& append, const YieldFunction& yield,
             QStringList* subfolders, QList<FolderWalk::Unreadable>* unreadable)
{
    QString problem;
    const QStringList names = FolderWalk::ListFolder(folder, &problem);
    if (!problem.isEmpty() && unreadable)
        unreadable->append({folder, problem});
    for (const QString& name : names) {
        const QString path = AppPaths::JoinPath(folder, name);
        const QFileInfo info(path);
        if (isWalkedFolder(info)) {
            subfolders->append(path);
        } else if (PictureNames::IsSearchName(name)) {
            const QString why = FolderWalk::ReadProblem(path);
            if (!why.isEmpty()) {
                if (unreadable)
                    unreadable->append({path, why});
            } else if (!append(path)) {
                return false;
            }
        }
        if (yield) {
            yield();
            yield();
        }
    }
    return true;
}

} // namespace

QString FolderWalk::ReadProblem(const QString& path)
{
    // With the effective ids and capabilities, as an open would be judged.
    if (::faccessat(AT_FDCWD, QFile::encodeName(path).constData(), R_OK, AT_EACCESS) == 0)
        return {};
    return QString::fromLocal8Bit(std::strerror(errno));
}

QStringList FolderWalk::ListFolder(const QString& folder, QString* problem)
{
    const QByteArray path = QFile::encodeName(folder);
    // A folder that can be listed but not entered gives names of entries
    // that cannot be reached: it is no more readable than one not listed.
    DIR* dir = ::faccessat(AT_FDCWD, path.constData(), X_OK, AT_EACCESS) == 0 ? ::opendir(path.constData()) : nullptr;
    if (!dir) {
        if (problem)
            *problem = QString::fromLocal8Bit(std::strerror(errno));
        return {};
    }
    QStringList names;
    for (;;) {
        errno = 0;
        const dirent* e = ::readdir(dir);
        if (!e) {
            if (errno != 0 && problem)
                *problem = QString::fromLocal8Bit(std::strerror(errno));
            break;
        }
        if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0)
            names.append(QFile::decodeName(e->d_name));
    }
    ::closedir(dir);
    const QCollator collator = ListCollator(true);
    // Names equal under the collation (a.jpg, A.jpg) keep a fixed order.
    std::sort(names.begin(), names.end(), [&collator](const QString& a, const QString& b) {
        const int c = collator.compare(a, b);
        return c != 0 ? c < 0 : a < b;
    });
    return names;
}

bool FolderWalk::Walk(const QString& folder, const AppendFunction& append, const YieldFunction& yield,
                      QList<Unreadable>* unreadable)
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
    if (!walkOne(folder, append, yield, &pending.back().subfolders, unreadable))
        return false;
    while (!pending.empty()) {
        Level& level = pending.back();
        if (level.next >= level.subfolders.size()) {
            pending.pop_back();
            continue;
        }
        const QString sub = level.subfolders.at(level.next++);
        pending.emplace_back();
        if (!walkOne(sub, append, yield, &pending.back().subfolders, unreadable))
            return false;
    }
    return true;
}

QStringList FolderWalk::Pictures(const QString& folder, QList<Unreadable>* unreadable)
{
    QStringList found;
    Walk(
        folder,
        [&found](const QString& path) {
            found.append(path);
            return true;
        },
        YieldFunction(), unreadable);
    return found;
}
