#pragma once
#include <QObject>
#include <QString>

class MessageSink;

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

    // The child of the last run, when it is still alive after the loop
    // ended (0 otherwise). WaitForChild waits for it with the window
    // responsive and reaps it.
    bool ChildRunning();
    void WaitForChild();

    // Splits a command line into arguments: blanks separate, double quotes
    // group and are removed.
    static QStringList SplitCommandLine(const QString& commandLine);

signals:
    void ReceiveOutputs(const QString& CommandOutputs);
    void CommandOver();

private:
    MessageSink& m_sink;
    QString m_commandLine;
    QString m_outputs;
    int m_childPid = 0;
};
