#include "platform/ChildSpawn.h"

#include "platform/ProcessList.h"

#include <QByteArrayList>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace {

// Keeps our descriptors clear of 0, 1 and 2, so that the child's dup2 onto
// them never meets one of its own sources.
int moveAboveStandard(int fd)
{
    if (fd > 2)
        return fd;
    const int moved = ::fcntl(fd, F_DUPFD_CLOEXEC, 3);
    ::close(fd);
    return moved;
}

void closeIfOpen(int fd)
{
    if (fd >= 0)
        ::close(fd);
}

} // namespace

bool ChildSpawn::LocaleIsUtf8()
{
    // The character type a child takes from the environment: LC_ALL, then
    // LC_CTYPE, then LANG; none of them means "C".
    QByteArray name;
    for (const char* var : {"LC_ALL", "LC_CTYPE", "LANG"}) {
        name = qgetenv(var);
        if (!name.isEmpty())
            break;
    }
    name = name.toLower();
    return name.contains("utf-8") || name.contains("utf8");
}

ChildSpawn::Result ChildSpawn::Start(const QStringList& args, Child* child, int* error)
{
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) {
        *error = errno;
        return Result::NoPipe;
    }
    const int readFd = moveAboveStandard(fds[0]);
    const int writeFd = moveAboveStandard(fds[1]);
    if (readFd < 0 || writeFd < 0) {
        *error = errno;
        closeIfOpen(readFd);
        closeIfOpen(writeFd);
        return Result::NoPipe;
    }

    QByteArrayList args8;
    for (const QString& a : args)
        args8 << a.toUtf8();
    std::vector<char*> argv;
    for (QByteArray& a : args8)
        argv.push_back(a.data());
    argv.push_back(nullptr);

    pid_t pid = 0;
    int spawnError = ENOENT;
    if (!args8.isEmpty()) {
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_adddup2(&actions, writeFd, 1);
        posix_spawn_file_actions_adddup2(&actions, writeFd, 2);
        // Whatever else is open here (ours or a library's) stays out.
        posix_spawn_file_actions_addclosefrom_np(&actions, 3);
        posix_spawnattr_t attr;
        posix_spawnattr_init(&attr);
        sigset_t none, reset;
        sigemptyset(&none);
        sigemptyset(&reset);
        for (int sig : {SIGPIPE, SIGINT, SIGQUIT, SIGHUP, SIGTERM, SIGCHLD, SIGALRM, SIGTSTP,
                        SIGTTIN, SIGTTOU, SIGUSR1, SIGUSR2})
            sigaddset(&reset, sig);
        posix_spawnattr_setsigmask(&attr, &none);
        posix_spawnattr_setsigdefault(&attr, &reset);
        posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
        // The child's environment is ours plus the mark that tells other
        // Velunor processes whose run it is.
        const QByteArray mark = QByteArray(ProcessList::RunnerVariable) + '=';
        const QByteArray ownMark = mark + ProcessList::OwnMark().Text();
        // Our command lines and the files we hand over are UTF-8 whatever
        // the locale; a child under a C or Latin-1 locale would take them
        // for another encoding, so it gets a UTF-8 character type.
        static const QByteArray utf8All("LC_ALL=C.UTF-8");
        const bool utf8Locale = LocaleIsUtf8();
        std::vector<char*> envp;
        for (char** e = environ; e && *e; ++e)
            if (std::strncmp(*e, mark.constData(), size_t(mark.size())) != 0 &&
                (utf8Locale || std::strncmp(*e, "LC_ALL=", 7) != 0))
                envp.push_back(*e);
        envp.push_back(const_cast<char*>(ownMark.constData()));
        if (!utf8Locale)
            envp.push_back(const_cast<char*>(utf8All.constData()));
        envp.push_back(nullptr);
        // glibc reports a failed exec here, so a missing program is known at once.
        spawnError = ::posix_spawnp(&pid, argv[0], &actions, &attr, argv.data(), envp.data());
        posix_spawnattr_destroy(&attr);
        posix_spawn_file_actions_destroy(&actions);
    }
    if (spawnError != 0) {
        ::close(readFd);
        ::close(writeFd);
        return Result::NotStarted;
    }

    child->pid = pid;
    child->pidfd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
    child->readFd = readFd;
    child->writeEndReleased = ::close(writeFd) == 0;
    return Result::Started;
}

int ChildSpawn::StartHelper(const QByteArray& program, char* const argv[], const std::vector<int>& descriptors,
                            pid_t* pid)
{
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    for (size_t i = 0; i < descriptors.size(); ++i) {
        if (descriptors[i] < 0)
            posix_spawn_file_actions_addopen(&actions, int(i), "/dev/null", i == 0 ? O_RDONLY : O_WRONLY, 0);
        else
            posix_spawn_file_actions_adddup2(&actions, descriptors[i], int(i));
    }
    posix_spawn_file_actions_addclosefrom_np(&actions, int(descriptors.size()));
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t none, all;
    sigemptyset(&none);
    sigfillset(&all);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setsigdefault(&attr, &all);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    const int spawnError = ::posix_spawn(pid, program.constData(), &actions, &attr, argv, environ);
    posix_spawnattr_destroy(&attr);
    posix_spawn_file_actions_destroy(&actions);
    return spawnError;
}
