#include "platform/clsWaitableTimer.h"

#include "platform/RuntimeError.h"

#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QEventLoop>
#include <QObject>
#include <QSocketNotifier>
#include <QTimerEvent>

namespace {

// Ends the wait's own event loop when its timer fires; nothing else does.
class TimerTarget : public QObject {
public:
    explicit TimerTarget(QEventLoop& loop) : m_loop(loop) {}
    int timerId = 0;
    bool fired = false;

protected:
    void timerEvent(QTimerEvent* event) override
    {
        if (event->timerId() != timerId)
            return;
        killTimer(timerId);
        timerId = 0;
        fired = true;
        m_loop.quit();
    }

private:
    QEventLoop& m_loop;
};

// Error 5 as the runtime reports an invalid call.
constexpr int NoTimerError = 5;

[[noreturn]] void raise(const QString& cause)
{
    throw RuntimeError(NoTimerError, QStringLiteral("clsWaitableTimer"),
                       QStringLiteral("[clsWaitableTimer.Wait]") + cause);
}

} // namespace

clsWaitableTimer::~clsWaitableTimer()
{
    // Only a Wait left by an error could leave a timer behind; the timer
    // belonged to that Wait's own object, which is gone with it.
    m_timer = 0;
}

void clsWaitableTimer::Wait(int MilliSeconds)
{
    WaitOrWake(MilliSeconds, -1);
}

bool clsWaitableTimer::WaitOrWake(int MilliSeconds, int wakeFd)
{
    if (!QCoreApplication::instance())
        raise(QStringLiteral("No event loop to wait in: the application object does not exist."));
    if (MilliSeconds <= 0) {
        // The timer is due at once: one pass of the event loop.
        QCoreApplication::processEvents();
        return false;
    }
    QEventLoop loop;
    TimerTarget target(loop);
    if (!QAbstractEventDispatcher::instance(target.thread()))
        raise(QStringLiteral("No event dispatcher in this thread."));
    target.timerId = target.startTimer(MilliSeconds, Qt::PreciseTimer);
    if (target.timerId == 0)
        raise(QStringLiteral("The timer could not be created."));
    m_timer = target.timerId;
    bool woken = false;
    QSocketNotifier* wake = nullptr;
    if (wakeFd >= 0) {
        wake = new QSocketNotifier(QSocketNotifier::Read, &target);
        wake->setSocket(wakeFd);
        QObject::connect(wake, &QSocketNotifier::activated, &target, [&] {
            wake->setEnabled(false);
            woken = true;
            loop.quit();
        });
        wake->setEnabled(true);
    }
    // The loop sleeps in the dispatcher until an event, the timer or the
    // wake descriptor comes; a nested handler that quits other loops cannot
    // end this one early.
    while (!target.fired && !woken) {
        loop.exec();
        // exec returns at once while the application is quitting; sleep
        // for the next event instead of spinning.
        if (!target.fired && !woken)
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
    if (target.timerId)
        target.killTimer(target.timerId);
    m_timer = 0;
    return woken && !target.fired;
}
