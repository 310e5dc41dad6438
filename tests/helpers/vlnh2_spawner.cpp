// Test helper: starts PROGRAM ARGS... as a child that inherits standard
// output, prints "spawner PID child PID" and ends at once, leaving the child.
#include <cstdio>
#include <spawn.h>
#include <unistd.h>

extern char** environ;

int main(int argc, char** argv)
{
    if (argc < 2)
        return 2;
    pid_t child = 0;
    if (::posix_spawn(&child, argv[1], nullptr, nullptr, argv + 1, environ) != 0)
        return 3;
    std::printf("spawner %d child %d\n", int(::getpid()), int(child));
    std::fflush(stdout);
    return 0;
}
