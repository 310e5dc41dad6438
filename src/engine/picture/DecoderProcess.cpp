#include "engine/picture/DecoderProcess.h"

#include "engine/picture/DecodeStep.h"
#include "platform/AppPaths.h"
#include "platform/QuotedPath.h"

#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <vector>

extern char** environ;

namespace {

// Longest the window goes without an event pass while the helper works.
constexpr int kPassMs = 15;
// Enough for any reason the helper gives; more is not kept.
constexpr qsizetype kMaxSaid = 64 * 1024;

} // namespace

DecoderProcess::Options DecoderProcess::Defaults()
{
    Options o;
    o.program = AppPaths::HelperProgram("velunor-decode");
    return o;
}

DecoderProcess::DecoderProcess(YieldFunction yield, Options options)
    : m_yield(std::move(yield)), m_options(std::move(options))
{
}

DecoderProcess::~DecoderProcess() { end(); }

void DecoderProcess::end()
{
    if (m_fd >= 0) {
        ::close(m_fd);
        m_fd = -1;
    }
    if (m_pidfd >= 0) {
        ::close(m_pidfd);
        m_pidfd = -1;
    }
    if (m_pid > 0) {
        ::kill(m_pid, SIGKILL);
        while (::waitpid(m_pid, nullptr, 0) < 0 && errno == EINTR) {
        }
        m_pid = -1;
    }
}

bool DecoderProcess::Run(const QString& picture, int format, const QString& bitmap, int* width, int* height,
                         QString* error, int page)
{
    end();
    const QByteArray program = QFile::encodeName(m_options.program);
    if (!QFileInfo(m_options.program).isExecutable()) {
        *error = QString("the picture decoder %1 is missing; the installation is incomplete").arg(QuotedPath(m_options.program));
        return false;
    }
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) {
        *error = QString("the picture decoder could not be started (%1)").arg(QString::fromLocal8Bit(::strerror(errno)));
        return false;
    }
    const QByteArray parent = QByteArray::number(qint64(::getpid()));
    const QByteArray limit = QByteArray::number(m_options.memoryLimit);
    const QByteArray fmt = QByteArray::number(format);
    const QByteArray pic8 = QFile::encodeName(picture), bmp8 = QFile::encodeName(bitmap);
    const QByteArray page8 = QByteArray::number(page);
    std::vector<char*> argv = {const_cast<char*>(program.constData()), const_cast<char*>("--parent"),
                               const_cast<char*>(parent.constData()), const_cast<char*>("--memory-limit"),
                               const_cast<char*>(limit.constData())};
    if (page > 0) // a later page of a multi-page TIFF
        argv.insert(argv.end(), {const_cast<char*>("--page"), const_cast<char*>(page8.constData())});
    argv.insert(argv.end(), {const_cast<char*>(fmt.constData()), const_cast<char*>(pic8.constData()),
                             const_cast<char*>(bmp8.constData()), nullptr});

    // Its pipe is all it inherits: stdin from /dev/null, stdout and stderr
    // into the pipe, every other descriptor (the work folder's lock...) closed.
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
    posix_spawn_file_actions_adddup2(&actions, fds[1], 2);
    posix_spawn_file_actions_addclosefrom_np(&actions, 3);
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t none, all;
    sigemptyset(&none);
    sigfillset(&all);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setsigdefault(&attr, &all);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    pid_t pid = -1;
    const int spawnError = ::posix_spawn(&pid, program.constData(), &actions, &attr, argv.data(), environ);
    posix_spawnattr_destroy(&attr);
    posix_spawn_file_actions_destroy(&actions);
    ::close(fds[1]);
    if (spawnError != 0) {
        ::close(fds[0]);
        *error = QString("the picture decoder %1 could not be started (%2)")
                     .arg(QuotedPath(m_options.program), QString::fromLocal8Bit(::strerror(spawnError)));
        return false;
    }
    m_pid = pid;
    m_fd = fds[0];
    ::fcntl(m_fd, F_SETFL, O_NONBLOCK);
    // Readable once the helper has ended, output or not.
    m_pidfd = int(::syscall(SYS_pidfd_open, pid, 0));

    // Its output and its end; the window gets an event pass at least every
    // kPassMs meanwhile, and no wait follows its end.
    QElapsedTimer clock;
    clock.start();
    QByteArray said;
    auto drain = [&] {
        char buf[4096];
        for (;;) {
            const ssize_t n = ::read(m_fd, buf, sizeof buf);
            if (n > 0 && said.size() < kMaxSaid)
                said.append(buf, n);
            if (n == 0 || (n < 0 && errno != EINTR))
                return n == 0;
        }
    };
    bool timedOut = false;
    int status = 0;
    for (;;) {
        const qint64 left = m_options.timeLimitMs - clock.elapsed();
        if (left <= 0) {
            timedOut = true;
            break;
        }
        pollfd p[2] = {{m_fd, POLLIN, 0}, {m_pidfd, POLLIN, 0}};
        ::poll(p, 2, int(qMin<qint64>(left, kPassMs)));
        if (m_fd >= 0 && p[0].revents && drain()) {
            ::close(m_fd); // it closed its end: it is ending
            m_fd = -1;
        }
        if (m_pidfd < 0 || p[1].revents || m_fd < 0) {
            if (::waitpid(m_pid, &status, m_fd < 0 && m_pidfd < 0 ? 0 : WNOHANG) == m_pid) {
                m_pid = -1;
                if (m_fd >= 0)
                    drain();
                break;
            }
        }
        if (m_yield)
            m_yield();
    }
    end(); // kills it when the time ran out

    const QString text = QString::fromUtf8(said).trimmed();
    if (timedOut) {
        *error = QString("the picture decoder did not finish within %1 seconds; the file is probably damaged")
                     .arg(m_options.timeLimitMs / 1000.0);
        return false;
    }
    if (WIFEXITED(status) && WEXITSTATUS(status) == DecodeStep::Decoded) {
        const QStringList size = text.section('\n', -1).split(' '); // its last line
        bool okW = false, okH = false;
        *width = size.value(0).toInt(&okW);
        *height = size.value(1).toInt(&okH);
        if (okW && okH && *width > 0 && *height > 0)
            return true;
        *error = QString("the picture decoder gave no size (%1)").arg(text);
        return false;
    }
    if (WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL)
        *error = "the picture decoder was killed (by the system, perhaps for want of memory)";
    else if (WIFSIGNALED(status))
        *error = QString("the picture decoder crashed on it (%1); the file is probably damaged")
                     .arg(QString::fromLocal8Bit(::strsignal(WTERMSIG(status))));
    else if (WIFEXITED(status) && WEXITSTATUS(status) == DecodeStep::OutOfMemory)
        *error = QString("it needs more memory than the %1 GB the picture decoder may use%2")
                     .arg(QString::number(m_options.memoryLimit / 1e9, 'f', 1), text.isEmpty() ? QString() : " (" + text + ")");
    else if (WIFEXITED(status) && WEXITSTATUS(status) == DecodeStep::Refused && !text.isEmpty())
        *error = text.section('\n', -1).trimmed(); // its reason; a library's own chatter before it is not ours
    else
        *error = QString("the picture decoder %1 failed on it (exit status %2)%3")
                     .arg(QuotedPath(m_options.program))
                     .arg(WIFEXITED(status) ? WEXITSTATUS(status) : -1)
                     .arg(text.isEmpty() ? QString() : ": " + text);
    return false;
}
