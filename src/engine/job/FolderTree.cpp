#include "engine/job/FolderTree.h"

#include <QByteArray>
#include <QFile>

#include <cerrno>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {
// The "clear attributes to normal" of the original: make the entry ours to
// change, so a read-only folder does not block the removal of its entries.
// (A read-only file needs nothing: removing it takes write on its folder.)
void makeWritable(int fd, const struct stat& st)
{
    if ((st.st_mode & S_IRWXU) != S_IRWXU)
        fchmod(fd, (st.st_mode & 07777) | S_IRWXU);
}

void removeAt(int parentFd, const QByteArray& name, const YieldFunction& yield)
{
    const int fd = ::openat(parentFd, name.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        // A link, a file or anything else that is no folder: the entry goes.
        if (errno == ELOOP || errno == ENOTDIR)
            ::unlinkat(parentFd, name.constData(), 0);
        return;
    }
    struct stat st {};
    if (::fstat(fd, &st) == 0)
        makeWritable(fd, st);
    // The names first, then the removal: removing while reading a folder
    // may make readdir skip or repeat entries.
    std::vector<QByteArray> names;
    if (DIR* dir = ::fdopendir(::dup(fd))) {
        while (const dirent* e = ::readdir(dir)) {
            const QByteArray n(e->d_name);
            if (n != "." && n != "..")
                names.push_back(n);
        }
        ::closedir(dir);
    }
    for (const QByteArray& n : names) {
        struct stat est {};
        if (::fstatat(fd, n.constData(), &est, AT_SYMLINK_NOFOLLOW) == 0) {
            if (S_ISDIR(est.st_mode))
                removeAt(fd, n, yield);
            else
                ::unlinkat(fd, n.constData(), 0);
        }
        if (yield)
            yield();
    }
    ::close(fd);
    ::unlinkat(parentFd, name.constData(), AT_REMOVEDIR);
}
} // namespace

void RemoveFolderTreeAt(int parentFd, const QByteArray& name, const YieldFunction& yield)
{
    if (parentFd < 0 || name.isEmpty() || name.contains('/') || name == "." || name == "..")
        return;
    removeAt(parentFd, name, yield);
}

void RemoveFolderTree(const QString& folder, const YieldFunction& yield)
{
    if (folder.isEmpty())
        return;
    const QByteArray self = QFile::encodeName(folder);
    struct stat st {};
    // Only a folder: a link or a file named as the tree is left alone.
    if (::lstat(self.constData(), &st) != 0 || !S_ISDIR(st.st_mode))
        return;
    QByteArray path = self;
    while (path.size() > 1 && path.endsWith('/'))
        path.chop(1);
    const qsizetype slash = path.lastIndexOf('/');
    const QByteArray parent = slash < 0 ? QByteArray(".") : slash == 0 ? QByteArray("/") : path.left(slash);
    const QByteArray name = slash < 0 ? path : path.mid(slash + 1);
    const int parentFd = ::open(parent.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (parentFd < 0)
        return;
    RemoveFolderTreeAt(parentFd, name, yield);
    ::close(parentFd);
}
