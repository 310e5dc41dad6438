#pragma once

// Waits a number of milliseconds inside the Qt event loop: every window event
// that arrives meanwhile is handled, nothing spins, input never ends it early.
// Throws RuntimeError ("[clsWaitableTimer.Wait]" + cause) when no timer can be made.
class clsWaitableTimer {
public:
    clsWaitableTimer() = default;
    ~clsWaitableTimer(); // Class_Terminate
    clsWaitableTimer(const clsWaitableTimer&) = delete;
    clsWaitableTimer& operator=(const clsWaitableTimer&) = delete;

    void Wait(int MilliSeconds);
    bool holdsTimer() const { return m_timer != 0; }

private:
    int m_timer = 0; // timer id while waiting
};
