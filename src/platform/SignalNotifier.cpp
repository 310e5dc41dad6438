#include "platform/SignalNotifier.h"

#include <QSocketNotifier>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace {
int s_pipe[2] = {-1, -1};

void onSignal(int sig)
{
    const int saved = errno;
    const unsigned char byte = static_cast<unsigned char>(sig);
    // A full pipe already holds a signal to act on.
    [[maybe_unused]] const ssize_t n = ::write(s_pipe[1], &byte, 1);
    errno = saved;
}
} // namespace

SignalNotifier::SignalNotifier(std::initializer_list<int> caught, QObject* parent)
    : QObject(parent), m_caught(caught)
{
    if (s_pipe[0] < 0 && ::pipe2(s_pipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return;
    m_notifier = new QSocketNotifier(s_pipe[0], QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, [this] {
        readPipe();
        if (const int sig = m_pending) {
            m_pending = 0;
            emit Arrived(sig);
        }
    });
    struct sigaction sa {};
    sa.sa_handler = onSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = 0; // no SA_RESTART: a blocking read ends with EINTR
    for (int sig : m_caught)
        ::sigaction(sig, &sa, nullptr);
}

SignalNotifier::~SignalNotifier()
{
    for (int sig : m_caught)
        ::signal(sig, SIG_DFL);
}

void SignalNotifier::readPipe()
{
    unsigned char byte = 0;
    while (::read(s_pipe[0], &byte, 1) == 1) {
        if (m_pending == 0)
            m_pending = byte;
    }
}

int SignalNotifier::Pending()
{
    if (s_pipe[0] >= 0)
        readPipe();
    const int sig = m_pending;
    m_pending = 0;
    return sig;
}
