#include "engine/job/FolderTree.h"

#include <QByteArray>
#include <QDir>
#include <QFile>

#include <sys/stat.h>
#include <unistd.h>

namespace {
// The "clear attributes to normal" of the original: make the entry ours to
// change, so a read-only file or folder does not block the removal.
void makeWritable(const QByteArray& path, const struct stat& st)
{
    const mode_t want = S_ISDIR(st.st_mode) ? (S_IRWXU) : (S_IRUSR | S_IWUSR);
    if ((st.st_mode & want) != want)
        chmod(path.constData(), (st.st_mode & 07777) | want);
}
} // namespace

void RemoveFolderTree(const QString& folder, const YieldFunction& yield)
{
    if (folder.isEmpty())
        return;
    const QByteArray self = QFile::encodeName(folder);
    struct stat st {};
    if (lstat(self.constData(), &st) != 0 || !S_ISDIR(st.st_mode))
        return;
    makeWritable(self, st);

    const QDir dir(folder);
    const QStringList names = dir.entryList(QDir::AllEntries | QDir::Hidden | QDir::System
                                                | QDir::NoDotAndDotDot,
                                            QDir::NoSort);
    for (const QString& name : names) {
        const QString path = dir.filePath(name);
        const QByteArray p8 = QFile::encodeName(path);
        struct stat est {};
        if (lstat(p8.constData(), &est) == 0) {
            if (S_ISDIR(est.st_mode)) {
                RemoveFolderTree(path, yield);
            } else {
                ::unlink(p8.constData());
            }
        }
        if (yield)
            yield();
    }
    ::rmdir(self.constData());
}
