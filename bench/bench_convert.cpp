// Conversion speed and memory: velunor-convert against the bare toolkit
// chain it drives, and against GraphicsMagick and img2pdf, on Debian's
// mate-backgrounds photos. Prints figures; judges nothing.
#include "engine/PageMaker.h"
#include "engine/ToolkitSteps.h"
#include "engine/WorkFolders.h"
#include "platform/DOSOutputs.h"
#include "platform/MessageSink.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace {

struct Measure {
    double seconds = 0;
    long peakKb = 0;    // wait4's ru_maxrss: the child or any child it waited for
    long ownPeakKb = 0; // the child's own VmHWM, read while it runs
    int exitCode = -1;
};

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

// Runs argv[0] (looked up on PATH) with its output thrown away; wall time
// and the child's peak memory from wait4.
Measure runMeasured(const QStringList& args)
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
    if (posix_spawnp(&pid, argv[0], &fa, nullptr, argv.data(), environ) != 0) {
        posix_spawn_file_actions_destroy(&fa);
        return m;
    }
    posix_spawn_file_actions_destroy(&fa);
    int status = 0;
    rusage ru {};
    // The high-water mark only grows, so the last reading before the end is
    // the peak but for the last 2 ms.
    for (;;) {
        m.ownPeakKb = std::max(m.ownPeakKb, highWaterKb(pid));
        if (wait4(pid, &status, WNOHANG, &ru) == pid)
            break;
        usleep(2000);
    }
    m.seconds = t.nsecsElapsed() / 1e9;
    m.peakKb = ru.ru_maxrss;
    m.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return m;
}

class QuietSink : public MessageSink {
public:
    void showMessage(const QString& title, const QString& text, MessageIcon) override
    {
        std::fprintf(stderr, "%s: %s\n", qPrintable(title), qPrintable(text));
    }
    bool askOkCancel(const QString&, const QString&) override { return true; }
};

QStringList photos(int count)
{
    const QDir dir("/usr/share/backgrounds/mate/nature");
    const QStringList names = dir.entryList({"*.jpg"}, QDir::Files, QDir::Name);
    QStringList out;
    for (int i = 0; !names.isEmpty() && i < count; ++i)
        out << dir.filePath(names[i % names.size()]);
    return out;
}

Measure convert(const QString& program, const QStringList& pics, const QString& outDir)
{
    return runMeasured(QStringList{program, "-y", "-q", "85", "-o", outDir, "-t", "bench"} + pics);
}

void row(const char* what, const Measure& m, const char* note = "")
{
    std::printf("  %-40s %8.2f s %9.1f MB %9.1f MB  %s%s\n", what, m.seconds, m.ownPeakKb / 1024.0,
                m.peakKb / 1024.0, m.exitCode == 0 ? "" : "(FAILED) ", note);
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
    // Work folders of the runs below stay out of the user's own cache.
    qputenv("XDG_CACHE_HOME", QFile::encodeName(tmp.path() + "/cache"));
    const QString out = tmp.path() + "/out";
    QDir().mkpath(out);

    const QStringList pics = photos(24);
    if (pics.size() < 24) {
        std::fprintf(stderr, "the photos of mate-backgrounds are missing\n");
        return 1;
    }
    std::printf("24 photos from /usr/share/backgrounds/mate/nature (12, each twice), quality 85\n");
    std::printf("  %-40s %10s %12s %12s\n", "", "wall", "own peak", "with kids");

    // Warm the file cache and the Java runtime once, unmeasured.
    convert(program, pics.mid(0, 2), out);

    // The machine is shared and Java's start varies: each figure is the best
    // of three rounds, taken in turn so load hits all of them alike.
    const WorkFolders folders{tmp.path() + "/work/tmpvelunor", tmp.path() + "/work/jpgtmp"};
    QDir().mkpath(folders.tmpDir);
    QDir().mkpath(folders.pageDir);
    QuietSink sink;
    DOSOutputs runner(sink);
    ToolkitSteps steps(runner, folders);
    steps.WriteInfoFile({"bench", "Velunor", "D:20240131154500+01'00", "New Subject", ""});
    QStringList lines;
    for (int i = 1; i < pics.size(); ++i)
        lines << steps.JoinCommandLine(i);
    lines << steps.InfoCommandLine(int(pics.size()));

    auto best = [](Measure& b, const Measure& m) {
        if ((b.exitCode != 0 && m.exitCode == 0) || (b.exitCode == m.exitCode && m.seconds < b.seconds))
            b = m;
    };
    Measure ours, pages, chain, runnerChain;
    for (int round = 0; round < 3; ++round) {
        best(ours, convert(program, pics, out));

        // The page maker alone, in this process, on the same pictures.
        PageMaker maker(folders, sink, YieldFunction());
        maker.BeginJob();
        QElapsedTimer t;
        t.start();
        Measure p;
        p.exitCode = 0;
        for (int i = 0; i < pics.size(); ++i)
            if (!maker.MakePage(i, pics[i], 85).ok())
                p.exitCode = 1;
        p.seconds = t.nsecsElapsed() / 1e9;
        p.ownPeakKb = highWaterKb(getpid()); // this whole bench process
        best(pages, p);

        // The bare toolkit chain: the very command lines of a job, back to back.
        Measure c;
        c.exitCode = 0;
        t.restart();
        QFile::remove(folders.chainFile(1));
        QFile::copy(folders.pageFile(0), folders.chainFile(1));
        for (const QString& line : lines) {
            const Measure m = runMeasured(DOSOutputs::SplitCommandLine(line));
            if (m.exitCode != 0)
                c.exitCode = m.exitCode;
            c.peakKb = std::max(c.peakKb, m.peakKb);
            c.ownPeakKb = std::max(c.ownPeakKb, m.ownPeakKb);
        }
        c.seconds = t.nsecsElapsed() / 1e9;
        best(chain, c);

        // The same runs through the command runner, as the job makes them.
        Measure r;
        r.exitCode = 0;
        t.restart();
        QFile::remove(folders.chainFile(1));
        QFile::copy(folders.pageFile(0), folders.chainFile(1));
        for (int i = 1; i < pics.size(); ++i)
            if (!steps.RunJoin(i).outputExists)
                r.exitCode = 1;
        if (!steps.RunInfo(int(pics.size())).outputExists)
            r.exitCode = 1;
        r.seconds = t.nsecsElapsed() / 1e9;
        best(runnerChain, r);
    }
    row("velunor-convert", ours);
    row("page maker (in process, 24 pages)", pages, "(own: the bench process)");
    row("bare pdftk chain (23 joins + info)", chain, "(per pdftk run)");
    row("same chain through DOSOutputs", runnerChain);
    const double floor = pages.seconds + chain.seconds;
    std::printf("  velunor-convert / (page maker + bare chain) = %.2f (target <= 1.3)\n", ours.seconds / floor);
    std::printf("  our overhead above page maker + chain: %.2f s\n", ours.seconds - floor);

    const Measure gm = runMeasured(QStringList{"gm", "convert"} + pics + QStringList{"-quality", "85", out + "/gm.pdf"});
    row("gm convert -quality 85", gm);
    const Measure i2p = runMeasured(QStringList{"img2pdf"} + pics + QStringList{"-o", out + "/img2pdf.pdf"});
    row("img2pdf (embeds the JPEGs as they are)", i2p);
    if (gm.peakKb > 0)
        std::printf("  velunor-convert peak / gm peak = %.3f own, %.3f with pdftk (target < 0.25)\n",
                    double(ours.ownPeakKb) / gm.peakKb, double(ours.peakKb) / gm.peakKb);

    std::printf("\nGrowth with the page count (velunor-convert, photos cycled)\n");
    for (int n : {1, 10, 25, 50}) {
        const Measure m = convert(program, photos(n), out);
        std::printf("  %2d pages %8.2f s  own peak %6.1f MB  with pdftk %6.1f MB  %6.3f s/page%s\n", n, m.seconds,
                    m.ownPeakKb / 1024.0, m.peakKb / 1024.0, m.seconds / n, m.exitCode == 0 ? "" : "  (FAILED)");
    }
    return 0;
}
