// velunor-decode: the page maker's decoding helper. Decodes pictures into
// the temporary bitmap in a process of its own, single-threaded, under a
// memory limit; the page maker starts it, times it and reads its verdict.
//
//   velunor-decode --parent PID --memory-limit BYTES [--page N] FORMAT PICTURE BITMAP
//
// --page N takes page N (0 is the first) of a multi-page TIFF.
// Prints "width height" and exits 0, or prints the reason and exits with
// one of DecodeStep::HelperExit.
//
//   velunor-decode --parent PID --memory-limit BYTES --serve
//
// One helper for a whole job: reads requests "FORMAT\0PAGE\0PICTURE\0BITMAP\0" on
// standard input (FORMAT as "2/85": a JPEG that a page at quality 85 keeps as
// it is is only checked, its traits beside BITMAP, and answered Kept) and answers each on descriptor 3 with "STATUS WIDTH HEIGHT
// LENGTH\n" and LENGTH bytes of reason (STATUS a DecodeStep::HelperExit),
// until its input ends. Running out of memory still ends it (exit status
// OutOfMemory), as does a crash: the page maker then starts another.
#include "engine/picture/DecodeStep.h"
#include "platform/HelperBounds.h"
#include "platform/MemoryTuning.h"

#include <QFile>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <new>
#include <unistd.h>

namespace {

void say(const char* text)
{
    for (size_t done = 0, n = std::strlen(text); done < n;) {
        const ssize_t k = ::write(1, text + done, n - done);
        if (k <= 0 && errno != EINTR)
            return;
        done += size_t(k > 0 ? k : 0);
    }
}

[[noreturn]] void outOfMemory() { ::_exit(DecodeStep::OutOfMemory); }

// A C allocation that failed under the limit comes back through the
// decoder's own words.
bool saysOutOfMemory(const QString& error)
{
    for (const char* words : {"out of memory", "lack of memory", "memory allocation", "allocation failed",
                              "failed to allocate", "not enough memory", "insufficient memory", "cannot allocate"}) {
        if (error.contains(QLatin1String(words), Qt::CaseInsensitive))
            return true;
    }
    return false;
}

void answer(int status, int width, int height, const QByteArray& reason)
{
    const QByteArray all = QByteArray::number(status) + ' ' + QByteArray::number(width) + ' '
        + QByteArray::number(height) + ' ' + QByteArray::number(reason.size()) + '\n' + reason;
    for (qsizetype done = 0; done < all.size();) {
        const ssize_t k = ::write(3, all.constData() + done, size_t(all.size() - done));
        if (k < 0 && errno == EINTR)
            continue;
        if (k <= 0)
            ::_exit(DecodeStep::ParentGone); // nobody reads the answers
        done += k;
    }
}

// For tests: with VELUNOR_DECODE_TELL naming a FIFO, each picture is
// written there, a line each, as its request comes in.
void SayRequest(const QByteArray& picture)
{
    const char* fifo = std::getenv("VELUNOR_DECODE_TELL");
    const int fd = fifo ? ::open(fifo, O_WRONLY | O_CLOEXEC) : -1;
    if (fd < 0)
        return;
    const QByteArray line = picture + '\n';
    [[maybe_unused]] const ssize_t n = ::write(fd, line.constData(), size_t(line.size()));
    ::close(fd);
}

// One field of a request, up to its NUL; false at the end of the input.
bool field(std::FILE* in, QByteArray* value)
{
    char* line = nullptr;
    size_t size = 0;
    const ssize_t n = ::getdelim(&line, &size, '\0', in);
    if (n > 0 && line[n - 1] == '\0')
        *value = QByteArray(line, n - 1);
    std::free(line);
    return n > 0;
}

int serve()
{
    QByteArray format, page, picture, bitmap;
    while (field(stdin, &format) && field(stdin, &page) && field(stdin, &picture) && field(stdin, &bitmap)) {
        QString error;
        int width = 0, height = 0;
        SayRequest(picture);
        // FORMAT/QUALITY: a JPEG that a page at QUALITY keeps is only checked.
        const int quality = format.contains('/') ? format.mid(format.indexOf('/') + 1).toInt() : 0;
        bool kept = false;
        const bool done = quality > 0
            ? DecodeStep::KeepOrWriteTempBitmap(QFile::decodeName(picture), format.toInt(), quality, QFile::decodeName(bitmap),
                                                &width, &height, &kept, &error)
            : DecodeStep::WriteTempBitmap(QFile::decodeName(picture), format.toInt(), QFile::decodeName(bitmap), &width,
                                          &height, &error, qBound(0, page.toInt(), 1000000));
        if (done) {
            answer(kept ? DecodeStep::Kept : DecodeStep::Decoded, width, height, {});
            continue;
        }
        answer(saysOutOfMemory(error) ? DecodeStep::OutOfMemory : DecodeStep::Refused, 0, 0, error.toUtf8());
    }
    return DecodeStep::Decoded;
}

bool number(const char* text, long long* value)
{
    char* end = nullptr;
    errno = 0;
    *value = std::strtoll(text, &end, 10);
    return errno == 0 && end != text && *end == '\0';
}

} // namespace

int main(int argc, char** argv)
{
    long long parent = 0, limit = 0, format = 0, page = 0;
    const bool serving = argc == 6 && std::strcmp(argv[5], "--serve") == 0;
    const int at = argc == 10 ? 7 : 5; // FORMAT's place, after an optional --page N
    if ((argc != 8 && argc != 10 && !serving) || std::strcmp(argv[1], "--parent") != 0 || !number(argv[2], &parent) ||
        std::strcmp(argv[3], "--memory-limit") != 0 || !number(argv[4], &limit) ||
        (argc == 10 && (std::strcmp(argv[5], "--page") != 0 || !number(argv[6], &page) || page < 0 || page > 1000000)) ||
        (!serving && !number(argv[at], &format))) {
        std::fprintf(stderr, "usage: velunor-decode --parent PID --memory-limit BYTES [--page N] FORMAT PICTURE BITMAP\n"
                             "       velunor-decode --parent PID --memory-limit BYTES --serve\n");
        return DecodeStep::Usage;
    }
    // Exit in the middle of a job ends the window, and this with it.
    if (!BindHelperToParent(parent, limit, outOfMemory))
        return DecodeStep::ParentGone;
    if (serving) {
        // Picture after picture, the buffers are reused as the program's own are.
        KeepPageMemoryFlat();
        return serve();
    }

    QString error;
    int width = 0, height = 0;
    if (DecodeStep::WriteTempBitmap(QFile::decodeName(argv[at + 1]), int(format), QFile::decodeName(argv[at + 2]), &width,
                                    &height, &error, int(page))) {
        std::printf("%d %d\n", width, height);
        return DecodeStep::Decoded;
    }
    say(error.toUtf8().constData());
    return saysOutOfMemory(error) ? DecodeStep::OutOfMemory : DecodeStep::Refused;
}
