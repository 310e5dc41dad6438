// Signals at every step of a job, to velunor-convert and the window: each
// ends the program with its helpers and toolkit run, and leaves no work folder.
#include "TestSupport.h"
#include "cli_fixture.h"

#include <FreeImage.h>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace testsupport;

using SignalsCli = CliWithPicture;

TEST_F(SignalsCli, SignalsEndTheProgramWithItsToolkitRunAndWorkFolder)
{
    // A join that says when it runs (through a FIFO, with its own child's
    // number) and then waits for ever, as a hung toolkit would.
    // It is found among our helpers: a copy of the program in a tree of its
    // own, with the real page maker's helper.
    const QString tree = root + "/tree", helpers = tree + "/libexec/velunor", program = tree + "/bin/velunor-convert";
    QDir().mkpath(tree + "/bin");
    QDir().mkpath(helpers);
    ASSERT_TRUE(QFile::copy(convertProgram(), program));
    ASSERT_TRUE(QFile::link(QFileInfo(convertProgram()).path() + "/../libexec/velunor/velunor-decode",
                            helpers + "/velunor-decode"));
    ASSERT_TRUE(QFile::link(QFileInfo(convertProgram()).path() + "/../libexec/velunor/velunor-docinfo",
                            helpers + "/velunor-docinfo"));
    ASSERT_TRUE(writeFile(helpers + "/velunor-join", "#!/bin/sh\nsleep 600 &\necho \"$$ $!\" > \"$VELUNOR_TEST_READY\"\nwait\n"));
    ASSERT_EQ(::chmod(enc(helpers + "/velunor-join").constData(), 0755), 0);
    const QString window = QFileInfo(convertProgram()).absolutePath() + "/velunor";

    const struct Row {
        bool window;
        int sig;
        int exitCode;
    } rows[] = {{false, SIGTERM, 128 + SIGTERM}, {false, SIGINT, 128 + SIGINT}, {false, SIGHUP, 128 + SIGHUP},
                {true, SIGTERM, 0},              {true, SIGHUP, 0}};
    int i = 0;
    for (const Row& row : rows) {
        SCOPED_TRACE(std::string(row.window ? "window, " : "velunor-convert, ") + strsignal(row.sig));
        const QString n = QString::number(i++);
        const QString cache = root + "/cache" + n;
        QDir().mkpath(cache + "/velunor");
        QProcess p;
        pid_t toolkit[2] = {0, 0};
        if (row.window) {
            // Up once its start-up has taken its lock in the cache.
            const int in = inotify_init1(IN_CLOEXEC);
            inotify_add_watch(in, enc(cache + "/velunor").constData(), IN_CREATE);
            start(p, window, {}, cache);
            const QString lock = cache + "/velunor/run-" + QString::number(p.processId()) + ".lock";
            pollfd pf{in, POLLIN, 0};
            while (!QFileInfo::exists(lock) && ::poll(&pf, 1, 60000) == 1) {
                char buf[4096];
                [[maybe_unused]] const ssize_t got = ::read(in, buf, sizeof buf);
            }
            ::close(in);
            ASSERT_TRUE(QFileInfo::exists(lock));
        } else {
            const QString ready = root + "/ready" + n;
            ASSERT_EQ(::mkfifo(enc(ready).constData(), 0600), 0);
            const int fifo = ::open(enc(ready).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
            start(p, program, {"-o", root + "/out" + n, "-y", pic, pic}, cache, {"VELUNOR_TEST_READY=" + ready});
            pollfd pf{fifo, POLLIN, 0};
            ASSERT_EQ(::poll(&pf, 1, 120000), 1) << p.readAllStandardError().toStdString();
            char text[64] = {};
            [[maybe_unused]] const ssize_t got = ::read(fifo, text, sizeof text - 1);
            ::close(fifo);
            const QStringList pids = QString(text).split(' ');
            ASSERT_EQ(pids.size(), 2) << text;
            toolkit[0] = pids[0].toInt();
            toolkit[1] = pids[1].trimmed().toInt();
        }
        ASSERT_EQ(::kill(pid_t(p.processId()), row.sig), 0);
        ASSERT_TRUE(p.waitForFinished(60000));
        EXPECT_EQ(p.exitStatus(), QProcess::NormalExit);
        EXPECT_EQ(p.exitCode(), row.exitCode) << p.readAllStandardError().toStdString();
        for (pid_t t : toolkit) {
            if (t > 0) {
                EXPECT_TRUE(waitGone(t)) << "toolkit process " << t << " still runs";
            }
        }
        if (!row.window) {
            EXPECT_TRUE(entries(root + "/out" + n).isEmpty());
        }
        EXPECT_TRUE(entries(cache + "/velunor").isEmpty()) << entries(cache + "/velunor").join(' ').toStdString();
    }
}

// Every step's helper or toolkit run is ended, and reaped, before the work
// folder goes: here each is a stand-in that keeps writing new files into the
// work folder from the moment it says so, and the signal comes then. Tried
// 100 times, with the test's own children keeping both cores busy.
TEST_F(SignalsCli, SignalsAtEveryStepLeaveNoWorkFolder)
{
    const QString built = QFileInfo(convertProgram()).absolutePath() + "/..";
    const QString writer = VELUNOR_TEST_HELPER_DIR "/vlnh2_workwriter";
    const QString pic2 = root + "/pics/b.png";
    ASSERT_TRUE(writeTestPicture(pic2, FIF_PNG, 30, 20));
    const struct Step {
        const char* name;
        const char* standIn; // in the installed tree
        QStringList more;    // arguments
    } steps[] = {{"decoding", "libexec/velunor/velunor-decode", {}},
                 {"reading text", "libexec/velunor/velunor-ocr", {"--ocr", "eng"}},
                 {"joining", "libexec/velunor/velunor-join", {}},
                 {"writing the information", "libexec/velunor/velunor-docinfo", {}}};
    // Each step's tree: the program itself (linked: it finds its helpers
    // beside it), the real helpers but the stand-in.
    QStringList trees;
    for (const Step& step : steps) {
        const QString tree = root + "/tree" + QString::number(trees.size());
        QDir().mkpath(tree + "/bin");
        QDir().mkpath(tree + "/libexec/velunor");
        ASSERT_EQ(::link(enc(convertProgram()).constData(), enc(tree + "/bin/velunor-convert").constData()), 0)
            << std::strerror(errno);
        for (const QString& helper : QDir(built + "/libexec/velunor").entryList(QDir::Files))
            ASSERT_TRUE(QFile::link(built + "/libexec/velunor/" + helper, tree + "/libexec/velunor/" + helper));
        QFile::remove(tree + "/" + step.standIn);
        ASSERT_TRUE(QFile::link(writer, tree + "/" + step.standIn));
        trees << tree;
    }
    // The load: two children that count to a bound, ended at the end.
    std::vector<pid_t> load;
    for (int i = 0; i < 2; ++i) {
        const pid_t pid = ::fork();
        if (pid == 0) {
            for (long n = 0; n < 40000000000L; ++n)
                asm volatile("" : : "r"(n)); // kept, not optimised away
            ::_exit(0);
        }
        load.push_back(pid);
    }
    const auto endLoad = qScopeGuard([&] {
        for (pid_t pid : load) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, nullptr, 0);
        }
    });

    const int stops[] = {SIGTERM, SIGINT, SIGHUP};
    const QString ready = root + "/ready";
    ASSERT_EQ(::mkfifo(enc(ready).constData(), 0600), 0);
    for (int attempt = 0; attempt < 100; ++attempt) {
        const size_t k = size_t(attempt) % std::size(steps);
        const int sig = stops[attempt / std::size(steps) % std::size(stops)];
        SCOPED_TRACE(QString("attempt %1: %2 while %3").arg(attempt).arg(strsignal(sig)).arg(steps[k].name).toStdString());
        const QString cache = root + "/cache";
        const int fifo = ::open(enc(ready).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        QProcess p;
        start(p, trees[int(k)] + "/bin/velunor-convert",
              steps[k].more + QStringList{"-o", root + "/out", "-y", pic, pic2}, cache,
              {"VELUNOR_TEST_READY=" + ready});
        // The stand-in at work, or the program ended without reaching it.
        const int exited = int(::syscall(SYS_pidfd_open, pid_t(p.processId()), 0));
        pollfd pf[2] = {{fifo, POLLIN, 0}, {exited, POLLIN, 0}};
        ::poll(pf, 2, 120000);
        ::close(fifo);
        ::close(exited);
        ASSERT_TRUE(pf[0].revents & POLLIN) << p.readAllStandardError().toStdString();
        ASSERT_EQ(::kill(pid_t(p.processId()), sig), 0);
        ASSERT_TRUE(p.waitForFinished(60000));
        EXPECT_EQ(p.exitCode(), 128 + sig) << p.readAllStandardError().toStdString();
        const QStringList left = entries(cache + "/velunor");
        ASSERT_TRUE(left.isEmpty()) << left.join(' ').toStdString();
    }
}
