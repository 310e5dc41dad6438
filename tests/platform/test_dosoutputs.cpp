#include "RecordingMessageSink.h"
#include "platform/DOSOutputs.h"
#include "platform/ProcessList.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <gtest/gtest.h>

#include <csignal>
#include <memory>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace {

QString helper(const char* name)
{
    return QStringLiteral(VELUNOR_TEST_HELPER_DIR "/") + QString::fromUtf8(name);
}

// Quotes like the toolkit steps do, for the tests' own command lines.
QString quoted(const QString& arg)
{
    QString out = "\"";
    int backslashes = 0;
    for (QChar c : arg) {
        if (c == '\\') {
            ++backslashes;
            continue;
        }
        out += QString(c == '"' ? backslashes * 2 + 1 : backslashes, '\\');
        out += c;
        backslashes = 0;
    }
    return out + QString(backslashes * 2, '\\') + "\"";
}

// A process the test starts itself and ends when it goes out of scope.
struct Spawned {
    pid_t pid = 0;
    explicit Spawned(const QString& program, QStringList args = {})
    {
        args.prepend(program);
        QByteArrayList a8;
        for (const QString& a : args)
            a8 << a.toUtf8();
        std::vector<char*> argv;
        for (QByteArray& a : a8)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        if (posix_spawn(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0)
            pid = 0;
    }
    void end()
    {
        if (pid > 0) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, nullptr, 0);
        }
        pid = 0;
    }
    ~Spawned() { end(); }
};

// Ends this process's children of the given name (runs of our own, which
// KillProcessByName rightly spares).
void endOurChildren(const QString& comm)
{
    for (const ProcessList::Entry& e : ProcessList::Snapshot())
        if (e.ppid == ::getpid() && e.comm == comm && !ProcessList::IsZombie(e))
            ::kill(e.pid, SIGKILL);
}

int countOpenFds()
{
    return int(QDir("/proc/self/fd").entryList(QDir::Files | QDir::System).size());
}

int countZombieChildren()
{
    int n = 0;
    for (const ProcessList::Entry& e : ProcessList::Snapshot())
        if (e.ppid == ::getpid() && ProcessList::IsZombie(e))
            ++n;
    return n;
}

QString expected3000()
{
    QByteArray expected;
    const QByteArray pattern = "0123456789abcdefghijklmnopqrstuvwxyz\n";
    while (expected.size() < 3000)
        expected += pattern;
    expected.truncate(3000);
    return QString::fromUtf8(expected);
}

class DOSOutputsTest : public ::testing::Test {
protected:
    RecordingMessageSink sink;
    DOSOutputs runner {sink};
    QStringList received;
    int overs = 0;
    int receivedAfterOver = 0;

    void SetUp() override
    {
        QObject::connect(&runner, &DOSOutputs::ReceiveOutputs, [this](const QString& text) {
            received << text;
            if (overs)
                ++receivedAfterOver;
        });
        QObject::connect(&runner, &DOSOutputs::CommandOver, [this] { ++overs; });
    }
    void TearDown() override
    {
        if (runner.ChildRunning()) {
            endOurChildren("vlnh2_chunks");
            runner.WaitForChild();
        }
        WatchedProcessName.clear();
    }
    // All the child wrote: what the run read and what it left, once the
    // child is over.
    QString everything()
    {
        runner.WaitForChild();
        return runner.Outputs() + runner.UnreadOutputs();
    }
    QString nonEmptyJoined() const
    {
        QString all;
        for (const QString& t : received)
            all += t;
        return all;
    }
    void expectMessage(const QString& text)
    {
        ASSERT_EQ(sink.messages.size(), 1u);
        EXPECT_EQ(sink.messages[0].title, "Velunor");
        EXPECT_EQ(sink.messages[0].text, text);
        EXPECT_EQ(sink.messages[0].icon, MessageIcon::Critical);
    }
};

// A run that starts no child says why, raises no event, returns nothing and
// keeps the output of the last run that did start.
TEST_F(DOSOutputsTest, NothingStartedSaysWhyAndKeepsEarlierOutput)
{
    WatchedProcessName = "vlnh2_chunks";
    runner.ExecuteCommand(quoted(helper("vlnh2_chunks")) + " 5 5 first");
    ASSERT_EQ(runner.Outputs(), "first");
    overs = 0;
    received.clear();

    QTemporaryDir dir;
    const QString notExecutable = dir.filePath("plain file");
    QFile f(notExecutable);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.close();
    const struct Row {
        QString command; // empty: run the stored one, emptied first
        const char* message;
    } rows[] = {
        {QString(), "Command Line empty"},
        {"vlnh2-no-such-program-anywhere a b", "File or command not found"},
        {quoted(dir.filePath("missing")) + " x", "File or command not found"},
        {quoted(notExecutable), "File or command not found"},
        {"   ", "File or command not found"}, // a blank-only line names no program
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.command.toStdString());
        sink.messages.clear();
        if (row.command.isEmpty())
            runner.setCommandLine(QString());
        EXPECT_EQ(runner.ExecuteCommand(row.command), QString());
        expectMessage(row.message);
        EXPECT_FALSE(runner.LastRunStarted());
        EXPECT_EQ(runner.CommandLine(), row.command);
        EXPECT_EQ(runner.Outputs(), "first");
    }
    EXPECT_EQ(overs, 0);
    EXPECT_TRUE(received.isEmpty());
}

TEST_F(DOSOutputsTest, ChildWritingNothingGivesEmptyTextAndOneCommandOver)
{
    WatchedProcessName = "vlnh2_chunks";
    runner.setCommandLine(quoted(helper("vlnh2_chunks")) + " 0 1");
    EXPECT_EQ(runner.ExecuteCommand(), QString());
    EXPECT_TRUE(runner.LastRunStarted());
    EXPECT_EQ(overs, 1);
    EXPECT_EQ(nonEmptyJoined(), QString());
    EXPECT_TRUE(sink.messages.empty());
    EXPECT_FALSE(runner.ChildRunning());
}

TEST_F(DOSOutputsTest, ThreeThousandBytesArriveInChunksInOrder)
{
    WatchedProcessName = "vlnh2_chunks";
    const QString cmd = quoted(helper("vlnh2_chunks")) + " 3000 700";
    runner.setCommandLine(cmd);
    const QString result = runner.ExecuteCommand();

    EXPECT_EQ(result, expected3000());
    EXPECT_EQ(runner.Outputs(), result);
    int chunks = 0;
    for (const QString& t : received) {
        EXPECT_LE(t.toUtf8().size(), 1024);
        chunks += t.isEmpty() ? 0 : 1;
    }
    EXPECT_GE(chunks, 3);
    EXPECT_EQ(nonEmptyJoined(), result);
    EXPECT_EQ(overs, 1);
    EXPECT_EQ(receivedAfterOver, 0);
    // The argument form leaves its text as the stored command line.
    EXPECT_EQ(runner.CommandLine(), cmd);
}

TEST_F(DOSOutputsTest, CharactersSplitBetweenReadsStayWhole)
{
    WatchedProcessName = "vlnh2_chunks";
    // 3-byte characters: 1024-byte reads cut through them.
    runner.ExecuteCommand(quoted(helper("vlnh2_chunks")) + " 3000 3000 東");
    EXPECT_EQ(runner.Outputs(), QString(1000, QChar(0x6771)));
}

TEST_F(DOSOutputsTest, ArgumentsWithBlanksAndQuotesReachTheChildIntact)
{
    WatchedProcessName = "vlnh2_argv";
    const QStringList args = {"plain", "two words", "say \"hi\"", "/home/my files/a b.pdf",
                              "back\\slash", "ends with\\", "", "Café — 東京", "tab\there"};
    QString cmd = quoted(helper("vlnh2_argv"));
    for (const QString& a : args)
        cmd += ' ' + quoted(a);
    QString expected;
    for (const QString& a : args)
        expected += '[' + a + "]\n";
    // The child may be gone before the first read: the run then ends with
    // its text still in the pipe, which is kept apart.
    const QString result = runner.ExecuteCommand(cmd);
    EXPECT_EQ(result, runner.Outputs());
    EXPECT_EQ(everything(), expected);
    EXPECT_EQ(DOSOutputs::SplitCommandLine(cmd).mid(1), args);
}

TEST(SplitCommandLine, BlanksSeparateAndQuotesGroup)
{
    EXPECT_EQ(DOSOutputs::SplitCommandLine("  a  b\tc "), QStringList({"a", "b", "c"}));
    EXPECT_EQ(DOSOutputs::SplitCommandLine("\"a b\" c\"d e\"f"), QStringList({"a b", "cd ef"}));
    EXPECT_EQ(DOSOutputs::SplitCommandLine("x \"\" y"), QStringList({"x", "", "y"}));
    EXPECT_EQ(DOSOutputs::SplitCommandLine("a\\b \\\"q\\\" \"c:\\\\\""),
              QStringList({"a\\b", "\"q\"", "c:\\"}));
    EXPECT_EQ(DOSOutputs::SplitCommandLine("\"unclosed quote"), QStringList({"unclosed quote"}));
    EXPECT_TRUE(DOSOutputs::SplitCommandLine("").isEmpty());
}

TEST_F(DOSOutputsTest, ChildGetsNullInputAndNoOtherDescriptorOfOurs)
{
    // An inheritable descriptor of our own must not reach the child either.
    const int stray = ::open("/dev/null", O_RDONLY);
    ASSERT_GE(stray, 0);
    WatchedProcessName = "vlnh2_argv";
    runner.ExecuteCommand(quoted(helper("vlnh2_argv")) + " --fds");
    const QString out = everything();
    ::close(stray);
    EXPECT_EQ(out, "stdin /dev/null\n");
}

TEST_F(DOSOutputsTest, NoWatchedProcessEndsTheRunAfterOneCycle)
{
    for (const QString& name : {QString(), QString("vlnh2-nothing-runs-by-this-name")}) {
        received.clear();
        WatchedProcessName = name;
        // The child would write 3000 bytes and stay until they are read.
        const QString out = runner.ExecuteCommand(quoted(helper("vlnh2_chunks")) + " 3000 3000");
        EXPECT_LE(out.toUtf8().size(), 1024);
        EXPECT_LE(received.size(), 1);
        EXPECT_EQ(out, runner.Outputs());
        // The run is over, its child may not be: it is waited for (the rest
        // of its text is drained meanwhile, so it can finish) and reaped.
        EXPECT_EQ(everything(), expected3000());
        EXPECT_FALSE(runner.ChildRunning());
        EXPECT_EQ(countZombieChildren(), 0);
    }
}

TEST_F(DOSOutputsTest, ChildStillRunningAfterTheRunIsWaitedForResponsively)
{
    WatchedProcessName.clear();
    runner.ExecuteCommand(quoted(helper("vlnh2_chunks")) + " 10 10 --hold");
    ASSERT_TRUE(runner.ChildRunning());
    // The child carries the mark of the runner that started it.
    pid_t child = 0;
    for (const ProcessList::Entry& e : ProcessList::Snapshot())
        if (e.ppid == ::getpid() && e.comm == "vlnh2_chunks")
            child = e.pid;
    ASSERT_GT(child, 0);
    EXPECT_TRUE(ProcessList::RunnerMarkOf(child) == ProcessList::OwnMark());
    // While WaitForChild waits, events are handled: this one ends the child.
    bool handled = false;
    QTimer::singleShot(0, [&] {
        handled = true;
        endOurChildren("vlnh2_chunks");
    });
    runner.WaitForChild();
    EXPECT_TRUE(handled);
    EXPECT_FALSE(runner.ChildRunning());
    EXPECT_EQ(countZombieChildren(), 0);
    // The pipe was drained, not cut: the child's text is all there.
    EXPECT_EQ(everything(), "0123456789");
}

// A run ends as soon as its own child has: the pause between two polls is
// cut short by the child's exit, and what the child wrote is all read.
TEST_F(DOSOutputsTest, OwnChildsExitEndsThePauseAtOnce)
{
    WatchedProcessName = "vlnh2_chunks";
    // Handled in the first cycle's event pass, after its name check found
    // the child running: the child ends before the pause begins.
    QTimer::singleShot(0, [&] {
        pid_t ours = 0;
        for (const ProcessList::Entry& e : ProcessList::Snapshot())
            if (e.ppid == ::getpid() && e.comm == "vlnh2_chunks")
                ours = e.pid;
        ASSERT_GT(ours, 0);
        // On a loaded machine the child may not have written yet: the test
        // is about the pause, not about a kill that beats the write.
        EXPECT_TRUE(QTest::qWaitFor([&] {
            // At least ten bytes written: a count of two digits or more.
            QFile io(QStringLiteral("/proc/%1/io").arg(ours));
            return !io.open(QIODevice::ReadOnly)
                   || QString::fromLatin1(io.readAll()).contains(QRegularExpression("wchar: *[1-9][0-9]"));
        }, 10000));
        ::kill(ours, SIGKILL);
        EXPECT_TRUE(QTest::qWaitFor([&] {
            for (const ProcessList::Entry& e : ProcessList::Snapshot())
                if (e.pid == ours)
                    return ProcessList::IsZombie(e);
            return true;
        }, 10000));
    });
    runner.ExecuteCommand(quoted(helper("vlnh2_chunks")) + " 10 10 --hold");
    EXPECT_EQ(runner.LastRunPace().waits, 1);
    EXPECT_EQ(runner.LastRunPace().cutShort, 1);
    EXPECT_EQ(runner.Outputs(), "0123456789");
    EXPECT_FALSE(runner.ChildRunning());
    EXPECT_EQ(runner.LastExitCode(), 128 + SIGKILL);
}

TEST_F(DOSOutputsTest, AnotherProcessOfTheNameProlongsTheRunWhatEverItsCase)
{
    // A sleeper under a name of this test's own, so tests side by side do
    // not meet.
    QTemporaryDir dir;
    const QString name = QStringLiteral("vd%1s").arg(::getpid());
    ASSERT_TRUE(QFile::copy(helper("vlnh2_sleeper"), dir.filePath(name)));
    Spawned other(dir.filePath(name));
    ASSERT_GT(other.pid, 0);
    ASSERT_TRUE(QTest::qWaitFor([&] { return ProcessList::IsRunning(name); }, 10000));
    // Our child starts a holder of the pipe and ends at once; the run must go
    // on while a process of the watched name (spelt in capitals) runs, at
    // its usual pace (our child's end cuts one pause short at most), and
    // end once that one is gone.
    WatchedProcessName = name.toUpper();
    pid_t spawner = 0, holder = 0;
    bool ownChildEndedDuringRun = false;
    bool killedDuringRun = false;
    QObject::connect(&runner, &DOSOutputs::ReceiveOutputs, [&](const QString& text) {
        if (!text.startsWith("spawner"))
            return;
        const QStringList w = text.split(' ');
        spawner = w.value(1).toInt();
        holder = w.value(3).trimmed().toInt();
        // Still inside the run: wait for our own child to end, then end the
        // other process of the watched name a while later.
        ownChildEndedDuringRun = QTest::qWaitFor([&] {
            for (const ProcessList::Entry& e : ProcessList::Snapshot())
                if (e.pid == spawner)
                    return ProcessList::IsZombie(e);
            return true;
        }, 10000);
        QTimer::singleShot(200, [&] {
            killedDuringRun = true;
            other.end();
        });
    });
    runner.ExecuteCommand(quoted(helper("vlnh2_spawner")) + ' ' + quoted(helper("vlnh2_chunks")) +
                          " 0 1 --hold");
    EXPECT_TRUE(ownChildEndedDuringRun);
    EXPECT_TRUE(killedDuringRun);
    EXPECT_EQ(overs, 1);
    EXPECT_LE(runner.LastRunPace().cutShort, 1);
    EXPECT_GT(runner.LastRunPace().waits, runner.LastRunPace().cutShort);
    EXPECT_EQ(runner.LastExitCode(), 0);
    EXPECT_GT(holder, 0);
    if (holder > 0)
        ::kill(holder, SIGKILL);
    EXPECT_FALSE(runner.ChildRunning());
    EXPECT_EQ(countZombieChildren(), 0);
}

TEST_F(DOSOutputsTest, HundredRunsLeaveNoDescriptorsOrZombies)
{
    WatchedProcessName = "vlnh2_argv";
    const QString cmd = quoted(helper("vlnh2_argv")) + " x";
    runner.ExecuteCommand(cmd); // first use may open lasting things (locale, /proc)
    const int before = countOpenFds();
    int good = 0;
    for (int i = 0; i < 100; ++i)
    {
        runner.ExecuteCommand(cmd);
        good += everything() == "[x]\n" ? 1 : 0;
    }
    QCoreApplication::processEvents();
    EXPECT_EQ(good, 100);
    EXPECT_EQ(countOpenFds(), before);
    EXPECT_EQ(countZombieChildren(), 0);
    EXPECT_FALSE(runner.ChildRunning());
}

} // namespace
