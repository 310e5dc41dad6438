#include "engine/job/OcrProcess.h"

#include "platform/AppPaths.h"
#include "platform/ChildSpawn.h"
#include "platform/QuotedPath.h"

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

extern char** environ;

namespace {

// Longest the window goes without an event pass while the helper works.
constexpr int kPassMs = 15;
// Enough for any reason the helper gives (Tesseract's chatter included).
constexpr qsizetype kMaxSaid = 64 * 1024;
// velunor-ocr's exits besides 0 (it read the page).
enum HelperExit { Refused = 1, OutOfMemory = 3 };

} // namespace

OcrProcess::Options OcrProcess::Defaults()
{
    Options o;
    o.program = AppPaths::HelperProgram(QStringLiteral("velunor-ocr"));
    return o;
}

OcrProcess::OcrProcess(YieldFunction yield, Options options) : m_yield(std::move(yield)), m_options(std::move(options)) {}

OcrProcess::~OcrProcess() { end(); }

void OcrProcess::end()
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

bool OcrProcess::Start(const QString& bitmap, const QString& languages, const QString& dataFolder,
                       const QString& textBase, QString* error)
{
    end();
    m_said.clear();
    const QByteArray program = QFile::encodeName(m_options.program);
    if (!QFileInfo(m_options.program).isExecutable()) {
        *error = QStringLiteral("the text reader %1 is missing; the installation is incomplete").arg(QuotedPath(m_options.program));
        return false;
    }
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) {
        *error = QStringLiteral("the text reader could not be started (%1)").arg(QString::fromLocal8Bit(::strerror(errno)));
        return false;
    }
    const QByteArray parent = QByteArray::number(qint64(::getpid()));
    const QByteArray limit = QByteArray::number(m_options.memoryLimit);
    const QByteArray data8 = QFile::encodeName(dataFolder), langs8 = languages.toUtf8();
    const QByteArray bmp8 = QFile::encodeName(bitmap), out8 = QFile::encodeName(textBase);
    char* argv[] = {const_cast<char*>(program.constData()), const_cast<char*>("--parent"),
                    const_cast<char*>(parent.constData()),  const_cast<char*>("--memory-limit"),
                    const_cast<char*>(limit.constData()),   const_cast<char*>("--data"),
                    const_cast<char*>(data8.constData()),   const_cast<char*>("--languages"),
                    const_cast<char*>(langs8.constData()),  const_cast<char*>(bmp8.constData()),
                    const_cast<char*>(out8.constData()),    nullptr};

    // Its pipe is all it inherits: stdin from /dev/null, stdout and stderr
    // into the pipe, every other descriptor (the work folder's lock...) closed.
    pid_t pid = -1;
    const int spawnError = ChildSpawn::StartHelper(program, argv, {-1, fds[1], fds[1]}, &pid);
    ::close(fds[1]);
    if (spawnError != 0) {
        ::close(fds[0]);
        *error = QStringLiteral("the text reader %1 could not be started (%2)")
                     .arg(QuotedPath(m_options.program), QString::fromLocal8Bit(::strerror(spawnError)));
        return false;
    }
    m_pid = pid;
    m_fd = fds[0];
    ::fcntl(m_fd, F_SETFL, O_NONBLOCK);
    // Readable once the helper has ended.
    m_pidfd = int(::syscall(SYS_pidfd_open, pid, 0));
    m_clock.start();
    return true;
}

bool OcrProcess::Wait(QString* error)
{
    if (m_pid <= 0) {
        *error = QStringLiteral("the text reader was not started");
        return false;
    }
    auto drain = [&] {
        char buf[4096];
        for (;;) {
            const ssize_t n = ::read(m_fd, buf, sizeof buf);
            if (n > 0 && m_said.size() < kMaxSaid)
                m_said.append(buf, n);
            if (n == 0 || (n < 0 && errno != EINTR))
                return n == 0;
        }
    };
    bool timedOut = false;
    int status = 0;
    for (;;) {
        const qint64 left = m_options.timeLimitMs - m_clock.elapsed();
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

    // Its last line is its reason; Tesseract's notes come before it.
    const QString text = QString::fromUtf8(m_said).trimmed().section(QLatin1Char('\n'), -1);
    if (timedOut) {
        *error = QStringLiteral("the text reader did not finish within %1 seconds").arg(m_options.timeLimitMs / 1000.0);
        return false;
    }
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0)
        return true;
    if (WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL)
        *error = QStringLiteral("the text reader was killed (by the system, perhaps for want of memory)");
    else if (WIFSIGNALED(status))
        *error = QStringLiteral("the text reader crashed on it (%1)").arg(QString::fromLocal8Bit(::strsignal(WTERMSIG(status))));
    else if (WIFEXITED(status) && WEXITSTATUS(status) == OutOfMemory)
        *error = QStringLiteral("it needs more memory than the %1 GB the text reader may use")
                     .arg(QString::number(m_options.memoryLimit / 1e9, 'f', 1));
    else if (WIFEXITED(status) && WEXITSTATUS(status) == Refused && !text.isEmpty())
        *error = text;
    else
        *error = QStringLiteral("the text reader %1 failed on it (exit status %2)%3")
                     .arg(QuotedPath(m_options.program))
                     .arg(WIFEXITED(status) ? WEXITSTATUS(status) : -1)
                     .arg(text.isEmpty() ? QString() : QStringLiteral(": ") + text);
    return false;
}
