// One toolkit run as the conversion job sees it (through DOSOutputs, polling
// every 50 ms) against the same pdftk command timed alone.
#include "StderrSink.h"

#include "engine/ToolkitSteps.h"
#include "platform/DOSOutputs.h"
#include "platform/MessageSink.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdlib>
#include <fcntl.h>
#include <cstdio>
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

double mean(const std::vector<double>& v)
{
    double s = 0;
    for (double x : v)
        s += x;
    return v.empty() ? 0 : s / double(v.size());
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const int runs = argc > 1 ? std::max(1, atoi(argv[1])) : 10;
    const QString toolkit = ToolkitSteps::ToolkitPath();
    if (toolkit.isEmpty()) {
        std::fprintf(stderr, "pdftk not found\n");
        return 1;
    }
    QTemporaryDir dir;
    WorkFolders folders;
    folders.tmpDir = dir.filePath("tmpvelunor");
    folders.pageDir = dir.filePath("jpgtmp");
    QDir().mkpath(folders.tmpDir);
    QDir().mkpath(folders.pageDir);
    writePagePdf(folders.pageFile(0), 100, 400);
    writePagePdf(folders.pageFile(1), 200, 400);
    QFile::copy(folders.pageFile(0), folders.chainFile(1));

    StderrSink sink;
    DOSOutputs runner(sink);
    ToolkitSteps steps(runner, folders);
    const QStringList bareArgs = DOSOutputs::SplitCommandLine(steps.JoinCommandLine(1));
    bareRunMs(bareArgs); // warm the file cache and the JVM's class data

    std::vector<double> bare, viaRunner;
    int failures = 0;
    for (int i = 0; i < runs; ++i) {
        // Alternate which goes first, so neither always meets a warm cache.
        if (i % 2 == 0)
            bare.push_back(bareRunMs(bareArgs));
        QElapsedTimer clock;
        clock.start();
        const ToolkitRunResult r = steps.RunJoin(1);
        viaRunner.push_back(double(clock.nsecsElapsed()) / 1e6);
        failures += r.outputExists ? 0 : 1;
        if (i % 2 == 1)
            bare.push_back(bareRunMs(bareArgs));
    }
    std::vector<double> paired;
    for (std::size_t i = 0; i < bare.size(); ++i)
        paired.push_back(viaRunner[i] - bare[i]);
    const double fastestBare = *std::min_element(bare.begin(), bare.end());
    const double fastestRunner = *std::min_element(viaRunner.begin(), viaRunner.end());
    std::printf("bench_toolkit: %d join runs of two one-page PDFs (%s), each timed bare and "
                "through the runner in turn\n", runs, qPrintable(toolkit));
    std::printf("  bare pdftk          fastest %7.1f ms  median %7.1f ms  mean %7.1f ms\n",
                fastestBare, median(bare), mean(bare));
    std::printf("  through DOSOutputs  fastest %7.1f ms  median %7.1f ms  mean %7.1f ms\n",
                fastestRunner, median(viaRunner), mean(viaRunner));
    std::printf("  added by the runner fastest %7.1f ms  median of pairs %7.1f ms  "
                "(one poll period: 50 ms)\n", fastestRunner - fastestBare, median(paired));
    if (failures)
        std::printf("  %d runs left no output file\n", failures);
    return 0;
}
