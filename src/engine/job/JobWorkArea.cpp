#include "engine/job/JobWorkArea.h"

#include "engine/job/FolderTree.h"
#include "engine/job/OutputPlacement.h"
#include "platform/AppPaths.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {
const char kRunPrefix[] = "run-";
const char kLockSuffix[] = ".lock";
const char kTmpName[] = "tmpvelunor";
const char kPageName[] = "jpgtmp";

QString errnoText(int err)
{
    return QString::fromLocal8Bit(std::strerror(err));
}

QByteArray nameBytes(const QString& name)
{
    return QFile::encodeName(name);
}

// True when fd still is the entry `name` of the folder parentFd: a sweeper
// may have removed the lock file between our open() and our flock().
bool sameEntry(int fd, int parentFd, const QByteArray& name)
{
    struct stat a {}, b {};
    if (fstat(fd, &a) != 0 || fstatat(parentFd, name.constData(), &b, AT_SYMLINK_NOFOLLOW) != 0)
        return false;
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Ours, and nobody else may write into it.
bool trusted(const struct stat& st)
{
    return S_ISDIR(st.st_mode) && st.st_uid == ::geteuid() && (st.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

// Makes (or finds) the folder `name` in the folder parentFd and opens it,
// never through a link. A link or file of that name, or a folder we cannot
// trust, is removed and the folder made anew; what cannot be removed is
// refused. -1 with *error naming `shown` on failure.
int trustedFolderAt(int parentFd, const QByteArray& name, const QString& shown, QString* error)
{
    QString why;
    for (int attempt = 0; attempt < 3; ++attempt) {
        if (::mkdirat(parentFd, name.constData(), 0700) != 0 && errno != EEXIST) {
            why = errnoText(errno);
            break;
        }
        const int fd = ::openat(parentFd, name.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (fd < 0) {
            const int err = errno;
            why = errnoText(err);
            if (err != ELOOP && err != ENOTDIR)
                break;
            // A link or a file in its place goes, as itself.
            ::unlinkat(parentFd, name.constData(), 0);
            continue;
        }
        struct stat st {};
        if (::fstat(fd, &st) == 0 && trusted(st))
            return fd;
        ::close(fd);
        why = st.st_uid != ::geteuid() ? QStringLiteral("it belongs to another user")
                                       : QStringLiteral("others may write into it");
        RemoveFolderTreeAt(parentFd, name, YieldFunction());
    }
    if (error)
        *error = QStringLiteral("The work folder %1 could not be made or cannot be trusted (%2); "
                                "nothing is written into it.")
                     .arg(shown, why);
    return -1;
}

// The folder open as fd, reached through /proc (the kernel's link to the
// open folder itself, not to a name), when that resolves to it here.
QString throughDescriptor(int fd, const QString& fallback)
{
    if (fd < 0)
        return fallback;
    const QString anchored = QStringLiteral("/proc/%1/fd/%2").arg(::getpid()).arg(fd);
    struct stat a {}, b {};
    if (::fstat(fd, &a) != 0 || ::stat(QFile::encodeName(anchored).constData(), &b) != 0 || a.st_dev != b.st_dev
        || a.st_ino != b.st_ino)
        return fallback;
    return anchored;
}

void closeFd(int& fd)
{
    if (fd >= 0)
        ::close(fd);
    fd = -1;
}
} // namespace

JobWorkArea::JobWorkArea(const QString& baseFolder)
    : m_base(baseFolder.isEmpty() ? AppPaths::UserCacheFolder() : baseFolder),
      m_runName(QLatin1String(kRunPrefix) + QString::number(::getpid()))
{
}

JobWorkArea::~JobWorkArea()
{
    closeWorkFolders();
    closeFd(m_runFd);
    if (m_lockFd >= 0) {
        // Still holding the lock: nobody else touches the folder meanwhile.
        RemoveFolderTreeAt(m_baseFd, nameBytes(m_runName), YieldFunction());
        ::unlinkat(m_baseFd, nameBytes(m_runName + QLatin1String(kLockSuffix)).constData(), 0);
        ::close(m_lockFd);
    }
    closeFd(m_baseFd);
}

QString JobWorkArea::RunFolder() const
{
    return m_base.isEmpty() ? QString() : AppPaths::JoinPath(m_base, m_runName);
}

WorkFolders JobWorkArea::NamedFolders() const
{
    const QString run = RunFolder();
    if (run.isEmpty())
        return {};
    return {AppPaths::JoinPath(run, kTmpName), AppPaths::JoinPath(run, kPageName)};
}

WorkFolders JobWorkArea::Folders() const
{
    const WorkFolders named = NamedFolders();
    return {throughDescriptor(m_tmpFd, named.tmpDir), throughDescriptor(m_pageFd, named.pageDir)};
}

bool JobWorkArea::openBase(QString* error)
{
    if (m_baseFd >= 0)
        return true;
    const QByteArray base8 = QFile::encodeName(m_base);
    if (!QFileInfo(m_base).isDir()) {
        QDir().mkpath(QFileInfo(m_base).absolutePath());
        ::mkdir(base8.constData(), 0700);
    }
    const int fd = ::open(base8.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    struct stat st {};
    if (fd < 0 || ::fstat(fd, &st) != 0) {
        if (error)
            *error = QStringLiteral("The private work folder %1 could not be made: %2.").arg(m_base, errnoText(errno));
        if (fd >= 0)
            ::close(fd);
        return false;
    }
    if (st.st_uid != ::geteuid()) {
        if (error)
            *error = QStringLiteral("The private work folder %1 belongs to another user; it is not used. "
                                    "Please remove it.").arg(m_base);
        ::close(fd);
        return false;
    }
    // Private: whatever others may have put in while it was open to them is
    // judged by its owner and mode below, never used as it is.
    if ((st.st_mode & 07777) != 0700)
        ::fchmod(fd, 0700);
    m_baseFd = fd;
    return true;
}

bool JobWorkArea::Acquire(QString* error)
{
    if (m_lockFd >= 0)
        return true;
    if (m_base.isEmpty()) {
        if (error)
            *error = QStringLiteral("The private work folder under %1 could not be made.")
                         .arg(qEnvironmentVariable("XDG_CACHE_HOME", QDir::homePath() + "/.cache"));
        return false;
    }
    if (!openBase(error))
        return false;
    // Normally run-<pid>. A lock under that name held by a live program (a
    // program of another PID namespace sharing this folder, or a sweeper
    // busy removing an old run of that number) sends us to run-<pid>-1, -2...
    // A lock file unlinked between our open() and flock() by a sweeper is
    // tried again under the same name; one of another user is removed.
    const QString pidName = QLatin1String(kRunPrefix) + QString::number(::getpid());
    QString lastError;
    for (int attempt = 0; attempt < 20; ++attempt) {
        const QString name = attempt < 2 ? pidName : pidName + '-' + QString::number(attempt - 1);
        const QByteArray lockName = nameBytes(name + QLatin1String(kLockSuffix));
        const QString lockPath = AppPaths::JoinPath(m_base, name + QLatin1String(kLockSuffix));
        const int fd = ::openat(m_baseFd, lockName.constData(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
        if (fd < 0) {
            lastError = QStringLiteral("The lock file %1 could not be made: %2.").arg(lockPath, errnoText(errno));
            if (errno == ELOOP)
                ::unlinkat(m_baseFd, lockName.constData(), 0);
            continue;
        }
        struct stat st {};
        if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != ::geteuid()) {
            lastError = QStringLiteral("The lock file %1 is not ours.").arg(lockPath);
            ::close(fd);
            ::unlinkat(m_baseFd, lockName.constData(), 0);
            continue;
        }
        if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
            lastError = QStringLiteral("The lock file %1 could not be locked: %2.").arg(lockPath, errnoText(errno));
            ::close(fd);
            continue;
        }
        if (sameEntry(fd, m_baseFd, lockName)) {
            m_runName = name;
            m_lockFd = fd;
            return true;
        }
        ::close(fd);
    }
    if (error)
        *error = lastError;
    return false;
}

bool JobWorkArea::CreateFolders(QString* error)
{
    if (!Acquire(error))
        return false;
    closeWorkFolders();
    if (m_runFd < 0)
        m_runFd = trustedFolderAt(m_baseFd, nameBytes(m_runName), RunFolder(), error);
    if (m_runFd < 0)
        return false;
    const WorkFolders plain = NamedFolders();
    m_tmpFd = trustedFolderAt(m_runFd, kTmpName, plain.tmpDir, error);
    if (m_tmpFd >= 0)
        m_pageFd = trustedFolderAt(m_runFd, kPageName, plain.pageDir, error);
    if (m_pageFd < 0) {
        closeWorkFolders();
        return false;
    }
    return true;
}

void JobWorkArea::closeWorkFolders()
{
    closeFd(m_tmpFd);
    closeFd(m_pageFd);
}

void JobWorkArea::RemoveFolders(const YieldFunction& yield)
{
    closeWorkFolders();
    if (m_runFd >= 0) {
        RemoveFolderTreeAt(m_runFd, kTmpName, yield);
        RemoveFolderTreeAt(m_runFd, kPageName, yield);
    } else if (m_lockFd >= 0) {
        // Not made by us in this run: whatever stands at our name goes whole.
        RemoveFolderTreeAt(m_baseFd, nameBytes(m_runName), yield);
    }
}

void JobWorkArea::SweepLeftovers(const YieldFunction& yield)
{
    if (m_base.isEmpty())
        return;
    // Our own folder first becomes ours for the program's life; without its
    // lock it may be a live program's, so it is left alone.
    if (Acquire()) {
        const QByteArray own = nameBytes(m_runName);
        struct stat st {};
        // A note is believed only in a folder nobody else could write.
        if (m_runFd < 0 && ::fstatat(m_baseFd, own.constData(), &st, AT_SYMLINK_NOFOLLOW) == 0 && trusted(st)
            && ::fstatat(m_baseFd, (own + '/' + kTmpName).constData(), &st, AT_SYMLINK_NOFOLLOW) == 0 && trusted(st))
            OutputPlacement::SweepNote(AppPaths::JoinPath(RunFolder(), kTmpName));
        closeWorkFolders();
        closeFd(m_runFd);
        RemoveFolderTreeAt(m_baseFd, own, yield);
    }
    if (m_baseFd < 0)
        return;

    const QDir base(m_base);
    const QStringList names = base.entryList({QLatin1String(kRunPrefix) + '*'},
                                             QDir::AllEntries | QDir::Hidden | QDir::System
                                                 | QDir::NoDotAndDotDot);
    QStringList runs;
    for (QString name : names) {
        if (name.endsWith(QLatin1String(kLockSuffix)))
            name.chop(int(sizeof(kLockSuffix) - 1));
        if (name != m_runName && !runs.contains(name) && !name.contains(QLatin1Char('/')))
            runs.append(name);
    }
    for (const QString& runName : runs) {
        const QByteArray run8 = nameBytes(runName);
        const QByteArray lockName = nameBytes(runName + QLatin1String(kLockSuffix));
        // Opening with O_CREAT also covers a folder whose lock file is gone:
        // a program starting under that number then waits on our lock and
        // starts again on a fresh file once we have unlinked this one.
        const int fd = ::openat(m_baseFd, lockName.constData(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
        if (fd < 0) {
            // A link planted as a lock file: removed as a link.
            if (errno == ELOOP)
                ::unlinkat(m_baseFd, lockName.constData(), 0);
            continue;
        }
        if (::flock(fd, LOCK_EX | LOCK_NB) == 0 && sameEntry(fd, m_baseFd, lockName)) {
            // A name its placement had in an output folder when it was
            // killed; read only from a folder nobody else could write.
            struct stat st {};
            if (::fstatat(m_baseFd, run8.constData(), &st, AT_SYMLINK_NOFOLLOW) == 0 && trusted(st)
                && ::fstatat(m_baseFd, (run8 + '/' + kTmpName).constData(), &st, AT_SYMLINK_NOFOLLOW) == 0
                && trusted(st))
                OutputPlacement::SweepNote(AppPaths::JoinPath(AppPaths::JoinPath(m_base, runName), kTmpName));
            RemoveFolderTreeAt(m_baseFd, run8, yield);
            ::unlinkat(m_baseFd, lockName.constData(), 0);
        }
        ::close(fd);
    }
}
