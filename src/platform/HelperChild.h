#pragma once
#include "platform/EventPump.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QString>
#include <QtGlobal>

#include <functional>
#include <sys/types.h>
#include <vector>

// One of our helper programs (the picture decoder, the text reader) as a
// child of this process: started by its path without a shell, told our pid
// and its memory limit, its standard output and error in one pipe; waited
// for with an event pass at least every 15 ms, killed when it runs out of
// time, and killed and reaped when dropped. Its end is told in plain words.
class HelperChild {
public:
    struct Options {
        QString program;     // its path
        QString role;        // how messages name it: "the picture decoder"
        qint64 memoryLimit;  // its address space, in bytes (--memory-limit)
        int refusedExit;     // its exit when it refuses: its last line is the reason
        int outOfMemoryExit; // its exit when it ran out of memory
        QString crashHint;   // added to the words for a crash ("; the file ...")
    };

    explicit HelperChild(Options options);
    ~HelperChild();
    HelperChild(const HelperChild&) = delete;
    HelperChild& operator=(const HelperChild&) = delete;

    // Starts it as `program --parent PID --memory-limit BYTES args...`; the
    // child's standard input is stdinFd (-1: /dev/null) and its descriptors
    // 3, 4... are moreFds, every other one closed. False with *error.
    bool Start(const std::vector<QByteArray>& args, int stdinFd, const std::vector<int>& moreFds, QString* error);
    bool Running() const { return m_pid > 0; }
    // Whether it ended on its own since it was last waited for (it is
    // then reaped).
    bool EndedMeanwhile();
    void Kill();
    // Kills every helper of this process still running. A program that
    // ends in the middle of a job reaps them here (Now), so that none
    // writes into the work folders once they are being removed; a stopped
    // job leaves each to its owner (ByOwner), whose wait then returns and
    // reaps it.
    enum class Reap { Now, ByOwner };
    static void EndAll(Reap reap);

    // The time limit counts from Start, or from here (one picture of many).
    void RestartClock() { m_clock.start(); }
    enum class End { Answered, Ended, TimedOut };
    // Until it ends, `timeLimitMs` have passed on the clock, or (with an
    // answer pipe) `answered` says the bytes read from *answerFd make a
    // whole answer. A pipe that reaches its end is closed and set to -1.
    // On Ended, *status is its wait status; on TimedOut it is killed.
    End Wait(int timeLimitMs, const YieldFunction& yield, int* status, int* answerFd = nullptr,
             QByteArray* answer = nullptr, const std::function<bool()>& answered = {});
    // What it wrote on its standard output and error (at most 64 KiB).
    const QByteArray& Said() const { return m_said; }
    void ForgetSaid() { m_said.clear(); }

    // The reason for an end other than success: killed, crashed, out of
    // memory, refused (`text`, its last words), or an exit of its own.
    QString EndReason(int status, const QString& text) const;
    // Its words for running out of memory, with what it said, if anything.
    QString OutOfMemoryReason(const QString& text) const;

    // Reads a non-blocking descriptor into *into (kept to 64 KiB); true at
    // the pipe's end.
    static bool Drain(int fd, QByteArray* into);

private:
    Options m_options;
    pid_t m_pid = -1;
    int m_fd = -1;    // its standard output and error
    int m_pidfd = -1; // readable once it has ended
    QElapsedTimer m_clock;
    QByteArray m_said;
};
