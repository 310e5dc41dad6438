// JPEGs kept as they are: velunor-convert at quality 100, where every photo
// keeps its own coded data, against img2pdf, which embeds JPEGs unchanged.
// Time and document bytes on Debian's mate-backgrounds photos. Prints
// figures; judges nothing.
#include "engine/picture/JpegFacts.h"
#include "LoadAverage.h"
#include "MatePhotos.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>

namespace {

struct Run {
    double seconds = 1e9;
    qint64 bytes = 0;
    bool ok = false;
};

// Runs the program to completion, its output thrown away; wall time and
// the size of the document it wrote.
Run measure(const QString& program, const QStringList& args, const QString& document)
{
    QFile::remove(document);
    QProcess p;
    p.setStandardOutputFile(QProcess::nullDevice());
    p.setStandardErrorFile(QProcess::nullDevice());
    QElapsedTimer t;
    t.start();
    p.start(program, args);
    const bool finished = p.waitForFinished(600000);
    Run r;
    r.seconds = double(t.nsecsElapsed()) / 1e9;
    r.ok = finished && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0 && QFileInfo::exists(document);
    r.bytes = QFileInfo(document).size();
    return r;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    const QString program = QCoreApplication::applicationDirPath() + "/velunor-convert";
    if (!QFileInfo(program).isExecutable()) {
        std::fprintf(stderr, "velunor-convert not built at %s\n", qPrintable(program));
        return 1;
    }
    if (matePhotos(24).size() < 24) {
        std::fprintf(stderr, "the photos of mate-backgrounds are missing\n");
        return 1;
    }
    QTemporaryDir tmp;
    qputenv("XDG_CACHE_HOME", QFile::encodeName(tmp.path() + "/cache"));
    const QString out = tmp.path();
    auto ours = [&](const QStringList& pics) {
        return measure(program, QStringList{"-y", "-q", "100", "-o", out, "-t", "bench"} + pics, out + "/bench.pdf");
    };
    auto img2pdf = [&](const QStringList& pics) {
        return measure("img2pdf", pics + QStringList{"-o", out + "/img2pdf.pdf"}, out + "/img2pdf.pdf");
    };
    qint64 sources = 0;
    for (const QString& p : matePhotos(24))
        sources += QFileInfo(p).size();

    ours(matePhotos(2)); // warm the file cache, unmeasured
    img2pdf(matePhotos(2));
    std::printf("velunor-convert -q 100 against img2pdf; best of the rounds, taken in turn\n");
    printLoad("before");
    std::printf("  %-8s %-16s %8s %12s %-16s %8s %12s %7s %7s\n", "photos", "", "wall", "bytes", "", "wall", "bytes",
                "time", "bytes");
    for (int n : {1, 24, 200}) {
        const QStringList pics = matePhotos(n);
        Run a, b;
        for (int round = 0; round < (n > 24 ? 2 : 5); ++round) {
            const Run x = ours(pics), y = img2pdf(pics);
            if (x.ok && x.seconds < a.seconds)
                a = x;
            if (y.ok && y.seconds < b.seconds)
                b = y;
        }
        std::printf("  %-8d %-16s %7.2fs %12lld %-16s %7.2fs %12lld %6.2fx %6.3fx%s\n", n, "velunor-convert", a.seconds,
                    (long long)a.bytes, "img2pdf", b.seconds, (long long)b.bytes, a.seconds / b.seconds,
                    double(a.bytes) / double(std::max<qint64>(1, b.bytes)), a.ok && b.ok ? "" : "  (FAILED)");
    }
    printLoad("after");
    std::printf("  the 24 photos' files: %lld bytes; targets for 24 and 200: time <= 2.5x, bytes <= 1.02x\n",
                (long long)sources);
    // Which photos a lower quality keeps: their own quality, as estimated.
    std::printf("\nThe photos' own quality (estimated from their luminance tables; kept at or above it)\n ");
    for (const QString& p : matePhotos(12)) {
        QFile f(p);
        const JpegFacts facts = f.open(QIODevice::ReadOnly) ? JpegFacts::Of(f.readAll()) : JpegFacts();
        std::printf(" %s %d%s", qPrintable(QFileInfo(p).baseName()), facts.quality, facts.Passable() ? "" : " (not passable)");
    }
    std::printf("\n");
    return 0;
}
