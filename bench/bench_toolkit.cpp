// One join as the conversion job makes it (velunor-join through DOSOutputs,
// with qpdf's whole-file join beside it), and the information step
// (velunor-docinfo), each timed bare and through the runner, on a small
// chain file (one page) and a large one (84 photo pages).
#include "engine/job/PageMaker.h"
#include "StderrSink.h"
#include "engine/job/ToolkitSteps.h"
#include "platform/DOSOutputs.h"
#include "platform/MessageSink.h"
#include "MatePhotos.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdlib>
#include <fcntl.h>
#include <cstdio>
#include <functional>
#include <spawn.h>
#include <unistd.h>
#include <sys/wait.h>
#include <vector>

extern char** environ;

namespace {

bool writePagePdf(const QString& path, int w, int h)
{
    QByteArray pdf = "%PDF-1.4\n";
    QList<qsizetype> offsets;
    auto object = [&](const QByteArray& body) {
        offsets << pdf.size();
        pdf += QByteArray::number(offsets.size()) + " 0 obj\n" + body + "\nendobj\n";
    };
    object("<< /Type /Catalog /Pages 2 0 R >>");
    object("<< /Type /Pages /Kids [3 0 R] /Count 1 >>");
    object("<< /Type /Page /Parent 2 0 R /MediaBox [0 0 " + QByteArray::number(w) + ' '
           + QByteArray::number(h) + "] >>");
    const qsizetype xref = pdf.size();
    pdf += "xref\n0 " + QByteArray::number(offsets.size() + 1) + "\n0000000000 65535 f \n";
    for (qsizetype off : offsets)
        pdf += QByteArray::number(off).rightJustified(10, '0') + " 00000 n \n";
    pdf += "trailer\n<< /Size " + QByteArray::number(offsets.size() + 1)
        + " /Root 1 0 R >>\nstartxref\n" + QByteArray::number(xref) + "\n%%EOF\n";
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(pdf) == pdf.size();
}

// The same command with the same plumbing as the runner gives it (input from
// /dev/null, output and errors into a pipe), read with blocking reads to
// the end and waited for: no polling at all.
double bareRunMs(const QStringList& args)
{
    QByteArrayList a8;
    for (const QString& a : args)
        a8 << a.toUtf8();
    std::vector<char*> argv;
    for (QByteArray& a : a8)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    QElapsedTimer clock;
    clock.start();
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0)
        return -1;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
    posix_spawn_file_actions_adddup2(&actions, fds[1], 2);
    pid_t pid = 0;
    const int spawned = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(fds[1]);
    if (spawned != 0) {
        close(fds[0]);
        return -1;
    }
    char buffer[4096];
    while (read(fds[0], buffer, sizeof buffer) > 0) {
    }
    close(fds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    return double(clock.nsecsElapsed()) / 1e6;
}

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

struct Timings {
    std::vector<double> bare, viaRunner;
    int waits = 0, cutShort = 0, failures = 0;
};

// runs joins of (chain, page) into out, bare and through the runner in turn;
// `prepare` (untimed) runs before each: velunor-join moves its chain on.
Timings timeJoins(DOSOutputs& runner, const QString& tool, const QStringList& args, const QString& out, int runs,
                  const std::function<void()>& prepare = [] {})
{
    Timings t;
    QString line;
    for (const QString& a : args)
        line += (line.isEmpty() ? QString() : QStringLiteral(" ")) + ToolkitSteps::QuoteArgument(a);
    const auto bare = [&] {
        prepare();
        return bareRunMs(args);
    };
    bare(); // warm the file cache
    for (int i = 0; i < runs; ++i) {
        // Alternate which goes first, so neither always meets a warm cache.
        if (i % 2 == 0)
            t.bare.push_back(bare());
        prepare();
        QFile::remove(out);
        WatchedProcessName = tool;
        QElapsedTimer clock;
        clock.start();
        runner.ExecuteCommand(line);
        if (runner.ChildRunning())
            runner.WaitForChild();
        t.viaRunner.push_back(double(clock.nsecsElapsed()) / 1e6);
        t.waits += runner.LastRunPace().waits;
        t.cutShort += runner.LastRunPace().cutShort;
        t.failures += QFileInfo(out).size() > 0 ? 0 : 1;
        if (i % 2 == 1)
            t.bare.push_back(bare());
    }
    return t;
}

void report(const char* what, const Timings& t, int runs)
{
    std::vector<double> paired;
    for (std::size_t i = 0; i < t.bare.size(); ++i)
        paired.push_back(t.viaRunner[i] - t.bare[i]);
    std::printf("  %-34s bare %7.1f ms  through DOSOutputs %7.1f ms  added %6.1f ms  (medians; "
                "%.1f pauses a run, %d cut short by the exit)%s\n",
                what, median(t.bare), median(t.viaRunner), median(paired), double(t.waits) / runs, t.cutShort,
                t.failures ? "  SOME RUNS FAILED" : "");
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    const int runs = argc > 1 ? std::max(1, atoi(argv[1])) : 10;
    const QString qpdf = QStandardPaths::findExecutable("qpdf");
    if (qpdf.isEmpty() || !ToolkitSteps::MissingTool().isEmpty()) {
        std::fprintf(stderr, "qpdf, velunor-join or velunor-docinfo not found\n");
        return 1;
    }
    QTemporaryDir dir;
    StderrSink sink;
    DOSOutputs runner(sink);

    // Small: two one-page files.
    const QString a = dir.filePath("a.pdf"), b = dir.filePath("b.pdf"), out = dir.filePath("out.pdf");
    writePagePdf(a, 100, 400);
    writePagePdf(b, 200, 400);
    // Large: 84 pages of the photos as the page maker makes them, plus one.
    const QStringList names = matePhotos();
    if (names.isEmpty()) {
        std::fprintf(stderr, "the photos of mate-backgrounds are missing\n");
        return 1;
    }
    WorkFolders folders{dir.filePath("tmpvelunor"), dir.filePath("jpgtmp")};
    QDir().mkpath(folders.tmpDir);
    QDir().mkpath(folders.pageDir);
    PageMaker maker(folders, sink, YieldFunction());
    maker.BeginJob();
    // A page file of its own for each page: qpdf would share the objects
    // of a file named twice.
    QStringList bigArgs {qpdf, "--empty", "--pages"};
    for (int i = 0; i < 84; ++i) {
        const QString photo = names[i % names.size()];
        if (!maker.MakePage(i, photo, 85).ok()) {
            std::fprintf(stderr, "no page for %s\n", qPrintable(photo));
            return 1;
        }
        bigArgs << folders.pageFile(i);
    }
    const QString big = dir.filePath("big.pdf");
    bigArgs << "--" << big;
    bareRunMs(bigArgs);
    const QString page = folders.pageFile(0);

    ToolkitSteps steps(runner, folders);
    // The job's own join line, with its files replaced: the chain is a
    // fresh copy of `master` for every run.
    const QString chain = dir.filePath("chain.pdf");
    auto joinArgs = [&](const QString& pg) {
        QStringList args = DOSOutputs::SplitCommandLine(steps.JoinCommandLine(1));
        args.replace(args.indexOf(folders.chainFile(1)), chain);
        args.replace(args.indexOf(folders.pageFile(1)), pg);
        args.replace(args.indexOf(folders.chainFile(2)), out);
        return args;
    };
    auto freshChain = [&](const QString& master) {
        return [&, master] {
            QFile::remove(chain);
            QFile::copy(master, chain);
        };
    };
    auto qpdfArgs = [&](const QString& master, const QString& pg) {
        return QStringList{qpdf, "--empty", "--pages", master, pg, "--", out};
    };
    steps.WriteInfoFile({"Café — 東京", "A & B", "D:20240102030405Z", "<b>", "&#233;"});
    // The job's own information line, on another chain file.
    auto infoArgs = [&](const QString& chain) {
        QStringList args = DOSOutputs::SplitCommandLine(steps.InfoCommandLine(1));
        args.replace(args.indexOf(folders.chainFile(1)), chain);
        args.replace(args.indexOf(folders.finishedFile()), out);
        return args;
    };
    std::printf("bench_toolkit: one join and one information step, %d runs each, bare and through the runner in turn\n", runs);
    std::printf("  small: two one-page files; large: %.1f MB, 84 photo pages, plus one page\n",
                double(QFileInfo(big).size()) / 1e6);
    report("velunor-join, small", timeJoins(runner, ToolkitSteps::JoinTool, joinArgs(b), out, runs, freshChain(a)), runs);
    report("qpdf join (whole file), small", timeJoins(runner, "qpdf", qpdfArgs(a, b), out, runs), runs);
    report("information step, small", timeJoins(runner, ToolkitSteps::InfoTool, infoArgs(a), out, runs), runs);
    const int bigRuns = std::max(1, runs / 2);
    report("velunor-join, large", timeJoins(runner, ToolkitSteps::JoinTool, joinArgs(page), out, bigRuns, freshChain(big)),
           bigRuns);
    report("qpdf join (whole file), large", timeJoins(runner, "qpdf", qpdfArgs(big, page), out, bigRuns), bigRuns);
    report("information step, large", timeJoins(runner, ToolkitSteps::InfoTool, infoArgs(big), out, bigRuns), bigRuns);
    return 0;
}
