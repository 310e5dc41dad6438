// Test helper: stands in for a helper program or toolkit run of a job and
// keeps writing new files into the job's work folder until it is killed,
// as a decoder or reader at work does. The folder is that of its last
// argument holding a "/" or, with --serve, of the bitmap of the decoder's
// first request on standard input. After its first file it writes its pid
// to the FIFO $VELUNOR_TEST_READY. Ends with its parent, as our helpers do,
// and after 60 s at most.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <signal.h>
#include <string>
#include <sys/prctl.h>
#include <unistd.h>

int main(int argc, char** argv)
{
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    ::alarm(60);
    std::string target;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--serve") == 0) {
            // FORMAT\0PAGE\0PICTURE\0BITMAP\0: the fourth field.
            std::string field;
            for (int fields = 0, c; fields < 4 && (c = std::getchar()) != EOF;) {
                if (c == '\0') {
                    ++fields;
                    target = field;
                    field.clear();
                } else {
                    field += char(c);
                }
            }
            break;
        }
        if (std::strchr(argv[i], '/'))
            target = argv[i];
    }
    const size_t slash = target.rfind('/');
    if (slash == std::string::npos)
        return 2;
    const std::string folder = target.substr(0, slash);
    for (long n = 0; n < 200000; ++n) {
        const std::string file = folder + "/busy." + std::to_string(n);
        const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
        if (fd >= 0)
            ::close(fd);
        if (n == 0) {
            const char* ready = std::getenv("VELUNOR_TEST_READY");
            const int out = ready ? ::open(ready, O_WRONLY | O_CLOEXEC) : -1;
            if (out >= 0) {
                const std::string pid = std::to_string(::getpid()) + "\n";
                [[maybe_unused]] const ssize_t w = ::write(out, pid.data(), pid.size());
                ::close(out);
            }
        }
    }
    for (;;)
        ::pause();
}
