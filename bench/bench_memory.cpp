// The memory bound of one huge page: velunor-convert on valid JPEGs up to
// 18,000 x 18,000 pixels (the decoding limit takes up to 1.0 GB of 24-bit
// pixels), its peak resident memory (anonymous and mapped, from VmHWM via
// the child's rusage) and that of the decoding helper, with the time.
// Prints figures; judges nothing.
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include <jpeglib.h>

extern char** environ;

namespace {

// A photo-like JPEG (gradients with fine noise, 4:2:0, quality 85), written
// row by row so the benchmark itself stays small.
bool writeJpeg(const QString& path, int w, int h)
{
    FILE* f = std::fopen(QFile::encodeName(path).constData(), "wb");
    if (!f)
        return false;
    jpeg_compress_struct c{};
    jpeg_error_mgr e{};
    c.err = jpeg_std_error(&e);
    jpeg_create_compress(&c);
    jpeg_stdio_dest(&c, f);
    c.image_width = JDIMENSION(w);
    c.image_height = JDIMENSION(h);
    c.input_components = 3;
    c.in_color_space = JCS_RGB;
    jpeg_set_defaults(&c);
    jpeg_set_quality(&c, 85, TRUE);
    jpeg_start_compress(&c, TRUE);
    std::vector<unsigned char> row(size_t(w) * 3);
    unsigned seed = 1;
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            seed = seed * 1103515245u + 12345u;
            row[size_t(3 * x)] = (unsigned char)((x * 255 / w) ^ ((seed >> 16) & 15));
            row[size_t(3 * x + 1)] = (unsigned char)(y * 255 / h);
            row[size_t(3 * x + 2)] = (unsigned char)((x + y) & 255);
        }
        JSAMPROW r = row.data();
        jpeg_write_scanlines(&c, &r, 1);
    }
    jpeg_finish_compress(&c);
    jpeg_destroy_compress(&c);
    return std::fclose(f) == 0;
}

// VmHWM of a running process, in kB (0 once it has ended).
long highWaterKb(pid_t pid)
{
    QFile f(QStringLiteral("/proc/%1/status").arg(pid));
    if (!f.open(QIODevice::ReadOnly))
        return 0;
    for (const QByteArray& line : f.readAll().split('\n'))
        if (line.startsWith("VmHWM:"))
            return line.mid(6).trimmed().split(' ').value(0).toLong();
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const QString build = QCoreApplication::applicationDirPath();
    const QString convert = argc > 1 ? QString::fromLocal8Bit(argv[1]) : build + "/velunor-convert";
    QTemporaryDir dir;
    qputenv("XDG_CACHE_HOME", QFile::encodeName(dir.filePath("cache")));
    std::printf("%-14s %9s %12s %14s %10s %6s\n", "JPEG", "file MB", "own peak MB", "largest RSS MB", "wall s", "exit");
    for (int side : {4000, 10000, 14000, 18000}) {
        const QString jpg = dir.filePath(QStringLiteral("p%1.jpg").arg(side));
        if (!writeJpeg(jpg, side, side)) {
            std::printf("could not write %s\n", qPrintable(jpg));
            return 1;
        }
        const QByteArray c8 = QFile::encodeName(convert), o8 = QFile::encodeName(dir.path()), j8 = QFile::encodeName(jpg);
        char* args[] = {const_cast<char*>(c8.constData()), const_cast<char*>("-y"), const_cast<char*>("-o"),
                        const_cast<char*>(o8.constData()), const_cast<char*>(j8.constData()), nullptr};
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
        QElapsedTimer t;
        t.start();
        pid_t pid = 0;
        if (posix_spawn(&pid, args[0], &actions, nullptr, args, environ) != 0) {
            std::printf("could not start %s\n", args[0]);
            return 1;
        }
        posix_spawn_file_actions_destroy(&actions);
        // Its own high-water mark, read while it runs (it only grows); then
        // the largest of it and the children it waited for (the decoding
        // helper, qpdf, pdftk's Java) from its rusage.
        int status = 0;
        long ownKb = 0;
        rusage use{};
        while (wait4(pid, &status, WNOHANG, &use) == 0) {
            ownKb = std::max(ownKb, highWaterKb(pid));
            usleep(20000);
        }
        std::printf("%5d x %-6d %9.1f %12.0f %14.0f %10.2f %6d\n", side, side, QFile(jpg).size() / 1e6, ownKb / 1024.0,
                    use.ru_maxrss / 1024.0, t.elapsed() / 1000.0,
                    WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status));
        QFile::remove(jpg);
        QFile::remove(dir.filePath("New PDF Document.pdf"));
    }
    return 0;
}
