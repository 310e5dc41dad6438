// Test helper: writes the first TOTAL bytes of PATTERN repeated, CHUNK bytes
// per write, then stays until the reader has taken everything (or, with
// --hold, until it is killed or the reader is gone). Waits are bounded so
// a failed test never leaves it behind for long.
#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <poll.h>
#include <string>
#include <sys/ioctl.h>
#include <unistd.h>

static bool readerGone()
{
    pollfd p {1, 0, 0};
    return ::poll(&p, 1, 0) > 0 && (p.revents & (POLLERR | POLLHUP)) != 0;
}

int main(int argc, char** argv)
{
    if (argc < 3)
        return 2;
    const long total = std::atol(argv[1]);
    const long chunk = std::max(1L, std::atol(argv[2]));
    bool hold = false;
    std::string pattern = "0123456789abcdefghijklmnopqrstuvwxyz\n";
    for (int i = 3; i < argc; ++i) {
        if (std::strcmp(argv[i], "--hold") == 0)
            hold = true;
        else
            pattern = argv[i];
    }
    std::string data;
    while (long(data.size()) < total)
        data += pattern;
    data.resize(size_t(total));
    for (long at = 0; at < total;) {
        const ssize_t n = ::write(1, data.data() + at, size_t(std::min(chunk, total - at)));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return 3;
        at += n;
    }
    for (int i = 0; i < 3000; ++i) { // at most 30 s
        int waiting = 0;
        if (readerGone())
            return 0;
        if (!hold && (::ioctl(1, FIONREAD, &waiting) != 0 || waiting == 0))
            return 0;
        ::poll(nullptr, 0, 10);
    }
    return 0;
}
