// Page maker speed on real photos, against the floor (FreeImage decode plus
// libjpeg-turbo encode of the same pixels, no BMP and no PDF) and against
// GraphicsMagick's `gm convert photo.jpg -quality 85 page.pdf`; then the cost
// of decoding in the velunor-decode helper rather than in process; then the
// decode time and page time of the kinds read beside the design's (HEIC,
// AVIF, WebP, JPEG XL), the first photo made into each by its own encoder
// (AVIF in grey too). First of all, how HEIC and AVIF grid bombs are refused.
//
// Usage: bench_pagemaker [photo.jpg ...]   (default: the mate-backgrounds photos)
#include "BenchPageMaker.h"
#include "engine/picture/DecodeStep.h"
#include "engine/picture/DecoderProcess.h"
#include "engine/pdf/JpegEncoder.h"
#include "engine/job/PageMaker.h"
#include "engine/picture/PictureReader.h"
#include "engine/job/WorkFolders.h"
#include "platform/MessageSink.h"
#include "platform/MemoryTuning.h"
#include "HeifGridBomb.h"
#include "MatePhotos.h"

#include <FreeImage.h>
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

double best(const std::vector<double>& v) { return v.empty() ? 0 : *std::min_element(v.begin(), v.end()); }

// This process's CPU time in ms: what a page costs us, whatever else the
// machine runs meanwhile.
double cpuMs()
{
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return t.tv_sec * 1e3 + t.tv_nsec / 1e6;
}

double floorOnce(const QString& photo, int quality, qint64* bytes)
{
    QElapsedTimer t;
    t.start();
    // The decode flags the page maker uses for JPEG (it reads the Exif
    // orientation itself, FreeImage never sees the Exif block).
    FIBITMAP* dib = FreeImage_Load(FIF_JPEG, QFile::encodeName(photo).constData(), JPEG_ACCURATE);
    if (!dib)
        return -1;
    JpegEncoder enc;
    const bool ok = enc.Encode(FreeImage_GetBits(dib), int(FreeImage_GetWidth(dib)), int(FreeImage_GetPitch(dib)),
                               int(FreeImage_GetHeight(dib)), JpegEncoder::Pixels::Bgr, quality, true);
    *bytes = qint64(enc.Size());
    FreeImage_Unload(dib);
    return ok ? t.nsecsElapsed() / 1e6 : -1;
}

double gmOnce(const QString& gm, const QString& photo, const QString& out, int quality)
{
    QElapsedTimer t;
    t.start();
    QProcess p;
    p.start(gm, {"convert", photo, "-quality", QString::number(quality), out});
    if (!p.waitForFinished(120000) || p.exitCode() != 0)
        return -1;
    return t.nsecsElapsed() / 1e6;
}

double childrenCpuMs()
{
    rusage u{};
    getrusage(RUSAGE_CHILDREN, &u);
    return (u.ru_utime.tv_sec + u.ru_stime.tv_sec) * 1e3 + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e3;
}

// Best of `reps` runs of the decode step on `picture`, in the helper or
// here: wall time, and CPU time (ours and the helper's) in *cpu.
double decodeStepOnce(DecoderProcess* helper, const QString& picture, const QString& bitmap, int reps, double* cpu)
{
    std::vector<double> t, c;
    for (int r = 0; r < reps; ++r) {
        const double c0 = cpuMs() + childrenCpuMs();
        QElapsedTimer clock;
        clock.start();
        int w = 0, h = 0;
        QString error;
        const bool ok = helper ? helper->Run(picture, FIF_PNG, bitmap, &w, &h, &error)
                               : DecodeStep::WriteTempBitmap(picture, FIF_PNG, bitmap, &w, &h, &error);
        if (!ok) {
            std::fprintf(stderr, "%s\n", qPrintable(error));
            return -1;
        }
        t.push_back(clock.nsecsElapsed() / 1e6);
        c.push_back(cpuMs() + childrenCpuMs() - c0);
    }
    *cpu = best(c);
    return best(t);
}

// What a page costs more when its picture is decoded in the helper: the
// same decode step there and in process, on a tiny PNG and on a photo
// written as PNG.
void helperCost(const QString& photo, const QTemporaryDir& tmp)
{
    const QString tiny = tmp.filePath("tiny.png"), big = tmp.filePath("photo.png"), bitmap = tmp.filePath("h.bmp");
    FIBITMAP* dib = FreeImage_Allocate(64, 64, 24);
    FreeImage_Save(FIF_PNG, dib, QFile::encodeName(tiny).constData(), 0);
    FreeImage_Unload(dib);
    dib = FreeImage_Load(FIF_JPEG, QFile::encodeName(photo).constData(), 0);
    FreeImage_Save(FIF_PNG, dib, QFile::encodeName(big).constData(), PNG_Z_BEST_SPEED);
    const unsigned w = FreeImage_GetWidth(dib), h = FreeImage_GetHeight(dib);
    FreeImage_Unload(dib);
    std::printf("\nDecoding in the velunor-decode helper, best of 15 on one helper (as a job does), and a first\n"
                "picture on a fresh helper (its start), ms of wall time:\n"
                "%-22s %8s %8s %8s %8s\n", "picture", "helper", "here", "cost", "first");
    const struct {
        QString path;
        QString name;
    } cases[] = {{tiny, "64x64 PNG"}, {big, QString("%1x%2 PNG (photo)").arg(w).arg(h)}};
    for (const auto& c : cases) {
        double cpuHelper = 0, cpuHere = 0, cpuFirst = 0;
        DecoderProcess helper(YieldEvents);
        const double first = decodeStepOnce(&helper, c.path, bitmap, 1, &cpuFirst);
        const double inHelper = decodeStepOnce(&helper, c.path, bitmap, 15, &cpuHelper);
        const double here = decodeStepOnce(nullptr, c.path, bitmap, 15, &cpuHere);
        std::printf("%-22s %8.2f %8.2f %8.2f %8.2f\n", qPrintable(c.name), inHelper, here, inHelper - here, first);
    }
    std::printf("The helper starts once a job; each picture that is not a JPEG then costs one round trip.\n");
}

// The first photo in each newer kind, made by the kind's own encoder: the
// decode step in the helper (where they are decoded; one helper, as a job
// has) and the whole page, best of 5, beside the same photo as PNG.
void newKinds(const QString& photo, const QTemporaryDir& tmp, PageMaker& maker, const WorkFolders& folders)
{
    const QString png = tmp.filePath("kinds.png"), bitmap = tmp.filePath("k.bmp");
    FIBITMAP* dib = FreeImage_Load(FIF_JPEG, QFile::encodeName(photo).constData(), 0);
    FreeImage_Save(FIF_PNG, dib, QFile::encodeName(png).constData(), PNG_Z_BEST_SPEED);
    const unsigned w = FreeImage_GetWidth(dib), h = FreeImage_GetHeight(dib);
    FreeImage_Unload(dib);
    const struct {
        const char* name;
        const char* file;
        QStringList make; // program, arguments; %in and %out
    } kinds[] = {
        {"PNG (for comparison)", "k.png", {"cp", "%in", "%out"}},
        {"HEIC q85", "k.heic", {"heif-enc", "-q", "85", "%in", "-o", "%out"}},
        {"AVIF 8-bit q18-24", "k8.avif", {"avifenc", "--min", "18", "--max", "24", "%in", "%out"}},
        {"AVIF 10-bit q18-24", "k10.avif", {"avifenc", "-d", "10", "--min", "18", "--max", "24", "%in", "%out"}},
        {"AVIF grey q18-24", "kg.avif", {"avifenc", "--yuv", "400", "--min", "18", "--max", "24", "%in", "%out"}},
        {"WebP lossy q85", "k.webp", {"cwebp", "-quiet", "-q", "85", "%in", "-o", "%out"}},
        {"WebP lossless", "kl.webp", {"cwebp", "-quiet", "-lossless", "%in", "-o", "%out"}},
        {"JPEG XL d1", "k.jxl", {"cjxl", "%in", "%out", "-d", "1"}},
        {"JPEG XL lossless", "kl.jxl", {"cjxl", "%in", "%out", "-d", "0", "-e", "3"}},
    };
    std::printf("\nNewer kinds, the first photo (%ux%u) made by each kind's encoder; best of 5, ms:\n"
                "%-22s %9s %9s %9s %11s %9s %10s\n",
                w, h, "kind", "file KB", "decode", "page", "decode CPU", "page CPU", "both CPU");
    DecoderProcess helper(YieldEvents);
    for (const auto& k : kinds) {
        const QString file = tmp.filePath(k.file);
        QStringList args = k.make.mid(1);
        args.replaceInStrings("%in", png).replaceInStrings("%out", file);
        QProcess p;
        p.start(k.make.first(), args);
        if (!p.waitForFinished(600000) || p.exitCode() != 0) {
            std::printf("%-22s (%s is missing or failed)\n", k.name, qPrintable(k.make.first()));
            continue;
        }
        double cpu = 0, decodeCpu = 0;
        std::vector<double> pageT, pageC;
        const double decode = decodeStepOnce(&helper, file, bitmap, 5, &cpu);
        decodeStepOnce(nullptr, file, bitmap, 5, &decodeCpu); // the helper's work, measured here
        for (int r = 0; r < 5; ++r) {
            QElapsedTimer t;
            t.start();
            const double c = cpuMs();
            const PageResult res = maker.MakePage(0, file, 85);
            pageT.push_back(res.ok() ? t.nsecsElapsed() / 1e6 : -1);
            pageC.push_back(cpuMs() - c);
        }
        // Page CPU: this process alone (the job's helper lives on), the
        // page's coding, whatever else the machine runs; the decode's CPU is
        // the same decode step run here.
        std::printf("%-22s %9lld %9.1f %9.1f %11.1f %9.1f %10.1f\n", k.name, QFileInfo(file).size() / 1024, decode,
                    best(pageT), decodeCpu, best(pageC), decodeCpu + best(pageC));
        QFile::remove(folders.pageFile(0));
    }
    std::printf("decode: the decode step in velunor-decode, on one helper as a job runs it (its start apart);\n"
                "page: the whole page at quality 85; CPU: best of 5, the decode step's in this process.\n");
}

// A 2 x 2 grid of 128-pixel AVIF tiles whose grid asks for 20,000 x
// 20,000 pixels (its size box says 256 x 256), through the helper as a job
// runs it: how long its refusal takes and the most memory it held.
// The AVIF grid: avifenc's 2 x 2 grid of 128-pixel tiles, its grid made
// to ask for 20,000 x 20,000.
QByteArray avifGridBomb(const QTemporaryDir& tmp)
{
    const QString png = tmp.filePath("tiles.png"), avif = tmp.filePath("grid.avif");
    QProcess p;
    p.start("sh", {"-c", QString("convert -size 256x256 gradient: '%1' && avifenc --grid 2x2 '%1' '%2'").arg(png, avif)});
    QFile f(avif);
    if (!p.waitForFinished(120000) || p.exitCode() != 0 || !f.open(QIODevice::ReadOnly))
        return {};
    QByteArray b = f.readAll();
    const qsizetype at = b.indexOf(QByteArray("\0\0\x01\x01\x01\0\x01\0", 8)); // 2 x 2, 256 x 256
    return at < 0 ? QByteArray() : b.replace(at + 4, 4, QByteArray("\x4E\x20\x4E\x20", 4));
}

// How soon, and in how little memory, the decoding helper refuses grid
// bombs: each runs in a helper of its own, its peak memory its own.
void gridBombs(const QTemporaryDir& tmp)
{
    const struct {
        const char* name;
        QByteArray bytes;
    } bombs[] = {{"heic", heifgrid::make(tmp.path(), 20000, 20000)}, {"avif", avifGridBomb(tmp)}};
    for (const auto& bomb : bombs) {
        const QString path = tmp.filePath(QString("bomb.") + bomb.name), said = tmp.filePath("said.txt");
        QFile f(path);
        if (bomb.bytes.isEmpty() || !f.open(QIODevice::WriteOnly) || f.write(bomb.bytes) != bomb.bytes.size()) {
            std::printf("Grid bomb (%s): its encoder is missing or failed\n\n", bomb.name);
            continue;
        }
        f.close();
        const QList<QByteArray> args = {QFile::encodeName(DecoderProcess::Defaults().program), "--parent",
                                        QByteArray::number(QCoreApplication::applicationPid()), "--memory-limit",
                                        "1500000000", "1002", QFile::encodeName(path),
                                        QFile::encodeName(tmp.filePath("bomb.bmp"))};
        std::vector<char*> argv;
        for (const QByteArray& a : args)
            argv.push_back(const_cast<char*>(a.constData()));
        argv.push_back(nullptr);
        posix_spawn_file_actions_t out;
        posix_spawn_file_actions_init(&out);
        posix_spawn_file_actions_addopen(&out, 1, QFile::encodeName(said).constData(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        QElapsedTimer clock;
        clock.start();
        pid_t pid = 0;
        int status = 0;
        rusage u{};
        const bool ran = posix_spawn(&pid, argv[0], &out, nullptr, argv.data(), environ) == 0 && wait4(pid, &status, 0, &u) == pid;
        const double ms = clock.nsecsElapsed() / 1e6;
        posix_spawn_file_actions_destroy(&out);
        QFile reason(said);
        reason.open(QIODevice::ReadOnly);
        std::printf("Grid bomb (%s, %lld bytes, a 2 x 2 grid of 128-pixel tiles asking for 20,000 x 20,000, size box "
                    "256 x 256): %s %d after %.0f ms, at most %.1f MB\n  %s\n\n",
                    bomb.name, qint64(bomb.bytes.size()), ran ? "exit" : "not run", WEXITSTATUS(status), ms,
                    u.ru_maxrss / 1024.0, reason.readAll().trimmed().constData());
    }
}

} // namespace

int main(int argc, char** argv)
{
    KeepPageMemoryFlat(); // as both programs run
    QCoreApplication app(argc, argv);
    QStringList photos = app.arguments().mid(1);
    if (photos.isEmpty())
        photos = matePhotos();
    if (photos.isEmpty()) {
        std::fprintf(stderr, "No photos: install mate-backgrounds or name JPEG files.\n");
        return 1;
    }
    const QString gm = QStandardPaths::findExecutable("gm");
    const int quality = 85, reps = 7;

    QTemporaryDir tmp;
    gridBombs(tmp);
    BenchPageMaker bench(tmp.path(), YieldEvents);
    const WorkFolders& folders = bench.folders;
    PageMaker& maker = bench.maker;

    std::printf("Quality %d, %d runs per photo, interleaved; times in ms per page, best run\n"
                "(the machine may be shared: the best run is the least disturbed one).\n\n",
                quality, reps);
    std::printf("%-18s %11s %8s %8s %6s %8s %6s %9s %9s\n", "photo", "pixels", "floor", "page", "p/f",
                "gm", "p/gm", "page KB", "gm KB");
    double sumFloor = 0, sumPage = 0, sumGm = 0, cpuFloor = 0, cpuPage = 0;
    double medFloor = 0, medPage = 0, medGm = 0;
    qint64 largest = 0;
    for (const QString& photo : photos) {
        std::vector<double> floorT, pageT, gmT, floorC, pageC;
        qint64 jpegBytes = 0;
        const QString gmOut = tmp.filePath("gm.pdf");
        // Interleaved, so a busy moment of the machine hits all three alike.
        for (int r = 0; r < reps; ++r) {
            double c = cpuMs();
            floorT.push_back(floorOnce(photo, quality, &jpegBytes));
            floorC.push_back(cpuMs() - c);
            QElapsedTimer t;
            t.start();
            c = cpuMs();
            const PageResult res = maker.MakePage(0, photo, quality);
            pageT.push_back(res.ok() ? t.nsecsElapsed() / 1e6 : -1);
            pageC.push_back(cpuMs() - c);
            if (!res.ok())
                std::fprintf(stderr, "%s\n", qPrintable(res.message));
            if (!gm.isEmpty())
                gmT.push_back(gmOnce(gm, photo, gmOut, quality));
        }
        qint64 w = 0, h = 0;
        PictureReader::DeclaredSize(photo, FIF_JPEG, &w, &h);
        largest = std::max(largest, w * h);
        const double f = best(floorT), p = best(pageT), g = best(gmT);
        medFloor += median(floorT);
        medPage += median(pageT);
        medGm += median(gmT);
        sumFloor += f;
        sumPage += p;
        sumGm += g;
        cpuFloor += best(floorC);
        cpuPage += best(pageC);
        std::printf("%-18s %5lldx%-5lld %8.1f %8.1f %6.2f %8.1f %6.2f %9lld %9lld\n",
                    qPrintable(QFileInfo(photo).fileName().left(18)), w, h, f, p, p / f, g, g > 0 ? p / g : 0,
                    QFileInfo(folders.pageFile(0)).size() / 1024, QFileInfo(gmOut).size() / 1024);
    }
    const double n = photos.size();
    std::printf("\n%-18s %11s %8.1f %8.1f %6.2f %8.1f %6.2f\n", "mean of best", "", sumFloor / n, sumPage / n,
                sumPage / sumFloor, sumGm / n, sumGm > 0 ? sumPage / sumGm : 0);
    std::printf("%-18s %11s %8.1f %8.1f %6.2f %8.1f %6.2f\n", "mean of medians", "", medFloor / n, medPage / n,
                medPage / medFloor, medGm / n, medGm > 0 ? medPage / medGm : 0);
    std::printf("%-18s %11s %8.1f %8.1f %6.2f   (CPU time of this process)\n", "mean of best CPU", "",
                cpuFloor / n, cpuPage / n, cpuPage / cpuFloor);
    std::printf("Target: page/floor <= 1.15 and page/gm < 1.00.\n");

    rusage self{}, children{};
    getrusage(RUSAGE_SELF, &self);
    getrusage(RUSAGE_CHILDREN, &children);
    std::printf("Peak memory: this process %.1f MB (largest photo decoded: %.1f MB as 24-bit); "
                "gm %.1f MB.\n",
                self.ru_maxrss / 1024.0, largest * 3 / 1048576.0, children.ru_maxrss / 1024.0);
    helperCost(photos.first(), tmp);
    newKinds(photos.first(), tmp, maker, folders);
    return 0;
}
