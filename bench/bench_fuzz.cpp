// Mutants of every picture format through velunor-convert, as an attacker or
// a damaged disk would hand them over: cuts (10-90% of the file) and byte
// flips (1-16 bytes anywhere past the first 8). Meant for the sanitizer
// build (build-test/bin/velunor-convert, the default beside this program is
// what it was built with). Counts per format:
//   refused     exit 1, a message on standard error
//   made        exit 0, a one-page document (flips may leave a valid picture)
//   helper      refused because the decoding helper crashed or a sanitizer
//               stopped it (a damaged picture may do that: it is the helper's
//               job to take such a fall for the program)
//   crash       any other exit, a signal, or a sanitizer report of
//               velunor-convert itself (its sanitizers exit with 86 and 87)
//   hang        no end within 240 s (the helper's own limit is 120 s: a
//               picture that holds the helper that long is refused)
//   false ok    a cut file converted with exit 0
//   leftovers   anything left in the work or output folder but the document
// Usage: bench_fuzz [--per-format N] [--budget-seconds S] [--convert PATH]
#include <FreeImage.h>
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <cstdio>
#include <functional>
#include <random>
#include <vector>

namespace {

constexpr int kW = 97, kH = 61; // odd sizes: row padding and odd chunks

bool saveDib(FIBITMAP* dib, const QString& path, FREE_IMAGE_FORMAT fif, int flags = 0)
{
    const bool ok = dib && FreeImage_Save(fif, dib, QFile::encodeName(path).constData(), flags);
    if (dib)
        FreeImage_Unload(dib);
    return ok;
}

FIBITMAP* pattern(int bpp, int w = kW, int h = kH)
{
    FIBITMAP* dib = FreeImage_Allocate(w, h, bpp);
    if (bpp <= 8) {
        RGBQUAD* pal = FreeImage_GetPalette(dib);
        for (int i = 0; i < (1 << bpp); ++i)
            pal[i] = RGBQUAD{BYTE(i * 255 / ((1 << bpp) - 1)), BYTE(i * 37), BYTE(255 - i), 0};
    }
    for (int y = 0; y < h; ++y) {
        BYTE* line = FreeImage_GetScanLine(dib, y);
        for (unsigned x = 0; x < FreeImage_GetPitch(dib); ++x)
            line[x] = BYTE(bpp == 1 ? ((x + y) % 3 ? 0x5A : 0xF0) : (x * 7 + y * 3));
    }
    return dib;
}

bool run(const QString& program, const QStringList& args, const QString& in = QString(), const QString& out = QString())
{
    QProcess p;
    if (!in.isEmpty())
        p.setStandardInputFile(in);
    if (!out.isEmpty())
        p.setStandardOutputFile(out);
    p.start(program, args);
    return p.waitForFinished(60000) && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
}

struct Seed {
    QString name;
    QByteArray bytes;
};

std::vector<Seed> makeSeeds(const QString& dir)
{
    struct Kind {
        const char* name;
        std::function<bool(const QString&)> make;
    };
    const Kind kinds[] = {
        {"bmp24.bmp", [](const QString& p) { return saveDib(pattern(24), p, FIF_BMP); }},
        {"bmp1.bmp", [](const QString& p) { return saveDib(pattern(1), p, FIF_BMP); }},
        {"rle8.bmp", [](const QString& p) { return saveDib(pattern(8), p, FIF_BMP, BMP_SAVE_RLE); }},
        {"p.jpg", [](const QString& p) { return saveDib(pattern(24), p, FIF_JPEG, JPEG_QUALITYGOOD); }},
        {"p.png", [](const QString& p) { return saveDib(pattern(24), p, FIF_PNG); }},
        {"p.gif", [](const QString& p) { return saveDib(pattern(8), p, FIF_GIF); }},
        {"p.tif", [](const QString& p) { return saveDib(pattern(24), p, FIF_TIFF); }},
        {"p.ico", [](const QString& p) { return saveDib(pattern(24, 48, 48), p, FIF_ICO); }},
        {"p.psd", [](const QString& p) { return saveDib(pattern(24), p, FIF_PSD); }},
        {"p.pcx", [](const QString& p) {
             return saveDib(pattern(24), p + ".ppm", FIF_PPMRAW) && run("ppmtopcx", {}, p + ".ppm", p);
         }},
        {"p.iff", [](const QString& p) {
             return saveDib(pattern(24), p + ".ppm", FIF_PPMRAW) && run("ppmtoilbm", {"-24force"}, p + ".ppm", p);
         }},
    };
    std::vector<Seed> seeds;
    for (const Kind& k : kinds) {
        const QString path = dir + "/" + k.name;
        QFile f(path);
        if (k.make(path) && f.open(QIODevice::ReadOnly))
            seeds.push_back({k.name, f.readAll()});
        else
            std::printf("could not make the seed %s\n", k.name);
    }
    return seeds;
}

QStringList entriesUnder(const QString& dir)
{
    QStringList found;
    QDir d(dir);
    for (const QString& n : d.entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot)) {
        const QString p = d.filePath(n);
        found << p;
        if (QFileInfo(p).isDir() && !QFileInfo(p).isSymLink())
            found << entriesUnder(p);
    }
    return found;
}

struct Counts {
    int runs = 0, cuts = 0, refused = 0, helper = 0, made = 0, crash = 0, hang = 0, falseOk = 0, leftovers = 0;
};

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    int perFormat = 3000;
    double budget = 0;
    QString convert = QCoreApplication::applicationDirPath() + "/velunor-convert";
    const QStringList args = app.arguments();
    for (int i = 1; i + 1 < args.size(); i += 2) {
        if (args[i] == "--per-format")
            perFormat = args[i + 1].toInt();
        else if (args[i] == "--budget-seconds")
            budget = args[i + 1].toDouble();
        else if (args[i] == "--convert")
            convert = args[i + 1];
    }
    FreeImage_Initialise();
    QTemporaryDir dir;
    const std::vector<Seed> seeds = makeSeeds(dir.path());
    std::mt19937 rng(20261207);
    QElapsedTimer clock;
    clock.start();
    std::vector<Counts> counts(seeds.size());
    const QString cache = dir.filePath("cache"), out = dir.filePath("out");
    // Formats take turns, so a budget cut leaves every format tried alike.
    for (int n = 0; n < perFormat && (budget <= 0 || clock.elapsed() < budget * 1000); ++n) {
        for (size_t s = 0; s < seeds.size(); ++s) {
            Counts& c = counts[s];
            QByteArray m = seeds[s].bytes;
            const bool cut = rng() % 2 == 0;
            if (cut) {
                m.truncate(qsizetype(m.size() * (10 + rng() % 81) / 100));
            } else {
                const int flips = 1 + int(rng() % 16);
                for (int k = 0; k < flips; ++k)
                    m[qsizetype(8 + rng() % (m.size() - 8))] = char(rng());
            }
            const QString picture = dir.filePath("mutant-" + seeds[s].name);
            QFile f(picture);
            if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate) || f.write(m) != m.size())
                return 1;
            f.close();
            QDir(out).removeRecursively();
            QDir().mkpath(out);
            QProcess p;
            QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
            env.insert("XDG_CACHE_HOME", cache);
            env.insert("ASAN_OPTIONS", "detect_leaks=1:exitcode=86");
            env.insert("UBSAN_OPTIONS", "print_stacktrace=1:halt_on_error=1:exitcode=87");
            p.setProcessEnvironment(env);
            p.start(convert, {"-y", "-o", out, "-t", "doc", picture});
            ++c.runs;
            c.cuts += cut;
            if (!p.waitForFinished(240000)) {
                ++c.hang;
                p.kill();
                p.waitForFinished(-1);
                const QString kept = QDir::temp().filePath(QStringLiteral("velunor-fuzz-hang-%1-%2").arg(n).arg(seeds[s].name));
                QFile::copy(picture, kept);
                std::printf("hang: %s (%s), kept as %s\n", qPrintable(seeds[s].name), cut ? "cut" : "flipped", qPrintable(kept));
                continue;
            }
            const QByteArray err = p.readAllStandardError();
            const bool sanitizer = err.contains("ERROR: AddressSanitizer") || err.contains("runtime error:")
                || err.contains("ERROR: LeakSanitizer");
            const int code = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
            if (code == 1 && (sanitizer || err.contains("picture decoder crashed"))) {
                ++c.helper;
                const qsizetype at = err.indexOf("SUMMARY:");
                std::printf("helper: %s (%s) %s\n", qPrintable(seeds[s].name), cut ? "cut" : "flipped",
                            at < 0 ? "crashed" : err.mid(at, err.indexOf('\n', at) - at).constData());
            } else if (code == 0 && !sanitizer) {
                ++c.made;
                if (cut) {
                    ++c.falseOk;
                    std::printf("false ok: %s cut to %lld of %lld bytes\n", qPrintable(seeds[s].name),
                                (long long)m.size(), (long long)seeds[s].bytes.size());
                }
            } else if (code == 1 && !sanitizer) {
                ++c.refused;
            } else {
                ++c.crash;
                std::printf("crash: %s (%s), exit %d\n%s\n", qPrintable(seeds[s].name), cut ? "cut" : "flipped", code,
                            err.left(2000).constData());
            }
            // The private base folder stays; what is in it must not.
            QStringList left = entriesUnder(cache + "/velunor") + entriesUnder(out);
            left.removeAll(out + "/doc.pdf");
            if (!left.isEmpty()) {
                ++c.leftovers;
                std::printf("leftovers after %s: %s\n", qPrintable(seeds[s].name), qPrintable(left.join(' ')));
                QDir(cache).removeRecursively();
            }
        }
        if ((n + 1) % 10 == 0)
            std::fflush(stdout);
    }
    std::printf("\n%-10s %6s %6s %8s %7s %6s %6s %5s %9s %10s\n", "format", "runs", "cuts", "refused", "helper", "made",
                "crash", "hang", "false ok", "leftovers");
    Counts total;
    for (size_t s = 0; s < seeds.size(); ++s) {
        const Counts& c = counts[s];
        std::printf("%-10s %6d %6d %8d %7d %6d %6d %5d %9d %10d\n", qPrintable(seeds[s].name), c.runs, c.cuts, c.refused,
                    c.helper, c.made, c.crash, c.hang, c.falseOk, c.leftovers);
        total.runs += c.runs, total.cuts += c.cuts, total.refused += c.refused, total.made += c.made;
        total.helper += c.helper;
        total.crash += c.crash, total.hang += c.hang, total.falseOk += c.falseOk, total.leftovers += c.leftovers;
    }
    std::printf("%-10s %6d %6d %8d %7d %6d %6d %5d %9d %10d   (%.0f s)\n", "all", total.runs, total.cuts, total.refused,
                total.helper, total.made, total.crash, total.hang, total.falseOk, total.leftovers, clock.elapsed() / 1000.0);
    std::fflush(stdout); // before any sanitizer of this program ends it at exit
    FreeImage_DeInitialise();
    return 0;
}
