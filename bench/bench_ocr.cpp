// Searchable pages: how many words of a drawn page come back through
// velunor-convert --ocr (in reading order, and in place), on a clean 300-dpi
// A4 page and on the same page photographed (grey paper, noise, turned
// 1.5 degrees, JPEG); and what the text costs beside Tesseract's own program
// on the same picture. Prints figures; judges nothing.
#include "../tests/common/TextPageSample.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QGuiApplication>
#include <QProcess>
#include <QTemporaryDir>
#include <QTransform>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fcntl.h>
#include <random>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace {

struct Timed {
    double wall = 0; // seconds
    double cpu = 0;  // user + system of the child and its children
    int exit = -1;
};

Timed timedRun(const QStringList& command)
{
    std::vector<QByteArray> args8;
    for (const QString& a : command)
        args8.push_back(QFile::encodeName(a));
    std::vector<char*> argv;
    for (QByteArray& a : args8)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&fa, 2, "/dev/null", O_WRONLY, 0);
    QElapsedTimer clock;
    clock.start();
    pid_t pid = -1;
    Timed t;
    if (posix_spawnp(&pid, argv[0], &fa, nullptr, argv.data(), environ) != 0)
        return t;
    posix_spawn_file_actions_destroy(&fa);
    int status = 0;
    rusage ru{};
    wait4(pid, &status, 0, &ru);
    t.wall = clock.nsecsElapsed() / 1e9;
    t.cpu = ru.ru_utime.tv_sec + ru.ru_utime.tv_usec / 1e6 + ru.ru_stime.tv_sec + ru.ru_stime.tv_usec / 1e6;
    t.exit = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return t;
}

QString output(const QString& program, const QStringList& args)
{
    QProcess p;
    p.start(program, args);
    p.waitForFinished(120000);
    return QString::fromUtf8(p.readAllStandardOutput());
}

// The clean page as a phone sees it: on grey paper, turned, noisy, JPEG.
QImage photographed(const QImage& clean)
{
    QImage turned = clean.transformed(QTransform().rotate(1.5), Qt::SmoothTransformation);
    QImage out(turned.size(), QImage::Format_Grayscale8);
    std::mt19937 rng(7);
    std::normal_distribution<double> noise(0.0, 14.0);
    for (int y = 0; y < out.height(); ++y) {
        const uchar* in = turned.constScanLine(y);
        uchar* o = out.scanLine(y);
        const int bpp = turned.depth() / 8;
        for (int x = 0; x < out.width(); ++x) {
            // Turning leaves transparent (black) corners: paper there.
            const int alpha = turned.hasAlphaChannel() ? qAlpha(turned.pixel(x, y)) : 255;
            const double ink = alpha == 0 ? 255.0 : in[x * bpp];
            // Paper about 200, ink about 50; a shadow across the page.
            const double paper = 205.0 - 25.0 * x / out.width();
            const double v = 50 + (ink / 255.0) * (paper - 50) + noise(rng);
            o[x] = uchar(std::clamp(v, 0.0, 255.0));
        }
    }
    return out;
}

struct Row {
    const char* name;
    QString picture;
    bool boxes;
};

} // namespace

int main(int argc, char** argv)
{
    QGuiApplication app(argc, argv);
    const QString bin = QCoreApplication::applicationDirPath();
    // A folder given on the command line keeps the pictures and documents.
    QTemporaryDir tmp;
    const QString root = argc > 1 ? QString::fromLocal8Bit(argv[1]) : tmp.path();

    QVector<textpage::DrawnWord> words;
    const QImage clean = textpage::drawPage(300, &words);
    const QString cleanPng = root + "/clean.png", photoJpg = root + "/photo.jpg";
    clean.save(cleanPng);
    // Said to be 300 dpi, as a scanning app writes it: Tesseract's program
    // misreads the same pixels said to be 96 dpi (a camera's default), which
    // velunor-ocr leaves it to estimate.
    QImage photo = photographed(clean.convertToFormat(QImage::Format_ARGB32));
    photo.setDotsPerMeterX(clean.dotsPerMeterX());
    photo.setDotsPerMeterY(clean.dotsPerMeterY());
    photo.save(photoJpg, "JPEG", 75);
    std::printf("A4 page at 300 dpi, %d words of DejaVu Sans 11 pt (2480 x 3508 pixels)\n\n", int(words.size()));
    std::printf("| picture | words found in order | in place | ours: job with --ocr minus without, s (CPU s) "
                "| tesseract program, s (CPU s) | ours / tesseract (wall, CPU) | tesseract's words found |\n|---|---|---|---|---|---|---|\n");

    for (const Row& row : {Row{"clean PNG", cleanPng, true}, Row{"photographed JPEG", photoJpg, false}}) {
        const int rounds = 3;
        double withW = 1e9, withC = 1e9, withoutW = 1e9, withoutC = 1e9, tessW = 1e9, tessC = 1e9;
        for (int r = 0; r < rounds; ++r) {
            const Timed plain = timedRun({bin + "/velunor-convert", "-y", "-o", root, "-t", "plain", row.picture});
            const Timed ocr = timedRun({bin + "/velunor-convert", "-y", "-o", root, "-t", "ocr", "--ocr", "eng", row.picture});
            const Timed tess = timedRun({"tesseract", row.picture, root + "/tess", "-l", "eng", "-c", "textonly_pdf=1", "pdf"});
            if (plain.exit != 0 || ocr.exit != 0 || tess.exit != 0) {
                std::printf("a run failed (%d %d %d)\n", plain.exit, ocr.exit, tess.exit);
                return 1;
            }
            withW = std::min(withW, ocr.wall);
            withC = std::min(withC, ocr.cpu);
            withoutW = std::min(withoutW, plain.wall);
            withoutC = std::min(withoutC, plain.cpu);
            tessW = std::min(tessW, tess.wall);
            tessC = std::min(tessC, tess.cpu);
        }
        const QString pdf = root + "/ocr.pdf";
        const QString raw = output("pdftotext", {"-raw", pdf, "-"});
        const QString bbox = output("pdftotext", {"-bbox", pdf, "-"});
        const textpage::Score s = textpage::score(words, raw, bbox, 72.0 / 200);
        const double ourW = withW - withoutW, ourC = withC - withoutC;
        const textpage::Score peer = textpage::score(words, output("pdftotext", {"-raw", root + "/tess.pdf", "-"}), {}, 1);
        std::printf("| %s | %d / %d = %.1f%% | %s | %.2f (%.2f) | %.2f (%.2f) | %.2fx, %.2fx | %.1f%% |\n", row.name, s.found,
                    s.expected, 100.0 * s.found / s.expected,
                    row.boxes ? qPrintable(QString("%1 = %2%").arg(s.inPlace).arg(100.0 * s.inPlace / std::max(1, s.found), 0, 'f', 1))
                              : "(turned)",
                    ourW, ourC, tessW, tessC, ourW / tessW, ourC / tessC, 100.0 * peer.found / peer.expected);
        std::fflush(stdout);
    }
    // A job of several pages: page i is read while page i + 1 is made.
    {
        QStringList pages;
        for (int k = 0; k < 3; ++k)
            pages << cleanPng << photoJpg;
        double withW = 1e9, withoutW = 1e9, tessW = 1e9, withC = 1e9, withoutC = 1e9, tessC = 1e9;
        for (int r = 0; r < 2; ++r) {
            const Timed plain = timedRun(QStringList{bin + "/velunor-convert", "-y", "-o", root, "-t", "plain6"} + pages);
            const Timed ocr =
                timedRun(QStringList{bin + "/velunor-convert", "-y", "-o", root, "-t", "ocr6", "--ocr", "eng"} + pages);
            Timed tess;
            tess.wall = tess.cpu = 0;
            for (const QString& picture : pages) {
                const Timed one = timedRun({"tesseract", picture, root + "/tess", "-l", "eng", "-c", "textonly_pdf=1", "pdf"});
                tess.wall += one.wall;
                tess.cpu += one.cpu;
            }
            withW = std::min(withW, ocr.wall);
            withC = std::min(withC, ocr.cpu);
            withoutW = std::min(withoutW, plain.wall);
            withoutC = std::min(withoutC, plain.cpu);
            tessW = std::min(tessW, tess.wall);
            tessC = std::min(tessC, tess.cpu);
        }
        std::printf("| 6 pages (3 clean, 3 photographed), one job | | | %.2f (%.2f) | %.2f (%.2f) | %.2fx, %.2fx | |\n",
                    withW - withoutW, withC - withoutC, tessW, tessC, (withW - withoutW) / tessW,
                    (withC - withoutC) / tessC);
        std::printf("\nThe 6-page job: %.2f s without --ocr, %.2f s with it.\n", withoutW, withW);
    }
    std::printf("\n(best of 3, of 2 for the 6-page job)\n");
    return 0;
}
