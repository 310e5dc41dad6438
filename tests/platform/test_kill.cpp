#include "platform/KillProcessByName.h"
#include "platform/ProcessList.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>
#include <gtest/gtest.h>

#include <csignal>
#include <spawn.h>
#include <sys/stat.h>
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

// Copies of the sleeper under names no other test process uses, so tests
// running side by side never end each other's processes.
struct Names {
    QTemporaryDir dir;
    QString base = QStringLiteral("vk%1").arg(::getpid());
    QString sleeper(const QString& name)
    {
        const QString path = dir.filePath(name);
        if (!QFile::exists(path))
            QFile::copy(helper("vlnh2_sleeper"), path);
        return path;
    }
    QByteArray lower() const { return base.toUtf8() + "s"; }
};

bool runningAs(pid_t pid, const QByteArray& comm)
{
    for (const ProcessList::Entry& e : ProcessList::Snapshot())
        if (e.pid == pid)
            return e.comm == QString::fromUtf8(comm) && !ProcessList::IsZombie(e);
    return false;
}

TEST(KillProcessByName, EndsEveryProcessOfTheNameIgnoringCaseAndOnlyThose)
{
    Names n;
    const QByteArray name = n.lower();          // "vk<pid>s"
    const QByteArray caps = name.toUpper();
    Child lower1(n.sleeper(name));
    Child lower2(n.sleeper(name));
    Child upper(n.sleeper(caps));
    Child longer(n.sleeper(name + "x"));
    Child prefixed(n.sleeper("my" + name));
    ASSERT_TRUE(QTest::qWaitFor([&] {
        return runningAs(lower1.pid, name) && runningAs(lower2.pid, name)
            && runningAs(upper.pid, caps) && runningAs(longer.pid, name + "x")
            && runningAs(prefixed.pid, "my" + name);
    }, 10000));
    EXPECT_TRUE(ProcessList::IsRunning(QString::fromUtf8(name).replace(0, 2, "Vk")));
    EXPECT_FALSE(ProcessList::IsRunning(QString::fromUtf8(name.chopped(1))));
    EXPECT_FALSE(ProcessList::IsRunning(QString::fromUtf8(name + ".bak")));

    // The spelling of the call does not matter either.
    KillProcessByName(QString::fromUtf8(caps.left(3) + name.mid(3)));
    EXPECT_TRUE(lower1.endedBySigkill());
    EXPECT_TRUE(lower2.endedBySigkill());
    EXPECT_TRUE(upper.endedBySigkill());
    // Only equal names match.
    EXPECT_TRUE(longer.alive());
    EXPECT_TRUE(prefixed.alive());
    EXPECT_FALSE(ProcessList::IsRunning(QString::fromUtf8(name)));
}

TEST(KillProcessByName, NoMatchEndsNothing)
{
    Names n;
    Child sleeper(n.sleeper(n.lower()));
    ASSERT_TRUE(QTest::qWaitFor([&] { return runningAs(sleeper.pid, n.lower()); }, 10000));
    KillProcessByName("vlnh2-no-process-has-this-name");
    KillProcessByName(QString());
    EXPECT_TRUE(sleeper.alive());
}

TEST(KillProcessByName, ZombiesDoNotCountAsRunning)
{
    Names n;
    Child sleeper(n.sleeper(n.lower()));
    ASSERT_TRUE(QTest::qWaitFor([&] { return runningAs(sleeper.pid, n.lower()); }, 10000));
    ::kill(sleeper.pid, SIGKILL);
    // Not reaped yet: a zombie of the name is still listed, but is no run.
    ASSERT_TRUE(QTest::qWaitFor([&] {
        for (const ProcessList::Entry& e : ProcessList::Snapshot())
            if (e.pid == sleeper.pid)
                return ProcessList::IsZombie(e);
        return false;
    }, 10000));
    EXPECT_FALSE(ProcessList::IsRunning(QString::fromUtf8(n.lower())));
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
    Names n;
    const QByteArray name = n.lower();
    Child otherRunner(n.sleeper(name + "r"));
    Child gone(n.sleeper(name + "r"));
    ASSERT_TRUE(QTest::qWaitFor([&] { return runningAs(gone.pid, name + "r"); }, 10000));
    const pid_t deadPid = gone.pid;
    ::kill(gone.pid, SIGKILL);
    ASSERT_TRUE(gone.endedBySigkill());
    const QByteArray var = QByteArray(ProcessList::RunnerVariable) + '=';
    Child spared(n.sleeper(name), uid_t(-1), var + QByteArray::number(otherRunner.pid));
    Child orphan(n.sleeper(name), uid_t(-1), var + QByteArray::number(deadPid));
    Child mine(n.sleeper(name), uid_t(-1), var + QByteArray::number(::getpid()));
    Child unmarked(n.sleeper(name));
    ASSERT_TRUE(QTest::qWaitFor([&] {
        return runningAs(spared.pid, name) && runningAs(orphan.pid, name)
            && runningAs(mine.pid, name) && runningAs(unmarked.pid, name)
            && runningAs(otherRunner.pid, name + "r");
    }, 10000));
    EXPECT_EQ(ProcessList::RunnerOf(spared.pid), otherRunner.pid);
    KillProcessByName(QString::fromUtf8(name));
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
    Names n;
    const QByteArray name = n.lower();
    const QString path = n.sleeper(name);
    // The other user must be able to reach and run the copy.
    ::chmod(QFile::encodeName(n.dir.path()).constData(), 0755);
    Child theirs(path, nobody);
    Child ours(path);
    ASSERT_TRUE(QTest::qWaitFor([&] {
        return runningAs(theirs.pid, name) && runningAs(ours.pid, name);
    }, 10000));
    KillProcessByName(QString::fromUtf8(name));
    EXPECT_TRUE(ours.endedBySigkill());
    EXPECT_TRUE(theirs.alive());
}

} // namespace
