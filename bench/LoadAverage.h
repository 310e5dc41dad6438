#pragma once
// The machine's load, printed beside the figures: on a shared machine the
// ratios of programs run side by side stay meaningful, the times do not.
#include <cstdio>
#include <cstdlib>

inline void printLoad(const char* when)
{
    double load[3] = {0, 0, 0};
    if (getloadavg(load, 3) == 3)
        std::printf("  load average %s: %.2f %.2f %.2f\n", when, load[0], load[1], load[2]);
}
