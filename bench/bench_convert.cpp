// Conversion speed, memory and work disk: velunor-convert against
// GraphicsMagick and img2pdf on Debian's mate-backgrounds photos, and its
// growth with the page count. Prints figures; judges nothing.
#include "LoadAverage.h"
#include "MatePhotos.h"

#include <QCoreApplication>
#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdlib>
#include <cstdio>
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace {

struct Measure {
    double seconds = 0;
    double cpuSeconds = 0;  // user + system, its own and its children's
    long ownPeakKb = 0;     // the program's own VmHWM, read while it runs
    long toolkitPeakKb = 0; // the largest VmHWM of any process it started
    long diskPeakKb = 0;    // the most the watched folder held at once
    int exitCode = -1;
};

QByteArray readFile(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

// VmHWM of a running process, in kB (0 once it has ended).
long highWaterKb(pid_t pid)
{
    for (const QByteArray& line : readFile(QStringLiteral("/proc/%1/status").arg(pid)).split('\n'))
        if (line.startsWith("VmHWM:"))
            return line.mid(6).trimmed().split(' ').value(0).toLong();
    return 0;
}

// The largest VmHWM among the descendants of pid (the toolkit's runs and
// whatever they start).
long descendantsPeakKb(pid_t pid)
{
    long peak = 0;
    for (const QByteArray& child : readFile(QStringLiteral("/proc/%1/task/%1/children").arg(pid)).split(' ')) {
        const pid_t c = pid_t(child.toLong());
        if (c > 0)
            peak = std::max({peak, highWaterKb(c), descendantsPeakKb(c)});
    }
    return peak;
}

// Disk space the files under folder take (blocks, as the disk counts them).
long folderKb(const QString& folder)
{
    long kb = 0;
    QDirIterator it(folder, QDir::Files | QDir::Hidden | QDir::System, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        struct stat st {};
        if (::lstat(QFile::encodeName(it.next()).constData(), &st) == 0)
            kb += long(st.st_blocks / 2);
    }
    return kb;
}

// Runs argv[0] (looked up on PATH) with its output thrown away; wall time,
// peak memory (its own and its children's) and the peak of diskFolder.
Measure runMeasured(const QStringList& args, const QString& diskFolder = QString())
{
    std::vector<QByteArray> store;
    std::vector<char*> argv;
    for (const QString& a : args)
        store.push_back(QFile::encodeName(a));
    for (QByteArray& s : store)
        argv.push_back(s.data());
    argv.push_back(nullptr);

    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&fa, 2, "/dev/null", O_WRONLY, 0);
    Measure m;
    QElapsedTimer t;
    t.start();
    pid_t pid = 0;
    const int spawned = posix_spawnp(&pid, argv[0], &fa, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&fa);
    if (spawned != 0)
        return m;
    int status = 0;
    rusage ru {};
    // High-water marks only grow: the last reading before an end is the
    // peak but for the last few milliseconds.
    for (;;) {
        m.ownPeakKb = std::max(m.ownPeakKb, highWaterKb(pid));
        m.toolkitPeakKb = std::max(m.toolkitPeakKb, descendantsPeakKb(pid));
        if (!diskFolder.isEmpty())
            m.diskPeakKb = std::max(m.diskPeakKb, folderKb(diskFolder));
        if (wait4(pid, &status, WNOHANG, &ru) == pid)
            break;
        usleep(3000);
    }
    m.seconds = double(t.nsecsElapsed()) / 1e9;
    // wait4 counts the children the program waited for in its own figures.
    m.cpuSeconds = double(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) + double(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
    // A child too short to be sampled still counts through wait4.
    if (m.ownPeakKb == 0)
        m.ownPeakKb = ru.ru_maxrss;
    m.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return m;
}

double mb(long kb)
{
    return double(kb) / 1024.0;
}

const char* failed(const Measure& m)
{
    return m.exitCode == 0 ? "" : "  (FAILED)";
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
    QTemporaryDir tmp;
    // Work folders of the runs below stay out of the user's own cache, in
    // a folder whose size is watched.
    const QString cache = tmp.path() + "/cache";
    qputenv("XDG_CACHE_HOME", QFile::encodeName(cache));
    const QString out = tmp.path() + "/out";
    QDir().mkpath(out);
    if (matePhotos(24).size() < 24) {
        std::fprintf(stderr, "the photos of mate-backgrounds are missing\n");
        return 1;
    }
    auto convert = [&](const QStringList& pics) {
        return runMeasured(QStringList {program, "-y", "-q", "85", "-o", out, "-t", "bench"} + pics, cache);
    };
    auto gm = [&](const QStringList& pics) {
        return runMeasured(QStringList {"gm", "convert"} + pics + QStringList {"-quality", "85", out + "/gm.pdf"});
    };

    // Warm the file cache once, unmeasured.
    convert(matePhotos(2));
    gm(matePhotos(2));

    // The machine may be shared: each figure is the best of a few rounds,
    // ours and gm's taken in turn so that load hits both alike.
    auto best = [](Measure& b, const Measure& m) {
        if (b.exitCode != 0 || (m.exitCode == 0 && m.seconds < b.seconds))
            b = m;
    };
    std::printf("velunor-convert and gm convert side by side on photos from /usr/share/backgrounds/mate/nature\n"
                "(the twelve, cycled), quality 85; best wall time of the rounds shown, with that round's CPU time\n"
                "(user + system, children included), which a shared machine inflates far less\n");
    std::printf("  %5s %6s %9s %9s %7s %7s %9s %9s %7s %10s %12s %10s %9s\n", "pages", "rounds", "ours", "gm",
                "ours/gm", "target", "ours CPU", "gm CPU", "CPU/gm", "own peak", "toolkit peak", "work disk", "gm peak");
    const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 1;
    const struct {
        int pages;
        int rounds;
        double target;
    } sizes[] = {{1, 7 * rounds, 0.8}, {5, 5 * rounds, 0.8}, {24, 3 * rounds, 0.7}, {200, rounds, 0.6}};
    printLoad("before");
    for (const auto& size : sizes) {
        const QStringList pics = matePhotos(size.pages);
        Measure ours, theirs;
        for (int round = 0; round < size.rounds; ++round) {
            best(ours, convert(pics));
            best(theirs, gm(pics));
        }
        std::printf("  %5d %6d %8.3fs %8.3fs %7.2f %7.1f %8.3fs %8.3fs %7.2f %7.1f MB %9.1f MB %7.1f MB %6.0f MB%s%s\n",
                    size.pages, size.rounds, ours.seconds, theirs.seconds, ours.seconds / theirs.seconds, size.target,
                    ours.cpuSeconds, theirs.cpuSeconds, ours.cpuSeconds / theirs.cpuSeconds, mb(ours.ownPeakKb), mb(ours.toolkitPeakKb), mb(ours.diskPeakKb), mb(theirs.ownPeakKb),
                    failed(ours), failed(theirs));
        if (size.pages == 24) {
            Measure i2p;
            for (int round = 0; round < size.rounds; ++round)
                best(i2p, runMeasured(QStringList {"img2pdf"} + pics + QStringList {"-o", out + "/img2pdf.pdf"}));
            std::printf("        img2pdf on the same 24 (embeds the JPEGs as they are): %.3f s, %.1f MB%s\n",
                        i2p.seconds, mb(i2p.ownPeakKb), failed(i2p));
        }
    }
    printLoad("after the photos");

    // Many small pages, as a new user tries it: one 640 x 400 photo at
    // quality 85, copied. Here a page's own work is small beside what every
    // page costs the same (a join, the runner, the event passes).
    const QString small = tmp.path() + "/small";
    QDir().mkpath(small);
    const QImage scaled = QImage(matePhotos(1).value(0)).scaled(640, 400, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
    if (!scaled.save(small + "/p0.jpg", "JPEG", 85)) {
        std::fprintf(stderr, "the small picture could not be made\n");
        return 1;
    }
    QStringList smallPics {small + "/p0.jpg"};
    for (int i = 1; i < 800; ++i) {
        smallPics << small + QString("/p%1.jpg").arg(i);
        QFile::copy(small + "/p0.jpg", smallPics.last());
    }
    auto img2pdf = [&](const QStringList& pics) {
        return runMeasured(QStringList {"img2pdf"} + pics + QStringList {"-o", out + "/img2pdf.pdf"});
    };
    std::printf("\nThe same side by side on one 640 x 400 photo at quality 85, copied; best of the rounds\n");
    std::printf("  %5s %6s %9s %9s %9s %7s %7s %10s %9s %9s %7s %10s %12s\n", "pages", "rounds", "ours", "gm", "img2pdf",
                "ours/gm", "target", "ours/page", "ours CPU", "gm CPU", "CPU/gm", "own peak", "toolkit peak");
    double perPageAt50 = 0, perPageAt800 = 0;
    for (const int pages : {50, 100, 200, 400, 800}) {
        const QStringList pics = smallPics.mid(0, pages);
        Measure ours, theirs, i2p;
        const int n = pages <= 100 ? 3 * rounds : rounds;
        for (int round = 0; round < n; ++round) {
            best(ours, convert(pics));
            best(theirs, gm(pics));
            best(i2p, img2pdf(pics));
        }
        const double perPage = ours.seconds / pages * 1000;
        (pages == 50 ? perPageAt50 : perPageAt800) = perPage;
        std::printf("  %5d %6d %8.3fs %8.3fs %8.3fs %7.2f %7s %7.2f ms %8.3fs %8.3fs %7.2f %7.1f MB %9.1f MB%s%s%s\n", pages,
                    n, ours.seconds, theirs.seconds, i2p.seconds, ours.seconds / theirs.seconds,
                    pages == 50 || pages == 400 ? "1.0" : "", perPage, ours.cpuSeconds, theirs.cpuSeconds,
                    ours.cpuSeconds / theirs.cpuSeconds, mb(ours.ownPeakKb), mb(ours.toolkitPeakKb), failed(ours),
                    failed(theirs), failed(i2p));
    }
    std::printf("  per page at 800 / per page at 50: %.2f (target 1.2)\n", perPageAt800 / perPageAt50);
    printLoad("after");
    return 0;
}
