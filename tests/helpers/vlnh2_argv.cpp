// Test helper: prints each argument as [arg] on its own line. With --fds as
// the only argument it prints instead what standard input is and every
// descriptor above 2 it holds, one per line.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <unistd.h>

int main(int argc, char** argv)
{
    if (argc == 2 && std::strcmp(argv[1], "--fds") == 0) {
        char target[256] = {};
        const ssize_t n = ::readlink("/proc/self/fd/0", target, sizeof target - 1);
        std::printf("stdin %s\n", n > 0 ? target : "(closed)");
        DIR* dir = ::opendir("/proc/self/fd");
        if (!dir)
            return 1;
        const int own = ::dirfd(dir);
        while (const dirent* d = ::readdir(dir)) {
            const int fd = std::atoi(d->d_name);
            if (d->d_name[0] != '.' && fd > 2 && fd != own)
                std::printf("fd %d\n", fd);
        }
        ::closedir(dir);
        return 0;
    }
    for (int i = 1; i < argc; ++i)
        std::printf("[%s]\n", argv[i]);
    return 0;
}
