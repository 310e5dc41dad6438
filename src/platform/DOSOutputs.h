#pragma once
#include <QObject>
#include <QString>

#include <sys/types.h>
#include <vector>

class MessageSink;
class QEventLoop;
class QSocketNotifier;

// Process-wide: the executable name whose presence keeps a run alive.
extern QString WatchedProcessName;

// Runs one command line as a child (no shell, stdin /dev/null, stdout and
// stderr into one pipe), collects its output, and returns when a read fails
// or reaches the end, or no process named WatchedProcessName is left,
// polling every 50 ms with the window responsive.
class DOSOutputs : public QObject {
    Q_OBJECT
public:
    explicit DOSOutputs(MessageSink& sink, QObject* parent = nullptr);
    ~DOSOutputs() override;

    QString CommandLine() const;
    void setCommandLine(const QString& DOSCommand);
    QString Outputs() const;
    QString ExecuteCommand(const QString& CommandLine = QString());

    // Whether the child of the last run is still alive after its loop
    // ended. WaitForChild waits for it with the window responsive, reaps it
    // and gathers the rest of its text into UnreadOutputs.
    bool ChildRunning();
    void WaitForChild();

    // Ends at once (SIGKILL) every process this program's runs started that
    // is still running (the children and what they started, known by their
    // VELUNOR_RUNNER_PID mark), and reaps the last run's child: for a
    // program that is ending itself.
    void EndRuns();

    // Splits a command line into arguments: blanks separate, double quotes
    // group and are removed; a backslash escapes a quote (2n backslashes
    // before a quote give n, 2n + 1 give n and a literal quote), elsewhere
    // backslashes are plain characters.
    static QStringList SplitCommandLine(const QString& commandLine);

    // Whether the last ExecuteCommand started a child (false after one of
    // the three messages).
    bool LastRunStarted() const { return m_started; }

    // What the last run's child wrote that the run did not collect: text
    // still in the pipe when the loop ended, and what the child wrote after
    // (gathered while it runs on, see WaitForChild). Outputs keeps to what
    // the loop itself read.
    QString UnreadOutputs() const { return m_unread; }

    // How the last run's child ended once it has been reaped: its exit
    // code, or 128 + the signal that ended it; -1 while that is not known.
    int LastExitCode() const { return m_exitCode; }

    // The last run's pauses between polls: how many there were, and how
    // many of them the exit of its own child cut short.
    struct Pace {
        int waits = 0;
        int cutShort = 0;
    };
    Pace LastRunPace() const { return m_pace; }

signals:
    void ReceiveOutputs(const QString& CommandOutputs);
    void CommandOver();

private:
    MessageSink& m_sink;
    QString m_commandLine;
    QString m_outputs;
    QString m_unread;

    // A child still alive when its run ended: reaped as soon as it exits,
    // whether or not anyone waits for it, so no zombie is left.
    struct LeftChild {
        pid_t pid = 0;
        int pidfd = -1;
        QSocketNotifier* notifier = nullptr;
    };
    // The pipe of such a child stays open and is drained as it writes, so
    // the child never meets a closed pipe (SIGPIPE) or a full one; while it
    // is the last run's child its text joins UnreadOutputs.
    struct Drain {
        pid_t owner = 0;
        int fd = -1;
        QSocketNotifier* notifier = nullptr;
    };
    void keepChild(pid_t pid, int pidfd, int readFd);
    // Reaps the process if it has ended (noting how, for the last run's
    // child); true when it is gone.
    bool reaped(pid_t pid);
    void reapEnded();
    void forget(std::size_t index);
    void drain(int fd, bool untilEmpty);
    void closeDrain(std::size_t index);
    void fail(const QString& text);
    // Whether the last run's child is among the left children.
    bool lastChildLeft() const;

    std::vector<LeftChild> m_left;
    std::vector<Drain> m_drains;
    QEventLoop* m_waitLoop = nullptr;
    pid_t m_lastRunPid = 0;
    bool m_started = false;
    int m_exitCode = -1;
    Pace m_pace;
};
