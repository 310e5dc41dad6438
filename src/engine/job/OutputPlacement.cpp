#include "engine/job/OutputPlacement.h"

#include "platform/SignalHold.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {
// A document's staging names; another kind of file (placed while the
// document is) gets its own, after its kind: "placing-text-file.note".
const char kNoteName[] = "placing.note";
const char kStagedName[] = "placing.pdf";
const char kHiddenMark[] = ".velunor-";

QString sysText(int err)
{
    return QString::fromLocal8Bit(std::strerror(err));
}

// A descriptor closed on every way out.
class Fd {
public:
    explicit Fd(int fd = -1) : m_fd(fd) {}
    ~Fd() { reset(); }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return m_fd; }
    int release()
    {
        const int fd = m_fd;
        m_fd = -1;
        return fd;
    }
    void reset(int fd = -1)
    {
        if (m_fd >= 0)
            ::close(m_fd);
        m_fd = fd;
    }

private:
    int m_fd;
};

bool writeAll(int fd, const char* p, size_t n)
{
    while (n > 0) {
        const ssize_t w = ::write(fd, p, n);
        if (w < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        if (w == 0) {
            errno = ENOSPC;
            return false;
        }
        p += w;
        n -= size_t(w);
    }
    return true;
}

// Gives the unnamed file fd a name; readPath is its /proc/self/fd path.
int linkFd(int fd, const QByteArray& readPath, int dir, const char* name)
{
    // AT_EMPTY_PATH needs a capability; the /proc path does not.
    if (::linkat(fd, "", dir, name, AT_EMPTY_PATH) == 0)
        return 0;
    return ::linkat(AT_FDCWD, readPath.constData(), dir, name, AT_SYMLINK_FOLLOW);
}

// Moves a name over another; without `replace` an existing entry is kept
// (EEXIST), decided by the file system in one step.
int moveInto(int fromDir, const char* from, int toDir, const char* to, bool replace)
{
    if (replace)
        return ::renameat(fromDir, from, toDir, to);
    if (::renameat2(fromDir, from, toDir, to, RENAME_NOREPLACE) == 0)
        return 0;
    if (errno != EINVAL && errno != ENOSYS)
        return -1;
    // A file system without RENAME_NOREPLACE: link() never replaces.
    if (::linkat(fromDir, from, toDir, to, 0) != 0)
        return -1;
    ::unlinkat(fromDir, from, 0);
    return 0;
}

QByteArray hiddenName(const QByteArray& name)
{
    return '.' + name + kHiddenMark + QByteArray::number(::getpid());
}
} // namespace

OutputPlacement::Entry OutputPlacement::EntryAt(const QString& path)
{
    struct stat st {};
    if (::lstat(QFile::encodeName(path).constData(), &st) != 0)
        return Entry::None;
    if (S_ISLNK(st.st_mode))
        return Entry::Link;
    if (S_ISDIR(st.st_mode))
        return Entry::Folder;
    return S_ISREG(st.st_mode) ? Entry::File : Entry::Other;
}

QString OutputPlacement::Problem(const QString& target)
{
    const QString absolute = QFileInfo(target).absoluteFilePath();
    const QByteArray path = QFile::encodeName(absolute);
    if (path.size() >= PATH_MAX)
        return QStringLiteral("The output path %1 is too long (%2 bytes; the system takes at most %3). "
                              "Please choose a shorter title or output folder.")
            .arg(absolute)
            .arg(path.size())
            .arg(PATH_MAX - 1);
    struct stat st {};
    if (::lstat(path.constData(), &st) != 0)
        return {};
    if (S_ISDIR(st.st_mode))
        return QStringLiteral("%1 is a folder, so the document cannot be put there. "
                              "Please choose another title or output folder.")
            .arg(absolute);
    if (!S_ISREG(st.st_mode) && !S_ISLNK(st.st_mode))
        return QStringLiteral("%1 is a special file (a device, pipe or socket), so the document cannot be put there. "
                              "Please choose another title or output folder.")
            .arg(absolute);
    // In a folder with the sticky bit (/tmp) only the owner of an entry or
    // of the folder may replace it.
    struct stat dir {};
    const uid_t me = ::geteuid();
    if (me != 0 && ::stat(QFile::encodeName(QFileInfo(absolute).absolutePath()).constData(), &dir) == 0
        && (dir.st_mode & S_ISVTX) && st.st_uid != me && dir.st_uid != me)
        return QStringLiteral("%1 belongs to another user in a shared folder, so it cannot be replaced. "
                              "Please choose another title or output folder.")
            .arg(absolute);
    return {};
}

void OutputPlacement::SweepNote(const QString& stagingFolder)
{
    const QStringList notes = QDir(stagingFolder).entryList({QStringLiteral("placing*.note")}, QDir::Files | QDir::Hidden);
    for (const QString& name : notes) {
        const QString note = stagingFolder + QLatin1Char('/') + name;
        QFile f(note);
        if (!f.open(QIODevice::ReadOnly))
            continue;
        const QByteArray hidden = f.readAll();
        f.close();
        // Only a name of the kind Place() makes.
        const int slash = hidden.lastIndexOf('/');
        if (slash >= 0 && hidden.mid(slash + 1).startsWith('.') && hidden.contains(kHiddenMark))
            ::unlink(hidden.constData());
        QFile::remove(note);
    }
}

QByteArray OutputPlacement::stagingName(const char* documentName) const
{
    if (m_what == QLatin1String("document"))
        return documentName;
    const QByteArray name(documentName);
    return name.left(name.indexOf('.')) + '-' + m_what.toLatin1().replace(' ', '-') + name.mid(name.indexOf('.'));
}

bool OutputPlacement::Place(const QString& from, const QString& target, bool replace, const Check& check, QString* error,
                            const BeforeLink& beforeLink)
{
    auto failWith = [&](const QString& reason) {
        *error = QStringLiteral("The %1 %2 could not be written: %3.").arg(m_what, target, reason);
        return false;
    };
    const QString problem = Problem(target);
    if (!problem.isEmpty()) {
        *error = problem;
        return false;
    }
    const QFileInfo targetInfo(target);
    const QByteArray name = QFile::encodeName(targetInfo.fileName());
    const QByteArray staged = stagingName(kStagedName);
    Fd dir(::open(QFile::encodeName(targetInfo.absolutePath()).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir.get() < 0)
        return failWith(sysText(errno));
    Fd src(::open(QFile::encodeName(from).constData(), O_RDONLY | O_CLOEXEC));
    struct stat srcStat {};
    if (src.get() < 0 || ::fstat(src.get(), &srcStat) != 0) {
        *error = QStringLiteral("The finished %1 %2 could not be read: %3.").arg(m_what, from, sysText(errno));
        return false;
    }

    // A document replacing a file keeps that file's permissions.
    struct stat old {};
    const bool hadOld = ::fstatat(dir.get(), name.constData(), &old, AT_SYMLINK_NOFOLLOW) == 0;
    const mode_t keepMode = hadOld && S_ISREG(old.st_mode) ? (old.st_mode & 07777) : 0;

    // The staging folder serves only on the output folder's file system.
    Fd stage;
    {
        Fd s(m_staging.isEmpty() ? -1 : ::open(QFile::encodeName(m_staging).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        struct stat a {}, b {};
        if (s.get() >= 0 && ::fstat(s.get(), &a) == 0 && ::fstat(dir.get(), &b) == 0 && a.st_dev == b.st_dev)
            stage.reset(s.release());
    }
    const QByteArray noteHidden = QFile::encodeName(targetInfo.absolutePath()) + '/' + hiddenName(name);
    auto writeNote = [&]() {
        if (m_staging.isEmpty())
            return;
        QFile note(m_staging + QLatin1Char('/') + QString::fromLatin1(stagingName(kNoteName)));
        if (note.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
            note.write(noteHidden);
            note.flush();
            ::fsync(note.handle());
        }
    };
    auto removeNote = [&]() {
        if (!m_staging.isEmpty())
            QFile::remove(m_staging + QLatin1Char('/') + QString::fromLatin1(stagingName(kNoteName)));
    };

    // The copy: an unnamed file in the output folder, gone by itself if
    // anything stops us before it is linked in.
    Fd out(::openat(dir.get(), ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666));
    QByteArray readPath;
    int namedDir = -1;
    QByteArray namedTemp;
    if (out.get() >= 0) {
        readPath = "/proc/self/fd/" + QByteArray::number(out.get());
        if (::access(readPath.constData(), F_OK) != 0) {
            out.reset(); // no /proc: the copy could not be read back
            errno = EOPNOTSUPP;
        }
    }
    if (out.get() < 0) {
        const int err = errno;
        if (err != EOPNOTSUPP && err != EISDIR && err != EINVAL && err != ENOENT)
            return failWith(sysText(err));
        // A file system without unnamed files: a named one, in the staging
        // folder if it can be, else hidden in the output folder.
        namedDir = stage.get() >= 0 ? stage.get() : dir.get();
        namedTemp = stage.get() >= 0 ? staged : hiddenName(name);
        if (stage.get() < 0)
            writeNote();
        ::unlinkat(namedDir, namedTemp.constData(), 0);
        out.reset(::openat(namedDir, namedTemp.constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666));
        if (out.get() < 0) {
            const int e = errno;
            removeNote();
            return failWith(sysText(e));
        }
        readPath = "/proc/self/fd/" + QByteArray::number(out.get());
        if (::access(readPath.constData(), F_OK) != 0)
            readPath = stage.get() >= 0 ? QFile::encodeName(m_staging) + '/' + namedTemp : noteHidden;
    }
    auto dropNamed = [&]() {
        if (!namedTemp.isEmpty()) {
            ::unlinkat(namedDir, namedTemp.constData(), 0);
            removeNote();
        }
    };
    auto failErrno = [&](int err) {
        dropNamed();
        return failWith(sysText(err));
    };

    if (keepMode != 0)
        ::fchmod(out.get(), keepMode);
    QByteArray buf(1 << 20, Qt::Uninitialized);
    qint64 copied = 0;
    for (;;) {
        const ssize_t r = ::read(src.get(), buf.data(), size_t(buf.size()));
        if (r < 0 && errno == EINTR)
            continue;
        if (r < 0) {
            const int e = errno;
            dropNamed();
            *error = QStringLiteral("The finished %1 %2 could not be read: %3.").arg(m_what, from, sysText(e));
            return false;
        }
        if (r == 0)
            break;
        if (!writeAll(out.get(), buf.constData(), size_t(r)))
            return failErrno(errno);
        copied += r;
    }
    // On the disk, not only in the page cache: a full or failing disk says
    // so here at the latest.
    if (::fsync(out.get()) != 0)
        return failErrno(errno);
    struct stat outStat {};
    if (::fstat(out.get(), &outStat) != 0)
        return failErrno(errno);
    if (outStat.st_size != srcStat.st_size || copied != srcStat.st_size) {
        dropNamed();
        return failWith(QStringLiteral("only %1 of its %2 bytes were written").arg(outStat.st_size).arg(srcStat.st_size));
    }
    QString readProblem;
    if (check && !check(QFile::decodeName(readPath), &readProblem)) {
        dropNamed();
        return failWith(QStringLiteral("the copy read back is not whole (%1)").arg(readProblem));
    }

    if (beforeLink && !beforeLink(error)) {
        dropNamed();
        return false;
    }

    // Linked in: the old entry is replaced in one step by rename().
    auto linkFailed = [&](int err) {
        dropNamed();
        if (err == EEXIST)
            *error = QStringLiteral("%1 appeared while the %2 was made and was left as it is. "
                                    "Please convert again to replace it.")
                         .arg(target, m_what);
        else
            failWith(sysText(err));
        return false;
    };
    if (!namedTemp.isEmpty()) {
        SignalHold hold;
        if (moveInto(namedDir, namedTemp.constData(), dir.get(), name.constData(), replace) != 0)
            return linkFailed(errno);
        removeNote();
    } else {
        bool placed = false;
        if (stage.get() >= 0) {
            ::unlinkat(stage.get(), staged.constData(), 0);
            if (linkFd(out.get(), readPath, stage.get(), staged.constData()) != 0)
                return linkFailed(errno);
            if (moveInto(stage.get(), staged.constData(), dir.get(), name.constData(), replace) == 0) {
                placed = true;
            } else {
                const int e = errno;
                ::unlinkat(stage.get(), staged.constData(), 0);
                // EXDEV: two mounts of one file system (a bind mount).
                if (e != EXDEV)
                    return linkFailed(e);
            }
        }
        if (!placed && !replace) {
            // link() never replaces: nothing to do for a hidden name.
            if (linkFd(out.get(), readPath, dir.get(), name.constData()) != 0)
                return linkFailed(errno);
        } else if (!placed) {
            const QByteArray hidden = hiddenName(name);
            ::unlinkat(dir.get(), hidden.constData(), 0);
            writeNote();
            SignalHold hold;
            if (linkFd(out.get(), readPath, dir.get(), hidden.constData()) != 0) {
                const int e = errno;
                removeNote();
                return linkFailed(e);
            }
            if (::renameat(dir.get(), hidden.constData(), dir.get(), name.constData()) != 0) {
                const int e = errno;
                ::unlinkat(dir.get(), hidden.constData(), 0);
                removeNote();
                return linkFailed(e);
            }
            removeNote();
        }
    }
    // The new name itself on the disk too.
    ::fsync(dir.get());
    return true;
}
