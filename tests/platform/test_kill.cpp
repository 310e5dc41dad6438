#include "TestSupport.h"
#include "platform/KillProcessByName.h"
#include "platform/ProcessList.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>
#include <gtest/gtest.h>

#include <csignal>
#include <memory>
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
            pid = testsupport::spawnWithEnv(program, extraEnv);
            return;
        }
        pid = ::fork();
        if (pid == 0) {
            if (::setgid(asUser) != 0 || ::setuid(asUser) != 0)
                ::_exit(126);
            if (!extraEnv.isEmpty())
                ::putenv(const_cast<char*>(extraEnv.constData()));
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

// The mark a runner gives its children, naming the runner's process.
QByteArray markOf(const ProcessList::RunnerMark& runner)
{
    return QByteArray(ProcessList::RunnerVariable) + '=' + runner.Text();
}
QByteArray markOf(pid_t runner)
{
    return markOf(ProcessList::MarkOf(runner));
}

// The mark of a process that has ended: a Velunor program that was killed.
ProcessList::RunnerMark deadProcess()
{
    Child gone(helper("vlnh2_sleeper"));
    const ProcessList::RunnerMark mark = ProcessList::MarkOf(gone.pid);
    ::kill(gone.pid, SIGKILL);
    gone.endedBySigkill();
    return mark;
}

TEST(KillProcessByName, EndsStrayRunsOfTheNameIgnoringCaseAndOnlyThose)
{
    Names n;
    const QByteArray name = n.lower();          // "vk<pid>s"
    const QByteArray caps = name.toUpper();
    const QByteArray stray = markOf(deadProcess());
    Child lower1(n.sleeper(name), uid_t(-1), stray);
    Child lower2(n.sleeper(name), uid_t(-1), stray);
    Child upper(n.sleeper(caps), uid_t(-1), stray);
    Child longer(n.sleeper(name + "x"), uid_t(-1), stray);
    Child prefixed(n.sleeper("my" + name), uid_t(-1), stray);
    ASSERT_TRUE(QTest::qWaitFor([&] {
        return runningAs(lower1.pid, name) && runningAs(lower2.pid, name)
            && runningAs(upper.pid, caps) && runningAs(longer.pid, name + "x")
            && runningAs(prefixed.pid, "my" + name);
    }, 10000));
    EXPECT_TRUE(ProcessList::IsRunning(QString::fromUtf8(name).replace(0, 2, "Vk")));
    EXPECT_FALSE(ProcessList::IsRunning(QString::fromUtf8(name.chopped(1))));
    EXPECT_FALSE(ProcessList::IsRunning(QString::fromUtf8(name + ".bak")));

    // No name, or a name nothing goes by, ends nothing.
    KillProcessByName("vlnh2-no-process-has-this-name");
    KillProcessByName(QString());
    EXPECT_TRUE(lower1.alive());
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

// A toolkit program may be a "#!/usr/bin/env sh" script that does its work in
// a child: the process list shows "sh" for it, so it goes by the script's
// name instead, and its child (which carries the same mark) ends with it.
TEST(KillProcessByName, ScriptRunGoesByTheScriptNameAndTakesItsChildAlong)
{
    Child script(helper("vlnh2_script"), uid_t(-1), markOf(deadProcess()));
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

// Only a run that a Velunor program started and that nobody waits for any
// more is a stray: the user's own runs (no mark), the runs of another live
// Velunor and our own runs are work in progress and are never signalled;
// nor is a run whose mark cannot be judged from here (made in another PID
// namespace, where its id names another process, or a bare id).
TEST(KillProcessByName, OnlyRunsOfAVelunorProgramThatIsGoneAreStrays)
{
    Names n;
    const QByteArray name = n.lower();
    Child otherRunner(n.sleeper(name + "r"));
    ASSERT_TRUE(QTest::qWaitFor([&] { return runningAs(otherRunner.pid, name + "r"); }, 10000));
    struct Case {
        const char* what;
        QByteArray mark;
        bool ended;
    };
    const Case cases[] = {
        {"the user's own run", {}, false},
        {"run of another live Velunor", markOf(otherRunner.pid), false},
        {"run of this program", markOf(::getpid()), false},
        {"run of a Velunor that was killed", markOf(deadProcess()), true},
        {"run of a killed Velunor whose id a newer process took",
         markOf(ProcessList::RunnerMark{otherRunner.pid, ProcessList::OwnMark().pidNamespace, 1}), true},
        {"run marked in another PID namespace",
         markOf(ProcessList::RunnerMark{deadProcess().pid, ProcessList::OwnMark().pidNamespace + 1, 1}), false},
        {"run carrying a bare id", QByteArray(ProcessList::RunnerVariable) + '=' + QByteArray::number(deadProcess().pid),
         false},
    };
    std::vector<std::unique_ptr<Child>> runs;
    for (const Case& c : cases)
        runs.push_back(std::make_unique<Child>(n.sleeper(name), uid_t(-1), c.mark));
    ASSERT_TRUE(QTest::qWaitFor([&] {
        for (const auto& r : runs)
            if (!runningAs(r->pid, name))
                return false;
        return true;
    }, 10000));
    EXPECT_EQ(ProcessList::RunnerOf(runs[1]->pid), otherRunner.pid);
    KillProcessByName(QString::fromUtf8(name));
    for (std::size_t i = 0; i < runs.size(); ++i) {
        SCOPED_TRACE(cases[i].what);
        if (cases[i].ended)
            EXPECT_TRUE(runs[i]->endedBySigkill());
        else
            EXPECT_TRUE(runs[i]->alive());
    }
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
    const QByteArray stray = markOf(deadProcess());
    Child theirs(path, nobody, stray);
    Child ours(path, uid_t(-1), stray);
    ASSERT_TRUE(QTest::qWaitFor([&] {
        return runningAs(theirs.pid, name) && runningAs(ours.pid, name);
    }, 10000));
    KillProcessByName(QString::fromUtf8(name));
    EXPECT_TRUE(ours.endedBySigkill());
    EXPECT_TRUE(theirs.alive());
}

} // namespace
