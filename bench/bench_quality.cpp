// Page bytes and fidelity (PSNR of the stored picture against the source
// pixels) at qualities 10, 50, 85, 95 and 100, beside GraphicsMagick's
// `gm convert picture -quality Q page.pdf`, for the mate-backgrounds photos,
// a flat picture (the window's screenshot) and a scan (a grey text page made
// here). The stored pictures are read back with poppler's pdfimages.
//
// Usage: bench_quality [flat.png]
#include "BenchPageMaker.h"

#include "engine/job/PageMaker.h"
#include "engine/picture/PictureReader.h"
#include "engine/job/WorkFolders.h"
#include "platform/MessageSink.h"
#include "MatePhotos.h"

#include <FreeImage.h>
#include <QDir>
#include <QFileInfo>
#include <QFont>
#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <cmath>
#include <cstdio>
#include <random>
#include <vector>

namespace {

// A picture as 24-bit RGB, top row first.
struct Pixels {
    int w = 0, h = 0;
    std::vector<unsigned char> rgb;
};

Pixels decoded(const QString& path)
{
    QString error;
    FiBitmap dib = PictureReader::Read(path, FIF_UNKNOWN, &error);
    if (dib)
        dib = PictureReader::Normalise(std::move(dib), &error);
    Pixels p;
    if (!dib)
        return p;
    FiBitmap rgb(FreeImage_ConvertTo24Bits(dib.get()));
    p.w = int(FreeImage_GetWidth(rgb.get()));
    p.h = int(FreeImage_GetHeight(rgb.get()));
    p.rgb.resize(size_t(p.w) * p.h * 3);
    for (int y = 0; y < p.h; ++y) {
        const BYTE* line = FreeImage_GetScanLine(rgb.get(), p.h - 1 - y);
        for (int x = 0; x < p.w; ++x) {
            unsigned char* o = &p.rgb[(size_t(y) * p.w + x) * 3];
            o[0] = line[3 * x + FI_RGBA_RED];
            o[1] = line[3 * x + FI_RGBA_GREEN];
            o[2] = line[3 * x + FI_RGBA_BLUE];
        }
    }
    return p;
}

// Squared error summed over every sample of the page's stored picture, and
// the number of samples; false when it cannot be read or differs in size.
bool pageError(const QString& pdf, const Pixels& source, double* sum, double* samples)
{
    QTemporaryDir dir;
    QProcess p;
    p.start("pdfimages", {"-png", "-f", "1", "-l", "1", pdf, dir.filePath("im")});
    if (!p.waitForFinished(120000) || p.exitCode() != 0)
        return false;
    const Pixels stored = decoded(dir.filePath("im-000.png"));
    if (stored.w != source.w || stored.h != source.h)
        return false;
    double s = 0;
    for (size_t i = 0; i < stored.rgb.size(); ++i) {
        const double d = double(stored.rgb[i]) - source.rgb[i];
        s += d * d;
    }
    *sum += s;
    *samples += double(stored.rgb.size());
    return true;
}

QString psnr(double sum, double samples)
{
    if (samples <= 0)
        return "-";
    if (sum == 0)
        return "exact";
    return QString::number(10 * std::log10(255.0 * 255.0 * samples / sum), 'f', 2);
}

// A grey page of text as a 200-dpi scanner gives it: off-white paper, ink
// that is not quite black, sensor noise.
QString makeScan(const QString& path)
{
    QImage page(1169, 1654, QImage::Format_Grayscale8); // A5 at 200 dpi
    page.fill(QColor(236, 236, 232));
    QPainter p(&page);
    p.setRenderHint(QPainter::TextAntialiasing);
    p.setPen(QColor(40, 40, 40));
    p.setFont(QFont("DejaVu Serif", 11));
    const QString text = "The quick brown fox jumps over the lazy dog; pack my box with five dozen liquor jugs.";
    for (int line = 0; line < 50; ++line)
        p.drawText(110, 160 + 28 * line, text.mid(line % 7, 70));
    p.setFont(QFont("DejaVu Sans", 20, QFont::Bold));
    p.drawText(110, 110, "Minutes of the meeting");
    p.end();
    std::mt19937 rng(11);
    std::normal_distribution<double> noise(0, 3);
    for (int y = 0; y < page.height(); ++y) {
        uchar* line = page.scanLine(y);
        for (int x = 0; x < page.width(); ++x)
            line[x] = uchar(std::clamp(line[x] + noise(rng), 0.0, 255.0));
    }
    page.save(path);
    return path;
}

struct Totals {
    qint64 bytes = 0;
    double sum = 0, samples = 0;
};

} // namespace

int main(int argc, char** argv)
{
    QGuiApplication app(argc, argv); // fonts for the scan
    const QString gm = QStandardPaths::findExecutable("gm");
    QTemporaryDir tmp;
    QString flat = app.arguments().value(1);
    if (flat.isEmpty()) {
        for (const QString& candidate : {QString(VELUNOR_SOURCE_DIR "/docs/screenshot-filled.png")})
            if (QFileInfo::exists(candidate))
                flat = candidate;
    }
    const QStringList photos = matePhotos();
    const struct Set {
        const char* name;
        QStringList pictures;
    } sets[] = {{"photos (12)", photos}, {"flat", flat.isEmpty() ? QStringList() : QStringList{flat}},
                {"scan", {makeScan(tmp.filePath("scan.png"))}}};

    BenchPageMaker bench(tmp.path(), [] {});
    const WorkFolders& folders = bench.folders;
    PageMaker& maker = bench.maker;

    std::printf("Page bytes (summed over the set) and PSNR in dB of the stored picture (over all its samples),\n"
                "ours beside gm convert -quality Q. \"exact\": every pixel as in the source.\n\n");
    std::printf("%-12s %4s %12s %8s %12s %8s %7s\n", "pictures", "q", "ours bytes", "PSNR", "gm bytes", "PSNR",
                "ours/gm");
    for (const Set& set : sets) {
        if (set.pictures.isEmpty())
            continue;
        std::vector<Pixels> sources;
        for (const QString& pic : set.pictures)
            sources.push_back(decoded(pic));
        for (int q : {10, 50, 85, 95, 100}) {
            Totals ours, theirs;
            for (int i = 0; i < set.pictures.size(); ++i) {
                if (!maker.MakePage(0, set.pictures[i], q).ok())
                    continue;
                ours.bytes += QFileInfo(folders.pageFile(0)).size();
                pageError(folders.pageFile(0), sources[size_t(i)], &ours.sum, &ours.samples);
                if (gm.isEmpty())
                    continue;
                const QString out = tmp.filePath("gm.pdf");
                QProcess p;
                p.start(gm, {"convert", set.pictures[i], "-quality", QString::number(q), out});
                if (p.waitForFinished(120000) && p.exitCode() == 0) {
                    theirs.bytes += QFileInfo(out).size();
                    pageError(out, sources[size_t(i)], &theirs.sum, &theirs.samples);
                }
            }
            std::printf("%-12s %4d %12lld %8s %12lld %8s %7.3f\n", set.name, q, ours.bytes,
                        qPrintable(psnr(ours.sum, ours.samples)), theirs.bytes,
                        qPrintable(psnr(theirs.sum, theirs.samples)),
                        theirs.bytes ? double(ours.bytes) / double(theirs.bytes) : 0.0);
            std::fflush(stdout);
        }
    }
    return 0;
}
