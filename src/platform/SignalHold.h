#pragma once
#include <csignal>
#include <pthread.h>

// Holds back the signals that end a program (SIGTERM, SIGINT, SIGHUP,
// SIGQUIT) for its lifetime: they stay pending and arrive when it goes. For
// steps that must not be parted, such as two system calls in a row, or a
// document's placement and the report of it.
class SignalHold {
public:
    SignalHold()
    {
        sigset_t set;
        sigemptyset(&set);
        for (int sig : {SIGTERM, SIGINT, SIGHUP, SIGQUIT})
            sigaddset(&set, sig);
        pthread_sigmask(SIG_BLOCK, &set, &m_old);
    }
    ~SignalHold() { pthread_sigmask(SIG_SETMASK, &m_old, nullptr); }
    SignalHold(const SignalHold&) = delete;
    SignalHold& operator=(const SignalHold&) = delete;

private:
    sigset_t m_old;
};
