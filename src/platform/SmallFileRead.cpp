#include "platform/SmallFileRead.h"

#include <QFile>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

bool ReadSmallRegularFile(const QString& path, qint64 maxBytes, QByteArray* bytes)
{
    bytes->clear();
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0)
        return false;
    struct stat st {};
    bool ok = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size <= maxBytes;
    if (ok) {
        bytes->resize(qsizetype(st.st_size) + 1); // one more: a file that grew is seen
        qsizetype got = 0;
        while (got < bytes->size()) {
            const ssize_t n = ::read(fd, bytes->data() + got, size_t(bytes->size() - got));
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0) {
                ok = n == 0;
                break;
            }
            got += n;
        }
        ok = ok && got <= maxBytes;
        bytes->truncate(got);
    }
    ::close(fd);
    if (!ok)
        bytes->clear();
    return ok;
}
