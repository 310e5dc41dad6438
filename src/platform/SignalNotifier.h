#pragma once
#include <QObject>

#include <initializer_list>
#include <vector>

class QSocketNotifier;

// Turns the given signals (SIGTERM, SIGHUP...) into Arrived() on the event
// loop. The handler itself only writes the signal's number into a pipe,
// which is all a handler may safely do; the rest runs as a normal event.
// System calls a signal interrupts are not restarted, so a program waiting
// for a terminal answer hears the signal at once. One per program.
class SignalNotifier : public QObject {
    Q_OBJECT
public:
    explicit SignalNotifier(std::initializer_list<int> caught, QObject* parent = nullptr);
    ~SignalNotifier() override; // the signals' default actions come back

    // A signal that came and has not been announced yet, else 0; for code
    // that runs no event pass before it ends.
    int Pending();

signals:
    void Arrived(int signal);

private:
    void readPipe();

    QSocketNotifier* m_notifier = nullptr;
    std::vector<int> m_caught;
    int m_pending = 0;
};
