#include "platform/DOSOutputs.h"

#include "platform/ChildSpawn.h"
#include "platform/EventPump.h"
#include "platform/MessageSink.h"
#include "platform/ProcessList.h"
#include "platform/ProgramName.h"
#include "platform/clsWaitableTimer.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QSocketNotifier>
#include <QStringDecoder>
#include <QStringList>

#include <cerrno>
#include <csignal>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

QString WatchedProcessName;

namespace {

constexpr int ReadSize = 1024;
constexpr int PollMilliSeconds = 50;
constexpr int DrainReads = 64; // 64 KiB, the pipe's usual size

// Bytes wait in the pipe, or its writers are all gone so that the next read
// reports the end, or the count cannot be had: all count as "something to
// read", as the failing Windows size call does.
bool somethingToRead(int fd)
{
    int count = 0;
    if (::ioctl(fd, FIONREAD, &count) != 0 || count > 0)
        return true;
    pollfd p {fd, POLLIN, 0};
    if (::poll(&p, 1, 0) < 0)
        return true;
    return (p.revents & (POLLIN | POLLHUP | POLLERR)) != 0;
}

// Whether the descriptor reports something at once (a pidfd: the process
// has ended).
bool readableNow(int fd)
{
    pollfd p {fd, POLLIN, 0};
    return fd >= 0 && ::poll(&p, 1, 0) > 0;
}

// Closes the read end however the run is left (the timer wait may throw).
struct FdGuard {
    int fd;
    ~FdGuard()
    {
        if (fd >= 0)
            ::close(fd);
    }
};

} // namespace

DOSOutputs::DOSOutputs(MessageSink& sink, QObject* parent) : QObject(parent), m_sink(sink) {}

DOSOutputs::~DOSOutputs()
{
    reapEnded();
    // A child still running now is left to the system; its notifier goes
    // with this object.
    for (LeftChild& c : m_left)
        if (c.pidfd >= 0)
            ::close(c.pidfd);
    for (Drain& d : m_drains)
        ::close(d.fd);
}

QString DOSOutputs::CommandLine() const
{
    return m_commandLine;
}

void DOSOutputs::setCommandLine(const QString& DOSCommand)
{
    m_commandLine = DOSCommand;
}

QString DOSOutputs::Outputs() const
{
    return m_outputs;
}

void DOSOutputs::fail(const QString& text)
{
    m_sink.showMessage(ProgramName, text, MessageIcon::Critical);
}

QString DOSOutputs::ExecuteCommand(const QString& CommandLine)
{
    if (!CommandLine.isEmpty())
        m_commandLine = CommandLine;
    m_started = false;
    reapEnded();
    if (m_commandLine.isEmpty()) {
        fail(QStringLiteral("Command Line empty"));
        return {};
    }

    ChildSpawn::Child child;
    int pipeError = 0;
    switch (ChildSpawn::Start(SplitCommandLine(m_commandLine), &child, &pipeError)) {
    case ChildSpawn::Result::NoPipe:
        fail(QStringLiteral("CreatePipe failed. Error: ") + QString::number(pipeError));
        return {};
    case ChildSpawn::Result::NotStarted:
        fail(QStringLiteral("File or command not found"));
        return {};
    case ChildSpawn::Result::Started:
        break;
    }
    FdGuard readEnd {child.readFd};
    const pid_t pid = child.pid;
    const int pidfd = child.pidfd;
    const bool closed = child.writeEndReleased;

    m_started = true;
    m_outputs.clear();
    m_unread.clear();
    m_lastRunPid = pid;
    m_exitCode = -1;
    m_pace = Pace();

    // Reaps the child, or keeps watching it, however the loop is left.
    struct ChildGuard {
        DOSOutputs* self;
        pid_t pid;
        int pidfd;
        void settle(int readFd)
        {
            if (pid > 0)
                self->keepChild(pid, pidfd, readFd);
            else if (readFd >= 0)
                ::close(readFd);
            pid = 0;
        }
        ~ChildGuard() { settle(-1); }
    } childGuard {this, pid, pidfd};

    clsWaitableTimer timer;
    QStringDecoder decoder(QStringDecoder::Utf8);
    char buffer[ReadSize];
    bool running = closed;
    bool childEnded = false;
    do {
        // Once our own child has ended, whatever it wrote is taken now, in
        // reads of the usual size, rather than one read per period; at most
        // a full pipe's worth, so a descendant that goes on writing cannot
        // keep the cycle from the event loop.
        childEnded = childEnded || readableNow(pidfd);
        bool again = somethingToRead(readEnd.fd);
        for (int reads = 1; again; ++reads) {
            ssize_t n;
            do
                n = ::read(readEnd.fd, buffer, ReadSize);
            while (n < 0 && errno == EINTR);
            running = n > 0;
            // The decoder keeps a character split between two reads for
            // the next one.
            const QString text = n > 0 ? QString(decoder.decode(QByteArrayView(buffer, n))) : QString();
            m_outputs += text;
            emit ReceiveOutputs(text);
            again = running && childEnded && reads < DrainReads && somethingToRead(readEnd.fd);
        }
        // Our own child is the run most likely to go by the watched name;
        // with the pipe at its end there is nothing left to ask.
        if (running && !ProcessList::IsRunning(WatchedProcessName, pid))
            running = false;
        YieldEvents();
        // The pause is between polls: once the run is known to be over,
        // waiting out another period would only delay the caller. The end
        // of our own child ends the pause at once (only once: another
        // process of the watched name keeps the usual pace).
        if (running) {
            ++m_pace.waits;
            if (timer.WaitOrWake(PollMilliSeconds, childEnded ? -1 : pidfd)) {
                ++m_pace.cutShort;
                childEnded = true;
            }
        }
    } while (running);

    const int readFd = readEnd.fd;
    readEnd.fd = -1;
    childGuard.settle(readFd);
    emit CommandOver();
    return m_outputs;
}

bool DOSOutputs::reaped(pid_t pid)
{
    int status = 0;
    pid_t r;
    do
        r = ::waitpid(pid, &status, WNOHANG);
    while (r < 0 && errno == EINTR);
    if (r == pid && pid == m_lastRunPid)
        m_exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    // ECHILD: somebody else reaped it; it is gone either way.
    return r == pid || (r < 0 && errno == ECHILD);
}

void DOSOutputs::keepChild(pid_t pid, int pidfd, int readFd)
{
    if (pid <= 0)
        return;
    if (reaped(pid)) {
        if (pidfd >= 0)
            ::close(pidfd);
        if (readFd >= 0) {
            // Keep what the loop left in the pipe apart from Outputs.
            Drain d;
            d.owner = pid;
            d.fd = readFd;
            m_drains.push_back(d);
            drain(readFd, true);
            for (std::size_t i = 0; i < m_drains.size(); ++i)
                if (m_drains[i].fd == readFd)
                    closeDrain(i);
        }
        return;
    }
    if (readFd >= 0) {
        Drain d;
        d.owner = pid;
        d.fd = readFd;
        d.notifier = new QSocketNotifier(readFd, QSocketNotifier::Read, this);
        connect(d.notifier, &QSocketNotifier::activated, this, [this, readFd] { drain(readFd, false); });
        m_drains.push_back(d);
    }
    LeftChild c;
    c.pid = pid;
    c.pidfd = pidfd;
    if (pidfd >= 0) {
        c.notifier = new QSocketNotifier(pidfd, QSocketNotifier::Read, this);
        connect(c.notifier, &QSocketNotifier::activated, this, [this, pid] {
            for (std::size_t i = 0; i < m_left.size(); ++i)
                if (m_left[i].pid == pid && reaped(pid)) {
                    forget(i);
                    break;
                }
            if (m_waitLoop)
                m_waitLoop->quit();
        });
    }
    m_left.push_back(c);
}

void DOSOutputs::drain(int fd, bool untilEmpty)
{
    char buffer[4096];
    for (;;) {
        std::size_t index = 0;
        while (index < m_drains.size() && m_drains[index].fd != fd)
            ++index;
        if (index == m_drains.size())
            return;
        if (untilEmpty) {
            pollfd p {fd, POLLIN, 0};
            if (::poll(&p, 1, 0) <= 0)
                return;
        }
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            closeDrain(index);
            return;
        }
        if (m_drains[index].owner == m_lastRunPid)
            m_unread += QString::fromUtf8(buffer, n);
        if (!untilEmpty)
            return;
    }
}

void DOSOutputs::closeDrain(std::size_t index)
{
    Drain d = m_drains[index];
    m_drains.erase(m_drains.begin() + std::ptrdiff_t(index));
    if (d.notifier) {
        d.notifier->setEnabled(false);
        d.notifier->deleteLater();
    }
    ::close(d.fd);
}

void DOSOutputs::forget(std::size_t index)
{
    LeftChild c = m_left[index];
    m_left.erase(m_left.begin() + std::ptrdiff_t(index));
    if (c.notifier) {
        c.notifier->setEnabled(false);
        c.notifier->deleteLater();
    }
    if (c.pidfd >= 0)
        ::close(c.pidfd);
}

void DOSOutputs::reapEnded()
{
    for (std::size_t i = m_left.size(); i-- > 0;)
        if (reaped(m_left[i].pid))
            forget(i);
}

bool DOSOutputs::ChildRunning()
{
    reapEnded();
    return lastChildLeft();
}

bool DOSOutputs::lastChildLeft() const
{
    for (const LeftChild& c : m_left)
        if (c.pid == m_lastRunPid)
            return true;
    return false;
}

void DOSOutputs::WaitForChild()
{
    reapEnded();
    while (lastChildLeft()) {
        bool watched = false;
        for (const LeftChild& c : m_left)
            if (c.pid == m_lastRunPid && c.notifier)
                watched = true;
        if (watched) {
            // Sleeps in the event loop until the child's pidfd reports its end.
            QEventLoop loop;
            QEventLoop* outer = m_waitLoop;
            m_waitLoop = &loop;
            loop.exec();
            m_waitLoop = outer;
            if (outer && !lastChildLeft())
                outer->quit();
            // exec returns at once while the application is quitting; sleep
            // for the next event (the child's end is one) instead of spinning.
            if (lastChildLeft())
                QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        } else {
            clsWaitableTimer().Wait(PollMilliSeconds);
        }
        reapEnded();
    }
    // What the child wrote just before it ended is still in the pipe.
    for (const Drain& d : std::vector<Drain>(m_drains))
        if (d.owner == m_lastRunPid)
            drain(d.fd, true);
}

QStringList DOSOutputs::SplitCommandLine(const QString& commandLine)
{
    // Blanks separate; double quotes group and are removed. Backslashes are
    // plain characters except before a quote: 2n of them and a quote give
    // n backslashes and a grouping quote, 2n + 1 give n and a literal quote.
    QStringList args;
    QString current;
    bool quoted = false;
    bool inArgument = false;
    const qsizetype size = commandLine.size();
    for (qsizetype i = 0; i < size;) {
        const QChar c = commandLine.at(i);
        if ((c == u' ' || c == u'\t') && !quoted) {
            if (inArgument)
                args << current;
            current.clear();
            inArgument = false;
            ++i;
            continue;
        }
        inArgument = true;
        if (c == u'\\') {
            qsizetype run = 0;
            while (i + run < size && commandLine.at(i + run) == u'\\')
                ++run;
            if (i + run < size && commandLine.at(i + run) == u'"') {
                current += QString(run / 2, u'\\');
                if (run % 2) {
                    current += u'"';
                    i += run + 1;
                } else {
                    i += run;
                }
            } else {
                current += QString(run, u'\\');
                i += run;
            }
            continue;
        }
        if (c == u'"') {
            quoted = !quoted;
            ++i;
            continue;
        }
        current += c;
        ++i;
    }
    if (inArgument)
        args << current;
    return args;
}

void DOSOutputs::EndRuns()
{
    const pid_t self = ::getpid();
    const ProcessList::RunnerMark& own = ProcessList::OwnMark();
    for (const ProcessList::Entry& e : ProcessList::Snapshot()) {
        if (e.pid != self && !ProcessList::IsZombie(e) && ProcessList::RunnerMarkOf(e.pid) == own)
            ::kill(e.pid, SIGKILL);
    }
    // Only a child not yet reaped is waited for: its number is still ours.
    siginfo_t info {};
    if (m_lastRunPid > 0 && ::waitid(P_PID, id_t(m_lastRunPid), &info, WEXITED | WNOHANG | WNOWAIT) == 0)
        ::waitpid(m_lastRunPid, nullptr, 0);
}
