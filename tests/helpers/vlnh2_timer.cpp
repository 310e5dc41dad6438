// Test helper: waits with clsWaitableTimer where no application object
// exists, so no timer can be made; prints the error that comes back.
#include "platform/RuntimeError.h"
#include "platform/clsWaitableTimer.h"

#include <cstdio>

int main()
{
    clsWaitableTimer timer;
    try {
        timer.Wait(50);
    } catch (const RuntimeError& e) {
        std::printf("%d|%s|%s|%d\n", e.Number, qPrintable(e.Source), qPrintable(e.Description),
                    timer.holdsTimer() ? 1 : 0);
        return 0;
    }
    std::printf("no error\n");
    return 1;
}
