#include "platform/KillProcessByName.h"
#include "platform/ProcessList.h"

#include <QTest>
#include <gtest/gtest.h>

#include <csignal>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace {

QString helper(const char* name)
{
    return QStringLiteral(VELUNOR_TEST_HELPER_DIR "/") + QString::fromUtf8(name);
}

// A child of the test; ended and reaped when it goes out of scope.
struct Child {
    pid_t pid = 0;
    int status = 0;
    bool reaped = false;
    explicit Child(const QString& program, uid_t asUser = uid_t(-1), const QByteArray& extraEnv = {})
    {
        const QByteArray p = program.toUtf8();
        char* argv[] = {const_cast<char*>(p.constData()), nullptr};
        if (asUser == uid_t(-1)) {
            std::vector<char*> envp;
            for (char** e = environ; *e; ++e)
                envp.push_back(*e);
            if (!extraEnv.isEmpty())
                envp.push_back(const_cast<char*>(extraEnv.constData()));
            envp.push_back(nullptr);
            if (posix_spawn(&pid, argv[0], nullptr, nullptr, argv, envp.data()) != 0)
                pid = 0;
            return;
        }
        pid = ::fork();
        if (pid == 0) {
            if (::setgid(asUser) != 0 || ::setuid(asUser) != 0)
                ::_exit(126);
            ::execve(argv[0], argv, environ);
            ::_exit(127);
        }
    }
    // Waits for the end of the child (it has been killed, or will be).
    bool endedBySigkill()
    {
        if (!reaped && pid > 0 && ::waitpid(pid, &status, 0) == pid)
            reaped = true;
        return reaped && WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL;
    }
    bool alive()
    {
        if (reaped || pid <= 0)
            return false;
        const pid_t r = ::waitpid(pid, &status, WNOHANG);
        if (r == pid)
            reaped = true;
        return r == 0;
    }
    ~Child()
    {
        if (pid > 0 && !reaped) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, nullptr, 0);
        }
    }
};

bool runningAs(pid_t pid, const char* comm)
{
    for (const ProcessList::Entry& e : ProcessList::Snapshot())
        if (e.pid == pid)
            return e.comm == comm && !ProcessList::IsZombie(e);
    return false;
}

TEST(KillProcessByName, EndsEveryProcessOfTheNameIgnoringCaseAndOnlyThose)
{
    Child lower1(helper("vlnh2_sleeper"));
    Child lower2(helper("vlnh2_sleeper"));
    Child upper(helper("VLNH2_SLEEPER"));
    Child longer(helper("vlnh2_sleeperx"));
    ASSERT_TRUE(QTest::qWaitFor([&] {
        return runningAs(lower1.pid, "vlnh2_sleeper") && runningAs(lower2.pid, "vlnh2_sleeper")
            && runningAs(upper.pid, "VLNH2_SLEEPER") && runningAs(longer.pid, "vlnh2_sleeperx");
    }, 10000));
    EXPECT_TRUE(ProcessList::IsRunning("Vlnh2_Sleeper"));
    EXPECT_FALSE(ProcessList::IsRunning("vlnh2_sleepe"));
    EXPECT_FALSE(ProcessList::IsRunning("vlnh2_sleeper.bak"));

    KillProcessByName("VLNH2_sleeper");
    EXPECT_TRUE(lower1.endedBySigkill());
    EXPECT_TRUE(lower2.endedBySigkill());
    EXPECT_TRUE(upper.endedBySigkill());
    // Only equal names match; and the caller itself is never ended.
    EXPECT_TRUE(longer.alive());
    EXPECT_FALSE(ProcessList::IsRunning("vlnh2_sleeper"));
}

TEST(KillProcessByName, NoMatchEndsNothing)
{
    Child sleeper(helper("vlnh2_sleeperx"));
    ASSERT_TRUE(QTest::qWaitFor([&] { return runningAs(sleeper.pid, "vlnh2_sleeperx"); }, 10000));
    KillProcessByName("vlnh2-no-process-has-this-name");
    KillProcessByName(QString());
    EXPECT_TRUE(sleeper.alive());
}

TEST(KillProcessByName, ZombiesDoNotCountAsRunning)
{
    Child sleeper(helper("vlnh2_sleeper"));
    ASSERT_TRUE(QTest::qWaitFor([&] { return runningAs(sleeper.pid, "vlnh2_sleeper"); }, 10000));
    ::kill(sleeper.pid, SIGKILL);
    // Not reaped yet: a zombie of the name is still listed, but is no run.
    ASSERT_TRUE(QTest::qWaitFor([&] {
        for (const ProcessList::Entry& e : ProcessList::Snapshot())
            if (e.pid == sleeper.pid)
                return ProcessList::IsZombie(e);
        return false;
    }, 10000));
    EXPECT_FALSE(ProcessList::IsRunning("vlnh2_sleeper"));
}

// Debian's pdftk is "#!/usr/bin/env sh" running Java as a child: the process
// list shows "sh" for it, so it goes by the script's name instead, and its
// child ends with it.
TEST(KillProcessByName, ScriptRunGoesByTheScriptNameAndTakesItsChildAlong)
{
    Child script(helper("vlnh2_script"));
    pid_t worker = 0;
    ASSERT_TRUE(QTest::qWaitFor([&] {
        for (const ProcessList::Entry& e : ProcessList::Snapshot())
            if (e.ppid == script.pid && e.comm == "vlnh2_sleeper" && !ProcessList::IsZombie(e))
                worker = e.pid;
        return worker != 0;
    }, 10000));
    EXPECT_TRUE(runningAs(script.pid, "sh"));
    EXPECT_TRUE(ProcessList::IsRunning("vlnh2_script"));
    // "sh" itself is not the script's name for other shells.
    EXPECT_FALSE(ProcessList::IsRunning("vlnh2_scrip"));

    KillProcessByName("VLNH2_SCRIPT");
    EXPECT_TRUE(script.endedBySigkill());
    EXPECT_TRUE(QTest::qWaitFor([&] { return !runningAs(worker, "vlnh2_sleeper"); }, 10000));
}

// Two Velunor processes of one user must not spoil each other's jobs: a run
// marked as another live runner's is no stray. Unmarked runs, runs of a
// runner that is gone and our own runs are ended.
TEST(KillProcessByName, SparesTheRunsOfAnotherLiveRunner)
{
    Child otherRunner(helper("vlnh2_sleeperx"));
    Child gone(helper("vlnh2_sleeperx"));
    ASSERT_TRUE(QTest::qWaitFor([&] { return runningAs(gone.pid, "vlnh2_sleeperx"); }, 10000));
    const pid_t deadPid = gone.pid;
    ::kill(gone.pid, SIGKILL);
    ASSERT_TRUE(gone.endedBySigkill());
    const QByteArray var = QByteArray(ProcessList::RunnerVariable) + '=';
    Child spared(helper("vlnh2_sleeper"), uid_t(-1), var + QByteArray::number(otherRunner.pid));
    Child orphan(helper("vlnh2_sleeper"), uid_t(-1), var + QByteArray::number(deadPid));
    Child mine(helper("vlnh2_sleeper"), uid_t(-1), var + QByteArray::number(::getpid()));
    Child unmarked(helper("vlnh2_sleeper"));
    ASSERT_TRUE(QTest::qWaitFor([&] {
        return runningAs(spared.pid, "vlnh2_sleeper") && runningAs(orphan.pid, "vlnh2_sleeper")
            && runningAs(mine.pid, "vlnh2_sleeper") && runningAs(unmarked.pid, "vlnh2_sleeper")
            && runningAs(otherRunner.pid, "vlnh2_sleeperx");
    }, 10000));
    EXPECT_EQ(ProcessList::RunnerOf(spared.pid), otherRunner.pid);
    KillProcessByName("vlnh2_sleeper");
    EXPECT_TRUE(orphan.endedBySigkill());
    EXPECT_TRUE(mine.endedBySigkill());
    EXPECT_TRUE(unmarked.endedBySigkill());
    EXPECT_TRUE(spared.alive());
}

TEST(KillProcessByName, LeavesOtherUsersProcessesAlone)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root to start a process as another user";
    const uid_t nobody = 65534;
    Child theirs(helper("vlnh2_sleeper"), nobody);
    Child ours(helper("vlnh2_sleeper"));
    ASSERT_TRUE(QTest::qWaitFor([&] {
        return runningAs(theirs.pid, "vlnh2_sleeper") && runningAs(ours.pid, "vlnh2_sleeper");
    }, 10000));
    KillProcessByName("vlnh2_sleeper");
    EXPECT_TRUE(ours.endedBySigkill());
    EXPECT_TRUE(theirs.alive());
}

} // namespace
