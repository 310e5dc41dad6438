#include "platform/HelperChild.h"

#include "platform/ChildSpawn.h"
#include "platform/QuotedPath.h"

#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// Longest the window goes without an event pass while a helper works.
constexpr int kPassMs = 15;
// Enough for any reason a helper gives (a library's chatter included).
constexpr qsizetype kMaxSaid = 64 * 1024;

void closeFd(int* fd)
{
    if (*fd >= 0) {
        ::close(*fd);
        *fd = -1;
    }
}

// Every HelperChild of this process (the event loop's thread makes them all).
std::vector<HelperChild*>& everyHelper()
{
    static std::vector<HelperChild*> all;
    return all;
}

} // namespace

HelperChild::HelperChild(Options options) : m_options(std::move(options))
{
    everyHelper().push_back(this);
}

HelperChild::~HelperChild()
{
    Kill();
    std::vector<HelperChild*>& all = everyHelper();
    all.erase(std::remove(all.begin(), all.end(), this), all.end());
}

void HelperChild::EndAll(Reap reap)
{
    for (HelperChild* helper : everyHelper()) {
        if (reap == Reap::Now)
            helper->Kill();
        else if (helper->m_pid > 0)
            ::kill(helper->m_pid, SIGKILL);
    }
}

bool HelperChild::Drain(int fd, QByteArray* into)
{
    char buf[4096];
    for (;;) {
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n > 0 && into->size() < kMaxSaid)
            into->append(buf, n);
        if (n == 0 || (n < 0 && errno != EINTR))
            return n == 0;
    }
}

bool HelperChild::Start(const std::vector<QByteArray>& args, int stdinFd, const std::vector<int>& moreFds,
                        QString* error)
{
    Kill();
    m_said.clear();
    const QByteArray program = QFile::encodeName(m_options.program);
    if (!QFileInfo(m_options.program).isExecutable()) {
        *error = QStringLiteral("%1 %2 is missing; the installation is incomplete")
                     .arg(m_options.role, QuotedPath(m_options.program));
        return false;
    }
    int out[2];
    if (::pipe2(out, O_CLOEXEC) != 0) {
        *error = QStringLiteral("%1 could not be started (%2)").arg(m_options.role, QString::fromLocal8Bit(::strerror(errno)));
        return false;
    }
    const QByteArray parent = QByteArray::number(qint64(::getpid()));
    const QByteArray limit = QByteArray::number(m_options.memoryLimit);
    std::vector<char*> argv = {const_cast<char*>(program.constData()), const_cast<char*>("--parent"),
                               const_cast<char*>(parent.constData()), const_cast<char*>("--memory-limit"),
                               const_cast<char*>(limit.constData())};
    for (const QByteArray& a : args)
        argv.push_back(const_cast<char*>(a.constData()));
    argv.push_back(nullptr);

    // Its pipes are all it inherits: every other descriptor (the work
    // folder's lock...) is closed.
    std::vector<int> descriptors = {stdinFd, out[1], out[1]};
    descriptors.insert(descriptors.end(), moreFds.begin(), moreFds.end());
    pid_t pid = -1;
    const int spawnError = ChildSpawn::StartHelper(program, argv.data(), descriptors, &pid);
    ::close(out[1]);
    if (spawnError != 0) {
        ::close(out[0]);
        *error = QStringLiteral("%1 %2 could not be started (%3)")
                     .arg(m_options.role, QuotedPath(m_options.program), QString::fromLocal8Bit(::strerror(spawnError)));
        return false;
    }
    m_pid = pid;
    m_fd = out[0];
    ::fcntl(m_fd, F_SETFL, O_NONBLOCK);
    m_pidfd = int(::syscall(SYS_pidfd_open, pid, 0));
    m_clock.start();
    return true;
}

bool HelperChild::EndedMeanwhile()
{
    if (m_pid > 0 && ::waitpid(m_pid, nullptr, WNOHANG) == m_pid) {
        m_pid = -1;
        Kill();
        return true;
    }
    return false;
}

void HelperChild::Kill()
{
    closeFd(&m_fd);
    closeFd(&m_pidfd);
    if (m_pid > 0) {
        ::kill(m_pid, SIGKILL);
        while (::waitpid(m_pid, nullptr, 0) < 0 && errno == EINTR) {
        }
        m_pid = -1;
    }
}

HelperChild::End HelperChild::Wait(int timeLimitMs, const YieldFunction& yield, int* status, int* answerFd,
                                   QByteArray* answer, const std::function<bool()>& answered)
{
    int dummy = -1;
    int* replies = answerFd ? answerFd : &dummy;
    for (;;) {
        const qint64 left = timeLimitMs - m_clock.elapsed();
        if (left <= 0) {
            Kill();
            return End::TimedOut;
        }
        pollfd p[3] = {{m_fd, POLLIN, 0}, {*replies, POLLIN, 0}, {m_pidfd, POLLIN, 0}};
        ::poll(p, 3, int(qMin<qint64>(left, kPassMs)));
        if (m_fd >= 0 && p[0].revents && Drain(m_fd, &m_said))
            closeFd(&m_fd); // it closed its end: it is ending
        if (*replies >= 0 && p[1].revents) {
            if (Drain(*replies, answer))
                closeFd(replies);
            if (answered && answered())
                return End::Answered;
        }
        if (m_pidfd < 0 || p[2].revents || m_fd < 0) {
            if (::waitpid(m_pid, status, m_fd < 0 && m_pidfd < 0 ? 0 : WNOHANG) == m_pid) {
                m_pid = -1;
                if (m_fd >= 0)
                    Drain(m_fd, &m_said);
                if (*replies >= 0)
                    Drain(*replies, answer);
                Kill();
                return End::Ended;
            }
        }
        if (yield)
            yield();
    }
}

QString HelperChild::OutOfMemoryReason(const QString& text) const
{
    return QStringLiteral("it needs more memory than the %1 GB %2 may use%3")
        .arg(QString::number(m_options.memoryLimit / 1e9, 'f', 1), m_options.role,
             text.isEmpty() ? QString() : " (" + text + ")");
}

QString HelperChild::EndReason(int status, const QString& text) const
{
    if (WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL)
        return m_options.role + QStringLiteral(" was killed (by the system, perhaps for want of memory)");
    if (WIFSIGNALED(status))
        return QStringLiteral("%1 crashed on it (%2)%3")
            .arg(m_options.role, QString::fromLocal8Bit(::strsignal(WTERMSIG(status))), m_options.crashHint);
    if (WIFEXITED(status) && WEXITSTATUS(status) == m_options.outOfMemoryExit)
        return OutOfMemoryReason(text);
    if (WIFEXITED(status) && WEXITSTATUS(status) == m_options.refusedExit && !text.isEmpty())
        return text;
    return QStringLiteral("%1 %2 failed on it (exit status %3)%4")
        .arg(m_options.role, QuotedPath(m_options.program))
        .arg(WIFEXITED(status) ? WEXITSTATUS(status) : -1)
        .arg(text.isEmpty() ? QString() : QStringLiteral(": ") + text);
}
