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

QString lockPathFor(const QString& base, const QString& runName)
{
    return AppPaths::JoinPath(base, runName + QLatin1String(kLockSuffix));
}

QString errnoText(int err)
{
    return QString::fromLocal8Bit(std::strerror(err));
}

// True when fd still is the file at path: a sweeper may have removed the
// lock file between our open() and our flock().
bool sameFile(int fd, const QByteArray& path)
{
    struct stat a {}, b {};
    if (fstat(fd, &a) != 0 || stat(path.constData(), &b) != 0)
        return false;
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

bool makeFolder(const QString& path, QString* error)
{
    const QByteArray p8 = QFile::encodeName(path);
    if (::mkdir(p8.constData(), 0700) == 0)
        return true;
    const int err = errno;
    struct stat st {};
    if (err == EEXIST && lstat(p8.constData(), &st) == 0 && S_ISDIR(st.st_mode))
        return true;
    if (error)
        *error = QStringLiteral("The work folder %1 could not be made: %2.").arg(path, errnoText(err));
    return false;
}
} // namespace

JobWorkArea::JobWorkArea(const QString& baseFolder)
    : m_base(baseFolder.isEmpty() ? AppPaths::UserCacheFolder() : baseFolder),
      m_runName(QLatin1String(kRunPrefix) + QString::number(::getpid()))
{
}

JobWorkArea::~JobWorkArea()
{
    if (m_lockFd < 0)
        return;
    // Still holding the lock: nobody else touches the folder meanwhile.
    RemoveFolderTree(RunFolder(), YieldFunction());
    ::unlink(QFile::encodeName(lockPathFor(m_base, m_runName)).constData());
    ::close(m_lockFd);
}

QString JobWorkArea::RunFolder() const
{
    return m_base.isEmpty() ? QString() : AppPaths::JoinPath(m_base, m_runName);
}

WorkFolders JobWorkArea::Folders() const
{
    const QString run = RunFolder();
    if (run.isEmpty())
        return {};
    return {AppPaths::JoinPath(run, "tmpvelunor"), AppPaths::JoinPath(run, "jpgtmp")};
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
    if (!QFileInfo(m_base).isDir()) {
        QDir().mkpath(m_base);
        ::chmod(QFile::encodeName(m_base).constData(), 0700);
    }
    // Normally run-<pid>. A lock under that name held by a live program (a
    // program of another PID namespace sharing this folder, or a sweeper
    // busy removing an old run of that number) sends us to run-<pid>-1, -2...
    // A lock file unlinked between our open() and flock() by a sweeper is
    // tried again under the same name.
    const QString pidName = QLatin1String(kRunPrefix) + QString::number(::getpid());
    QString lastError;
    for (int attempt = 0; attempt < 20; ++attempt) {
        const QString name = attempt < 2 ? pidName : pidName + '-' + QString::number(attempt - 1);
        const QByteArray lockPath = QFile::encodeName(lockPathFor(m_base, name));
        const int fd = ::open(lockPath.constData(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
        if (fd < 0) {
            lastError = QStringLiteral("The lock file %1 could not be made: %2.")
                            .arg(QFile::decodeName(lockPath), errnoText(errno));
            continue;
        }
        if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
            lastError = QStringLiteral("The lock file %1 could not be locked: %2.")
                            .arg(QFile::decodeName(lockPath), errnoText(errno));
            ::close(fd);
            continue;
        }
        if (sameFile(fd, lockPath)) {
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
    const WorkFolders f = Folders();
    return makeFolder(RunFolder(), error) && makeFolder(f.tmpDir, error) && makeFolder(f.pageDir, error);
}

void JobWorkArea::RemoveFolders(const YieldFunction& yield)
{
    const WorkFolders f = Folders();
    if (f.tmpDir.isEmpty())
        return;
    RemoveFolderTree(f.tmpDir, yield);
    RemoveFolderTree(f.pageDir, yield);
}

void JobWorkArea::SweepLeftovers(const YieldFunction& yield)
{
    if (m_base.isEmpty())
        return;
    // Our own folder first becomes ours for the program's life; without its
    // lock it may be a live program's, so it is left alone.
    if (Acquire()) {
        OutputPlacement::SweepNote(Folders().tmpDir);
        RemoveFolders(yield);
    }

    const QDir base(m_base);
    const QStringList names = base.entryList({QLatin1String(kRunPrefix) + '*'},
                                             QDir::AllEntries | QDir::Hidden | QDir::System
                                                 | QDir::NoDotAndDotDot);
    QStringList runs;
    for (QString name : names) {
        if (name.endsWith(QLatin1String(kLockSuffix)))
            name.chop(int(sizeof(kLockSuffix) - 1));
        if (name != m_runName && !runs.contains(name))
            runs.append(name);
    }
    for (const QString& runName : runs) {
        const QByteArray lockPath = QFile::encodeName(lockPathFor(m_base, runName));
        // Opening with O_CREAT also covers a folder whose lock file is gone:
        // a program starting under that number then waits on our lock and
        // starts again on a fresh file once we have unlinked this one.
        const int fd = ::open(lockPath.constData(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
        if (fd < 0)
            continue;
        if (::flock(fd, LOCK_EX | LOCK_NB) == 0 && sameFile(fd, lockPath)) {
            // A name its placement had in an output folder when it was killed.
            OutputPlacement::SweepNote(AppPaths::JoinPath(AppPaths::JoinPath(m_base, runName), "tmpvelunor"));
            RemoveFolderTree(AppPaths::JoinPath(m_base, runName), yield);
            ::unlink(lockPath.constData());
        }
        ::close(fd);
    }
}
