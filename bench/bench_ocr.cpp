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
#include <QHash>
#include <QProcess>
#include <QTemporaryDir>
#include <QFileInfo>
#include <QPainter>
#include <QRegularExpression>
#include <QStandardPaths>
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
#include <zlib.h>

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

// Times the text of a two-column page jumps from one column to the other,
// in the order `text` gives its words (1 when read column after column,
// about two a line when the columns are read line by line across). A read
// word is placed by the three words it starts, where they stand once on the
// page: "the" is everywhere, three words in a row are rarely there twice.
// `middle`: between the columns, in the drawn boxes' pixels.
int columnJumps(const QVector<textpage::DrawnWord>& drawn, const QString& text, double middle)
{
    QHash<QString, QList<int>> where;
    for (int i = 0; i + 2 < drawn.size(); ++i)
        where[drawn[i].text + ' ' + drawn[i + 1].text + ' ' + drawn[i + 2].text].append(i);
    const QStringList read = text.split(QRegularExpression(QStringLiteral("\\s+")), Qt::SkipEmptyParts);
    int jumps = 0, last = -1;
    for (int j = 0; j + 2 < read.size(); ++j) {
        const auto it = where.constFind(read[j] + ' ' + read[j + 1] + ' ' + read[j + 2]);
        if (it == where.constEnd() || it->size() != 1)
            continue;
        const int column = drawn[it->first()].box.center().x() < middle ? 0 : 1;
        jumps += last >= 0 && column != last;
        last = column;
    }
    return jumps;
}

QString pdfinfoField(const QString& pdf, const QString& field)
{
    const QRegularExpressionMatch m = QRegularExpression("^" + field + ":\\s+(.*)$", QRegularExpression::MultilineOption)
                                          .match(output("pdfinfo", {pdf}));
    return m.captured(1).trimmed();
}

void eightPages(const QString& bin, const QString& root, const QString& picture);

// The scans side by side with Tesseract's program, in one run.
void scans(const QString& bin, const QString& root)
{
    std::printf("Scanned pages (A4 at 300 dpi unless said), ours (velunor-convert --ocr eng) beside the tesseract "
                "program on the same picture, one run each:\n\n"
                "| page | ours: words found in order | ours: column jumps (text layer's order / pdftotext's) "
                "| ours: shown turned | ours, s | tesseract: words found | tesseract: column jumps (same) | tesseract, s |\n|---|---|---|---|---|---|---|---|\n");
    struct Scan {
        const char* name;
        int columns;
        double turn;
        QStringList options;
    };
    int row = 0;
    for (const Scan& c : {Scan{"two columns", 2, 0, {}}, Scan{"sideways (90°)", 1, 90, {}},
                          Scan{"upside down", 1, 180, {}}, Scan{"skewed 2°", 1, 2, {}},
                          Scan{"skewed 2°, --deskew", 1, 2, {"--deskew"}}, Scan{"skewed 5°", 1, 5, {}},
                          Scan{"skewed 5°, --deskew", 1, 5, {"--deskew"}}}) {
        QVector<textpage::DrawnWord> words;
        const QImage page = textpage::drawPage(300, &words, c.columns, c.columns > 1 ? 12 : 11);
        // Each row's files kept apart, to be looked at.
        const QString name = "scan" + QString::number(++row), picture = root + "/" + name + ".png",
                      ourPdf = root + "/" + name + ".pdf", tessPdf = root + "/" + name + "-tess.pdf";
        textpage::turned(page, c.turn).save(picture);
        const Timed ours = timedRun(QStringList{bin + "/velunor-convert", "-y", "-o", root, "-t", name, "--ocr", "eng"} +
                                    c.options + QStringList{picture});
        const Timed tess = timedRun({"tesseract", picture, root + "/" + name + "-tess", "-l", "eng", "-c", "textonly_pdf=1", "pdf"});
        const QString ourRaw = output("pdftotext", {"-raw", ourPdf, "-"});
        const QString tessRaw = output("pdftotext", {"-raw", tessPdf, "-"});
        const textpage::Score o = textpage::score(words, ourRaw, {}, 1);
        const textpage::Score t = textpage::score(words, tessRaw, {}, 1);
        // Jumps in the text layer's own order, and in the order poppler's
        // layout analysis puts its words (pdftotext without -raw).
        const double middle = page.width() / 2.0;
        const auto jumps = [&](const QString& raw, const QString& pdf) {
            return c.columns < 2 ? QString()
                                 : QString("%1 / %2").arg(columnJumps(words, raw, middle))
                                       .arg(columnJumps(words, output("pdftotext", {pdf, "-"}), middle));
        };
        std::printf("| %s | %.1f%% | %s | %s | %.2f | %.1f%% | %s | %.2f |\n", c.name, 100.0 * o.found / o.expected,
                    qPrintable(jumps(ourRaw, ourPdf)), qPrintable(pdfinfoField(ourPdf, "Page rot") + "°"),
                    ours.exit == 0 ? ours.wall : -1, 100.0 * t.found / t.expected, qPrintable(jumps(tessRaw, tessPdf)),
                    tess.exit == 0 ? tess.wall : -1);
        std::fflush(stdout);
    }

    // The paper size the file states.
    QVector<textpage::DrawnWord> words;
    const QImage a4 = textpage::drawPage(300, &words);
    a4.save(root + "/a4.png");
    for (const char* size : {"picture", "native"}) {
        timedRun({bin + "/velunor-convert", "-y", "-o", root, "-t", "a4", "--page-size", size, root + "/a4.png"});
        std::printf("\nA 300-dpi A4 scan (2480 x 3508 pixels) with --page-size %s: %s pt", size,
                    qPrintable(pdfinfoField(root + "/a4.pdf", "Page size")));
    }

    // A bilevel page: Group 4 against the Flate of its bits that the page
    // had before (zlib at its default level, as the writer used it).
    const QImage mono = a4.convertToFormat(QImage::Format_Mono, Qt::ThresholdDither);
    mono.save(root + "/mono.png");
    timedRun({bin + "/velunor-convert", "-y", "-o", root, "-t", "mono", root + "/mono.png"});
    QByteArray bits;
    for (int y = 0; y < mono.height(); ++y) {
        QByteArray row(reinterpret_cast<const char*>(mono.constScanLine(y)), (mono.width() + 7) / 8);
        if (mono.color(0) == qRgb(255, 255, 255)) // ours are stored 1 = white; only the runs matter
            for (char& ch : row)
                ch = char(~ch);
        bits += row;
    }
    uLongf flate = compressBound(uLong(bits.size()));
    QByteArray coded(int(flate), 0);
    compress(reinterpret_cast<Bytef*>(coded.data()), &flate, reinterpret_cast<const Bytef*>(bits.constData()),
             uLong(bits.size()));
    QString list = output("pdfimages", {"-list", root + "/mono.pdf"}).trimmed().section('\n', -1);
    const QStringList cols = list.split(QRegularExpression("\\s+"), Qt::SkipEmptyParts);
    output("pdfimages", {"-png", root + "/mono.pdf", root + "/mono-img"});
    const bool exact = QImage(root + "/mono-img-000.png").convertToFormat(QImage::Format_Grayscale8) ==
                       mono.convertToFormat(QImage::Format_Grayscale8);
    std::printf("\n\nA bilevel A4 page at 300 dpi: %s, stream %s; Flate of its bits %lu bytes; document %lld bytes; "
                "poppler's decoded pixels %s\n\n",
                qPrintable(cols.value(8)), qPrintable(cols.value(14)), static_cast<unsigned long>(flate),
                static_cast<long long>(QFileInfo(root + "/mono.pdf").size()), exact ? "exact" : "NOT exact");

    eightPages(bin, root, root + "/a4.png");
}

// The 8-page job with text, side by side in one run: ours (two readers);
// ours with one reader, from a velunor-convert built before the second
// (VELUNOR_ONE_READER names it); Tesseract's program page after page; and
// OCRmyPDF over the pictures made one PDF by img2pdf, told to do what we
// do: a plain PDF, English, pages turned by their text, both cores.
void eightPages(const QString& bin, const QString& root, const QString& picture)
{
    QStringList pages;
    for (int k = 0; k < 8; ++k)
        pages << picture;
    const QStringList ours = QStringList{"-y", "-o", root, "-t", "eight", "--ocr", "eng"} + pages;
    const QString oneReader = qEnvironmentVariable("VELUNOR_ONE_READER");
    const bool peerThere = !QStandardPaths::findExecutable("ocrmypdf").isEmpty() &&
                           !QStandardPaths::findExecutable("img2pdf").isEmpty();
    // Best of 2 rounds, the four runs taken in turn, so that a change of
    // the machine's load falls on all of them alike.
    const auto best = [](Timed* kept, const Timed& t) {
        if (t.exit == 0 && (kept->exit != 0 || t.wall < kept->wall))
            *kept = t;
    };
    Timed job, one, tess, peer;
    for (int round = 0; round < 2; ++round) {
        best(&job, timedRun(QStringList{bin + "/velunor-convert"} + ours));
        if (!oneReader.isEmpty())
            best(&one, timedRun(QStringList{oneReader} + ours));
        Timed sequential;
        sequential.exit = 0;
        for (const QString& p : pages) {
            const Timed page = timedRun({"tesseract", p, root + "/tess", "-l", "eng", "-c", "textonly_pdf=1", "pdf"});
            sequential.wall += page.wall;
            sequential.exit = page.exit != 0 ? page.exit : sequential.exit;
        }
        best(&tess, sequential);
        if (peerThere) {
            const Timed join = timedRun(QStringList{"img2pdf", "-o", root + "/eight-in.pdf"} + pages);
            Timed ocr = timedRun({"ocrmypdf", "--output-type", "pdf", "-l", "eng", "--rotate-pages", "--jobs", "2",
                                  root + "/eight-in.pdf", root + "/eight-ocrmypdf.pdf"});
            ocr.wall += join.wall;
            ocr.exit = join.exit != 0 ? join.exit : ocr.exit;
            best(&peer, ocr);
        }
    }
    const auto seconds = [](const Timed& t) { return t.exit == 0 ? QString::number(t.wall, 'f', 1) + " s" : QString("failed"); };
    std::printf("8-page job with text (A4 at 300 dpi), best of 2 rounds:\n\n| run | wall | ours / it |\n|---|---|---|\n");
    std::printf("| ours, two readers | %s | |\n", qPrintable(seconds(job)));
    std::printf("| ours, one reader (the build before the second) | %s | %s |\n",
                oneReader.isEmpty() ? "not given (VELUNOR_ONE_READER)" : qPrintable(seconds(one)),
                one.exit == 0 ? qPrintable(QString::number(job.wall / one.wall, 'f', 2) + "x") : "");
    std::printf("| tesseract program, page after page | %s | %s |\n", qPrintable(seconds(tess)),
                tess.exit == 0 ? qPrintable(QString::number(job.wall / tess.wall, 'f', 2) + "x") : "");
    std::printf("| ocrmypdf --output-type pdf -l eng --rotate-pages --jobs 2, after img2pdf | %s | %s |\n\n",
                peerThere ? qPrintable(seconds(peer)) : "not installed",
                peer.exit == 0 ? qPrintable(QString::number(job.wall / peer.wall, 'f', 2) + "x") : "");
    std::fflush(stdout);
}

} // namespace

int main(int argc, char** argv)
{
    QGuiApplication app(argc, argv);
    const QString bin = QCoreApplication::applicationDirPath();
    // A folder given on the command line keeps the pictures and documents.
    QTemporaryDir tmp;
    const QString root = argc > 1 ? QString::fromLocal8Bit(argv[1]) : tmp.path();
    QFile load("/proc/loadavg");
    load.open(QIODevice::ReadOnly);
    std::printf("load average: %s\n", load.readAll().trimmed().constData());
    // "scans" stops after the scans and the 8-page job; "eight" runs the job alone.
    if (argc > 2 && QByteArray(argv[2]) == "eight") {
        QVector<textpage::DrawnWord> words;
        textpage::drawPage(300, &words).save(root + "/a4.png");
        eightPages(bin, root, root + "/a4.png");
    } else {
        scans(bin, root);
    }
    load.close();
    load.open(QIODevice::ReadOnly);
    std::printf("load average at the end: %s\n", load.readAll().trimmed().constData());
    if (argc > 2 && (QByteArray(argv[2]) == "scans" || QByteArray(argv[2]) == "eight"))
        return 0;

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
