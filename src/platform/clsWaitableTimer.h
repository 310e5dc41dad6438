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
    // The same wait, also ended as soon as the descriptor wakeFd becomes
    // readable (a child's pidfd reports its exit so). True when that ended
    // it before the time was up; a negative wakeFd waits as Wait does.
    bool WaitOrWake(int MilliSeconds, int wakeFd);
    bool holdsTimer() const { return m_timer != 0; }

private:
    int m_timer = 0; // timer id while waiting
};
