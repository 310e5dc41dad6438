#include "engine/picture/DecoderProcess.h"

#include "engine/picture/DecodeStep.h"
#include "platform/AppPaths.h"
#include "platform/ChildSpawn.h"
#include "platform/QuotedPath.h"

#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

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
    for (int* fd : {&m_fd, &m_pidfd, &m_requests, &m_replies}) {
        if (*fd >= 0) {
            ::close(*fd);
            *fd = -1;
        }
    }
    if (m_pid > 0) {
        ::kill(m_pid, SIGKILL);
        while (::waitpid(m_pid, nullptr, 0) < 0 && errno == EINTR) {
        }
        m_pid = -1;
    }
}

bool DecoderProcess::start(QString* error)
{
    const QByteArray program = QFile::encodeName(m_options.program);
    if (!QFileInfo(m_options.program).isExecutable()) {
        *error = QString("the picture decoder %1 is missing; the installation is incomplete").arg(QuotedPath(m_options.program));
        return false;
    }
    int out[2], in[2], replies[2];
    if (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(replies, O_CLOEXEC) != 0) {
        *error = QString("the picture decoder could not be started (%1)").arg(QString::fromLocal8Bit(::strerror(errno)));
        return false;
    }
    const QByteArray parent = QByteArray::number(qint64(::getpid()));
    const QByteArray limit = QByteArray::number(m_options.memoryLimit);
    char* argv[] = {const_cast<char*>(program.constData()), const_cast<char*>("--parent"),
                    const_cast<char*>(parent.constData()),  const_cast<char*>("--memory-limit"),
                    const_cast<char*>(limit.constData()),   const_cast<char*>("--serve"),
                    nullptr};

    // Its pipes are all it inherits: the pictures on stdin, stdout and stderr
    // into one pipe, the answers on descriptor 3, every other descriptor
    // (the work folder's lock...) closed.
    pid_t pid = -1;
    const int spawnError = ChildSpawn::StartHelper(program, argv, {in[0], out[1], out[1], replies[1]}, &pid);
    ::close(out[1]);
    ::close(in[0]);
    ::close(replies[1]);
    if (spawnError != 0) {
        ::close(out[0]);
        ::close(in[1]);
        ::close(replies[0]);
        *error = QString("the picture decoder %1 could not be started (%2)")
                     .arg(QuotedPath(m_options.program), QString::fromLocal8Bit(::strerror(spawnError)));
        return false;
    }
    m_pid = pid;
    m_fd = out[0];
    m_requests = in[1];
    m_replies = replies[0];
    ::fcntl(m_fd, F_SETFL, O_NONBLOCK);
    ::fcntl(m_replies, F_SETFL, O_NONBLOCK);
    // Readable once the helper has ended, output or not.
    m_pidfd = int(::syscall(SYS_pidfd_open, pid, 0));
    return true;
}

bool DecoderProcess::Run(const QString& picture, int format, const QString& bitmap, int* width, int* height,
                         QString* error, int page)
{
    // A helper that ended between two pictures (killed from outside) is
    // replaced; this picture has nothing to do with its end.
    if (m_pid > 0 && ::waitpid(m_pid, nullptr, WNOHANG) == m_pid) {
        m_pid = -1;
        end();
    }
    if (m_pid <= 0 && !start(error))
        return false;

    // The request: format, page (of a multi-page TIFF; 0 is the first),
    // picture and bitmap, each ended by a NUL (no path holds one). A helper
    // that goes meanwhile is seen below; its closed pipe must not end this
    // program with SIGPIPE.
    const QByteArray request = QByteArray::number(format) + '\0' + QByteArray::number(page) + '\0'
        + QFile::encodeName(picture) + '\0' + QFile::encodeName(bitmap) + '\0';
    sigset_t pipeSignal, before;
    sigemptyset(&pipeSignal);
    sigaddset(&pipeSignal, SIGPIPE);
    ::pthread_sigmask(SIG_BLOCK, &pipeSignal, &before);
    sigset_t pending;
    const bool pendingBefore = ::sigpending(&pending) == 0 && sigismember(&pending, SIGPIPE);
    for (qsizetype done = 0; done < request.size();) {
        const ssize_t n = ::write(m_requests, request.constData() + done, size_t(request.size() - done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            const timespec now {};
            if (errno == EPIPE && !pendingBefore)
                ::sigtimedwait(&pipeSignal, nullptr, &now);
            break;
        }
        done += n;
    }
    ::pthread_sigmask(SIG_SETMASK, &before, nullptr);

    // Its answer, or its end; the window gets an event pass at least every
    // kPassMs meanwhile, and no wait follows either.
    QElapsedTimer clock;
    clock.start();
    QByteArray said, answer;
    auto drain = [](int fd, QByteArray* into) {
        char buf[4096];
        for (;;) {
            const ssize_t n = ::read(fd, buf, sizeof buf);
            if (n > 0 && into->size() < kMaxSaid)
                into->append(buf, n);
            if (n == 0 || (n < 0 && errno != EINTR))
                return n == 0;
        }
    };
    // "STATUS WIDTH HEIGHT LENGTH\n" and LENGTH bytes of reason.
    auto answered = [&](int* status, QByteArray* reason) {
        const qsizetype nl = answer.indexOf('\n');
        if (nl < 0)
            return false;
        const QList<QByteArray> head = answer.left(nl).split(' ');
        const qsizetype length = head.value(3).toLongLong();
        if (head.size() != 4 || answer.size() - nl - 1 < length)
            return false;
        *status = head[0].toInt();
        *width = head[1].toInt();
        *height = head[2].toInt();
        *reason = answer.mid(nl + 1, length);
        return true;
    };
    bool timedOut = false, ended = false;
    int status = 0, answerStatus = -1;
    QByteArray reason;
    for (;;) {
        const qint64 left = m_options.timeLimitMs - clock.elapsed();
        if (left <= 0) {
            timedOut = true;
            break;
        }
        pollfd p[3] = {{m_fd, POLLIN, 0}, {m_replies, POLLIN, 0}, {m_pidfd, POLLIN, 0}};
        ::poll(p, 3, int(qMin<qint64>(left, kPassMs)));
        if (m_fd >= 0 && p[0].revents && drain(m_fd, &said)) {
            ::close(m_fd); // it closed its end: it is ending
            m_fd = -1;
        }
        if (m_replies >= 0 && p[1].revents) {
            if (drain(m_replies, &answer)) {
                ::close(m_replies);
                m_replies = -1;
            }
            if (answered(&answerStatus, &reason))
                break;
        }
        if (m_pidfd < 0 || p[2].revents || m_fd < 0) {
            if (::waitpid(m_pid, &status, m_fd < 0 && m_pidfd < 0 ? 0 : WNOHANG) == m_pid) {
                m_pid = -1;
                ended = true;
                if (m_fd >= 0)
                    drain(m_fd, &said);
                if (m_replies >= 0)
                    drain(m_replies, &answer);
                break;
            }
        }
        if (m_yield)
            m_yield();
    }
    // A helper that answered stays for the next picture; one that ran out
    // of time is killed, one that ended is reaped.
    if (timedOut || ended)
        end();

    if (answerStatus >= 0 || answered(&answerStatus, &reason)) {
        // It answered (and waits for the next picture, unless it ended).
        const QString text = QString::fromUtf8(reason).trimmed();
        if (answerStatus == DecodeStep::Decoded && *width > 0 && *height > 0)
            return true;
        if (answerStatus == DecodeStep::Decoded)
            *error = QString("the picture decoder gave no size (%1)").arg(text);
        else if (answerStatus == DecodeStep::OutOfMemory)
            *error = QString("it needs more memory than the %1 GB the picture decoder may use%2")
                         .arg(QString::number(m_options.memoryLimit / 1e9, 'f', 1), text.isEmpty() ? QString() : " (" + text + ")");
        else
            *error = text.isEmpty() ? QString("the picture decoder refused it") : text;
        return false;
    }

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
        *error = text;
    else
        *error = QString("the picture decoder %1 failed on it (exit status %2)%3")
                     .arg(QuotedPath(m_options.program))
                     .arg(WIFEXITED(status) ? WEXITSTATUS(status) : -1)
                     .arg(text.isEmpty() ? QString() : ": " + text);
    return false;
}
