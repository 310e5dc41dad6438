#include "RecordingMessageSink.h"
#include "ScopedEnv.h"
#include "TestSupport.h"
#include "engine/job/PageMaker.h"
#include "engine/job/ToolkitSteps.h"
#include "platform/AppPaths.h"
#include "platform/DOSOutputs.h"
#include "platform/ProcessList.h"

#include <FreeImage.h>
#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QFile>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QTest>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include <csignal>
#include <sys/wait.h>
#include <unistd.h>

using testsupport::pdfInfoField;
using testsupport::runProgram;
using testsupport::ScopedEnv;

namespace {

// A valid one-page PDF whose page is w x h points, written by hand so the
// tests need nothing of the page maker.
bool writePagePdf(const QString& path, int w, int h)
{
    QByteArray pdf = "%PDF-1.4\n";
    QList<qsizetype> offsets;
    auto object = [&](const QByteArray& body) {
        offsets << pdf.size();
        pdf += QByteArray::number(offsets.size()) + " 0 obj\n" + body + "\nendobj\n";
    };
    const QByteArray content = "0 0 1 rg 0 0 " + QByteArray::number(w / 2) + " 10 re f\n";
    object("<< /Type /Catalog /Pages 2 0 R >>");
    object("<< /Type /Pages /Kids [3 0 R] /Count 1 >>");
    object("<< /Type /Page /Parent 2 0 R /MediaBox [0 0 " + QByteArray::number(w) + ' '
           + QByteArray::number(h) + "] /Resources << >> /Contents 4 0 R >>");
    object("<< /Length " + QByteArray::number(content.size()) + " >>\nstream\n" + content
           + "endstream");
    const qsizetype xref = pdf.size();
    pdf += "xref\n0 " + QByteArray::number(offsets.size() + 1) + "\n0000000000 65535 f \n";
    for (qsizetype off : offsets)
        pdf += QByteArray::number(off).rightJustified(10, '0') + " 00000 n \n";
    pdf += "trailer\n<< /Size " + QByteArray::number(offsets.size() + 1)
        + " /Root 1 0 R >>\nstartxref\n" + QByteArray::number(xref) + "\n%%EOF\n";
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(pdf) == pdf.size();
}

// "Page    2 size: 200 x 400 pts" for each page, as pdfinfo reports them.
QStringList pageWidths(const QString& pdf, int pages)
{
    const auto r = runProgram("pdfinfo", {"-f", "1", "-l", QString::number(pages), pdf});
    QStringList widths;
    static const QRegularExpression re(R"(Page\s+\d+ size:\s+(\d+) x)");
    for (auto it = re.globalMatch(r.out); it.hasNext();)
        widths << it.next().captured(1);
    return widths;
}

// A date as written in the document, as poppler reads it.
QString rawDate(const QString& pdf, const QString& key)
{
    for (const QString& line : runProgram("pdfinfo", {"-rawdates", pdf}).out.split('\n'))
        if (line.startsWith(key + ':'))
            return line.mid(key.size() + 1).trimmed();
    return "<missing>";
}

// What an independent reader sees of a document: page sizes, every image
// (size, colour, encoding, bytes; not its object number) and each page
// rendered.
QStringList documentSeen(const QString& pdf, const QString& renderDir)
{
    static const QRegularExpression pageLine(R"(^Page\s+\d+ (size|rot):)");
    QStringList seen = runProgram("pdfinfo", {"-f", "1", "-l", "99", pdf}).out.split('\n').filter(pageLine);
    for (const QString& line : runProgram("pdfimages", {"-list", pdf}).out.split('\n').mid(2)) {
        QStringList cols = line.simplified().split(' ');
        if (cols.size() > 12)
            cols.remove(10, 2);
        seen << cols.join(' ');
    }
    QDir().mkpath(renderDir);
    runProgram("pdftoppm", {"-r", "20", pdf, renderDir + "/p"});
    for (const QString& page : QDir(renderDir).entryList(QDir::Files, QDir::Name))
        seen << page + ' ' + QString::number(qHash(testsupport::readAll(renderDir + '/' + page)));
    return seen;
}

// Live processes started by this process's runners.
QStringList ourRunsLeft()
{
    QStringList left;
    for (const ProcessList::Entry& e : ProcessList::Snapshot())
        if (!ProcessList::IsZombie(e) && ProcessList::RunnerOf(e.pid) == ::getpid())
            left << e.comm;
    return left;
}

// A process the test starts with one more environment entry (if any) and
// ends, reaped, when it goes.
struct Started {
    pid_t pid = 0;
    Started(const QString& program, const QByteArray& extraEnv) : pid(testsupport::spawnWithEnv(program, extraEnv)) {}
    bool endedBySigkill()
    {
        int status = 0;
        return pid > 0 && ::waitpid(pid, &status, 0) == pid && WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL
            && (pid = 0) == 0;
    }
    ~Started()
    {
        if (pid > 0) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, nullptr, 0);
        }
    }
};

bool liveNamed(pid_t pid, const QString& comm)
{
    for (const ProcessList::Entry& e : ProcessList::Snapshot())
        if (e.pid == pid)
            return e.comm == comm && !ProcessList::IsZombie(e);
    return false;
}

class ToolkitStepsTest : public ::testing::Test {
protected:
    // A home folder with a blank and a quote in its name must work.
    QTemporaryDir base {QDir::tempPath() + "/velunor h2 \"q\" XXXXXX"};
    WorkFolders folders;
    RecordingMessageSink sink;
    DOSOutputs runner {sink};

    void SetUp() override
    {
        ASSERT_TRUE(base.isValid());
        folders.tmpDir = base.filePath("tmpvelunor");
        folders.pageDir = base.filePath("jpgtmp");
        ASSERT_TRUE(QDir().mkpath(folders.tmpDir));
        ASSERT_TRUE(QDir().mkpath(folders.pageDir));
    }
    void makePages(int n)
    {
        for (int i = 0; i < n; ++i)
            ASSERT_TRUE(writePagePdf(folders.pageFile(i), 100 * (i + 1), 400));
        ASSERT_EQ(runProgram("qpdf", {"--check", folders.pageFile(0)}).exitCode, 0);
        ASSERT_TRUE(QFile::copy(folders.pageFile(0), folders.chainFile(1)));
    }
    DocumentInfo sampleInfo() const
    {
        DocumentInfo info;
        info.title = "Café — 東京";
        info.author = "A & B";
        info.creationDate = "D:20240102030405-06'00";
        info.subject = "<b>";
        info.keywords = "&#233;";
        return info;
    }
    void expectAllSevenFields(const QString& pdf)
    {
        EXPECT_EQ(pdfInfoField(pdf, "Title"), "Café — 東京");
        EXPECT_EQ(pdfInfoField(pdf, "Author"), "A & B");
        EXPECT_EQ(pdfInfoField(pdf, "Subject"), "<b>");
        EXPECT_EQ(pdfInfoField(pdf, "Keywords"), "&#233;");
        EXPECT_EQ(pdfInfoField(pdf, "Creator"), "Velunor");
        EXPECT_EQ(pdfInfoField(pdf, "Producer"), "Velunor");
        EXPECT_EQ(rawDate(pdf, "CreationDate"), "D:20240102030405-06'00");
    }
};

TEST_F(ToolkitStepsTest, InfoFileHasItsFourteenLinesInOrder)
{
    ToolkitSteps steps(runner, folders);
    DocumentInfo info = sampleInfo();
    info.author.clear();
    info.keywords = "one\r\ntwo";
    QString error;
    ASSERT_TRUE(steps.WriteInfoFile(info, &error)) << qPrintable(error);
    QFile f(folders.infoFile());
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    const QByteArray expected = QString("InfoKey: Title\r\nInfoValue: Café — 東京\r\n"
                                        "InfoKey: Author\r\nInfoValue: \r\n"
                                        "InfoKey: CreationDate\r\nInfoValue: D:20240102030405-06'00\r\n"
                                        "InfoKey: Subject\r\nInfoValue: <b>\r\n"
                                        "InfoKey: Keywords\r\nInfoValue: one two\r\n"
                                        "InfoKey: Creator\r\nInfoValue: Velunor\r\n"
                                        "InfoKey: Producer\r\nInfoValue: Velunor\r\n")
                                    .toUtf8();
    EXPECT_EQ(f.readAll(), expected);
}

TEST_F(ToolkitStepsTest, InfoFileThatCannotBeWrittenNamesTheFile)
{
    folders.tmpDir = base.filePath("no such folder");
    ToolkitSteps steps(runner, folders);
    QString error;
    EXPECT_FALSE(steps.WriteInfoFile(sampleInfo(), &error));
    EXPECT_TRUE(error.contains(folders.infoFile())) << qPrintable(error);
}

TEST_F(ToolkitStepsTest, CommandLinesAreTheJoinAndInfoStepsWithQuotedPaths)
{
    ToolkitSteps steps(runner, folders);
    const QString join = ToolkitSteps::ToolPath("velunor-join");
    const QString docinfo = ToolkitSteps::ToolPath("velunor-docinfo");
    ASSERT_EQ(join, AppPaths::HelperProgram("velunor-join"));
    ASSERT_EQ(docinfo, AppPaths::HelperProgram("velunor-docinfo"));
    auto Q = [](const QString& p) { return ToolkitSteps::QuoteArgument(p); };
    EXPECT_EQ(steps.JoinCommandLine(1), Q(join) + ' ' + Q(folders.tmpDir + "/tmp1.pdf") + ' '
                                            + Q(folders.pageDir + "/1.pdf") + " cat output "
                                            + Q(folders.tmpDir + "/tmp2.pdf") + " dont_ask");
    EXPECT_EQ(steps.InfoCommandLine(3), Q(docinfo) + ' ' + Q(folders.tmpDir + "/tmp3.pdf")
                                            + " update_info " + Q(folders.tmpDir + "/info.txt")
                                            + " output " + Q(folders.tmpDir + "/tmpx.pdf")
                                            + " dont_ask");
    // Split again, the paths come back whole.
    EXPECT_EQ(DOSOutputs::SplitCommandLine(steps.JoinCommandLine(12)),
              QStringList({join, folders.chainFile(12), folders.pageFile(12), "cat", "output",
                           folders.chainFile(13), "dont_ask"}));
    EXPECT_EQ(ToolkitSteps::QuoteArgument("/plain/path.pdf"), "/plain/path.pdf");
    EXPECT_EQ(ToolkitSteps::QuoteArgument("/my files/a.pdf"), "\"/my files/a.pdf\"");
    EXPECT_EQ(ToolkitSteps::QuoteArgument("a\"b\\"), "\"a\\\"b\\\\\"");
}

// Both programs only where our helpers are installed, never another
// program of that name.
TEST(ToolPath, BothProgramsAmongOurHelpers)
{
    // A program of our own in a tree of its own: bin/ and libexec/velunor/.
    QTemporaryDir dir;
    ASSERT_TRUE(QDir().mkpath(dir.filePath("bin")) && QDir().mkpath(dir.filePath("libexec/velunor")));
    const QString program = dir.filePath("bin/velunor probe");
    ASSERT_TRUE(QFile::copy(VELUNOR_TEST_HELPER_DIR "/vlnh2_tkpath", program));
    const struct {
        const char* tool;
        const char* placed; // where a stand-in is put
        QString found;      // where it is looked for with no stand-in
    } rows[] = {{"velunor-join", "libexec/velunor/velunor-join", QString()},
                {"velunor-docinfo", "libexec/velunor/velunor-docinfo", QString()}};
    const QByteArray oldPath = qgetenv("PATH");
    auto restore = qScopeGuard([&] { qputenv("PATH", oldPath); });
    for (const auto& row : rows) {
        SCOPED_TRACE(row.tool);
        // One on PATH never counts for our own helper.
        qputenv("PATH", QFile::encodeName(QFileInfo(AppPaths::HelperProgram(row.tool)).path()) + ':' + oldPath);
        EXPECT_EQ(runProgram(program, {row.tool}).out.trimmed(), row.found);
        const QString placed = dir.filePath(row.placed);
        QFile f(placed);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write("#!/bin/sh\n");
        f.close();
        EXPECT_EQ(runProgram(program, {row.tool}).out.trimmed(), row.found) << "not executable: passed over";
        ASSERT_TRUE(f.setPermissions(f.permissions() | QFile::ExeOwner));
        EXPECT_EQ(runProgram(program, {row.tool}).out.trimmed(), placed);
    }
    EXPECT_EQ(ToolkitSteps::MissingTool(), QString());
}

TEST_F(ToolkitStepsTest, ThreePagesJoinInOrderAndCarryAllSevenFields)
{
    makePages(3);
    ToolkitSteps steps(runner, folders);
    ASSERT_TRUE(steps.WriteInfoFile(sampleInfo()));
    QStringList ran, watched;
    for (int i = 1; i <= 2; ++i) {
        const ToolkitRunResult r = steps.RunJoin(i);
        ran << runner.CommandLine();
        watched << WatchedProcessName;
        EXPECT_TRUE(r.started);
        EXPECT_TRUE(r.ok) << qPrintable(r.output);
        EXPECT_EQ(r.exitCode, 0);
        // This run is over before the next starts.
        EXPECT_FALSE(runner.ChildRunning());
        EXPECT_TRUE(ourRunsLeft().isEmpty());
        // The chain file joined has moved on to its next name.
        EXPECT_FALSE(QFile::exists(folders.chainFile(i)));
        EXPECT_TRUE(QFile::exists(folders.chainFile(i + 1)));
    }
    const ToolkitRunResult info = steps.RunInfo(3);
    ran << runner.CommandLine();
    watched << WatchedProcessName;
    EXPECT_TRUE(info.started);
    EXPECT_TRUE(info.ok) << qPrintable(info.output);
    EXPECT_EQ(ran, QStringList({steps.JoinCommandLine(1), steps.JoinCommandLine(2),
                                steps.InfoCommandLine(3)}));
    EXPECT_EQ(watched, QStringList({"velunor-join", "velunor-join", "velunor-docinfo"}));
    EXPECT_TRUE(sink.messages.empty());

    EXPECT_EQ(testsupport::pdfPageCount(folders.chainFile(3)), 3);
    EXPECT_EQ(pageWidths(folders.finishedFile(), 3), QStringList({"100", "200", "300"}));
    EXPECT_EQ(runProgram("qpdf", {"--check", folders.finishedFile()}).exitCode, 0);
    expectAllSevenFields(folders.finishedFile());
    // Nothing of our toolkit runs is left.
    EXPECT_TRUE(ourRunsLeft().isEmpty()) << qPrintable(ourRunsLeft().join(' '));
}

// The joined document, judged by poppler: page k is page file k (size,
// picture and rendering alike), and the information is all there.
TEST_F(ToolkitStepsTest, JoinedDocumentIsItsPageFilesInOrder)
{
    PageMaker maker(folders, sink, YieldFunction());
    maker.BeginJob();
    const int bpp[] = {24, 8, 32};
    for (int i = 0; i < 3; ++i) {
        const QString pic = base.filePath(QString("pic%1.png").arg(i));
        ASSERT_TRUE(testsupport::writeTestPicture(pic, FIF_PNG, 120 + 40 * i, 200 - 30 * i, bpp[i]));
        ASSERT_TRUE(maker.MakePage(i, pic, 85).ok());
    }
    ToolkitSteps steps(runner, folders);
    ASSERT_TRUE(steps.WriteInfoFile(sampleInfo()));
    ASSERT_TRUE(QFile::copy(folders.pageFile(0), folders.chainFile(1)));
    for (int i = 1; i < 3; ++i)
        ASSERT_TRUE(steps.RunJoin(i).ok) << qPrintable(runner.Outputs());
    ASSERT_TRUE(steps.RunInfo(3).ok);

    const QString doc = folders.finishedFile();
    const QStringList seen = documentSeen(doc, base.filePath("doc"));
    // One picture a page, whatever its coding (flat test pictures go lossless).
    EXPECT_EQ(seen.filter(QRegularExpression(" image .* (jpeg|image) ")).size(), 3) << qPrintable(seen.join('\n'));
    EXPECT_EQ(seen.filter("size:").size(), 3);
    for (int i = 0; i < 3; ++i) {
        SCOPED_TRACE(i);
        const QStringList alone = documentSeen(folders.pageFile(i), base.filePath(QString("page%1").arg(i)));
        const QString number = QString::number(i + 1);
        // poppler: the size, the picture (its page and image numbers aside) and the rendering.
        EXPECT_EQ(seen.filter(QRegularExpression("^Page\\s+" + number + " size:")).value(0).section(':', 1),
                  alone.filter("size:").value(0).section(':', 1));
        EXPECT_EQ(seen.filter(QRegularExpression("^" + number + " ")).value(0).section(' ', 2),
                  alone.filter(QRegularExpression("^1 ")).value(0).section(' ', 2));
        EXPECT_EQ(seen.filter(".ppm ").value(i).section(' ', 1), alone.filter(".ppm ").value(0).section(' ', 1));
    }
    expectAllSevenFields(doc);
}

TEST_F(ToolkitStepsTest, OnePageTakesOnlyTheInfoStepAndKeepsItsTextUnderAnyLocale)
{
    makePages(1);
    ToolkitSteps steps(runner, folders);
    ASSERT_TRUE(steps.WriteInfoFile(sampleInfo()));
    // The information file is UTF-8 whatever locale the program runs under
    // (a script started by cron has none).
    const struct {
        const char* lcAll;
        const char* lang;
    } locales[] = {{"", "C.UTF-8"}, {"C", "C.UTF-8"}, {"", ""}, {"POSIX", "en_US.ISO-8859-1"}};
    for (const auto& l : locales) {
        SCOPED_TRACE(std::string("LC_ALL=") + l.lcAll + " LANG=" + l.lang);
        ScopedEnv env;
        env.set("LC_ALL", l.lcAll);
        env.set("LC_CTYPE", "");
        env.set("LANG", l.lang);
        QFile::remove(folders.finishedFile());
        const ToolkitRunResult r = steps.RunInfo(1);
        EXPECT_TRUE(r.ok) << qPrintable(r.output);
        EXPECT_EQ(runner.CommandLine(), steps.InfoCommandLine(1));
        EXPECT_TRUE(steps.InfoCommandLine(1).contains(ToolkitSteps::QuoteArgument(folders.chainFile(1))));
        EXPECT_EQ(pageWidths(folders.finishedFile(), 1), QStringList({"100"}));
        expectAllSevenFields(folders.finishedFile());
    }
}

// A run fails when it writes no output, and also when it ends badly after
// writing part of it (a full disk): either way its words are kept, nothing
// of its output is left, and the chain file it read stays.
TEST_F(ToolkitStepsTest, FailedJoinReportsTheToolkitsWordsAndLeavesNoOutput)
{
    QTemporaryDir bin;
    const QString halfWriter = bin.filePath("velunor-join");
    ASSERT_TRUE(testsupport::writeFile(halfWriter, "#!/bin/sh\nfor a; do last=$a; done\n"
                                                   "echo partial > \"$5\"\necho 'velunor-join: write failed' >&2\nexit 2\n"));
    ASSERT_TRUE(QFile::setPermissions(halfWriter, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
    struct Case {
        const char* what;
        bool pageMissing;
        bool halfWritten;
        const char* said;
    };
    for (const Case& c : {Case{"page file missing", true, false, "1.pdf"},
                          Case{"written in part, then failed", false, true, "velunor-join: write failed"}}) {
        SCOPED_TRACE(c.what);
        makePages(2);
        if (c.pageMissing)
            QFile::remove(folders.pageFile(1));
        ToolkitSteps steps(runner, folders, c.halfWritten ? bin.path() : QString());
        const QString stale = folders.chainFile(2);
        ASSERT_TRUE(QFile::copy(folders.pageFile(0), stale)); // an old file does not count
        const ToolkitRunResult r = steps.RunJoin(1);
        EXPECT_TRUE(r.started);
        EXPECT_FALSE(r.ok);
        EXPECT_EQ(r.tool, "velunor-join");
        EXPECT_NE(r.exitCode, 0);
        EXPECT_FALSE(r.diskFull);
        EXPECT_FALSE(QFile::exists(stale));
        EXPECT_TRUE(QFile::exists(folders.chainFile(1)));
        EXPECT_TRUE(r.output.contains(c.said)) << qPrintable(r.output);
        QFile::remove(folders.chainFile(1));
    }
}

// Before the joins, the stray runs of both programs go: those a Velunor
// program that is gone started. (Which runs are spared, the user's own
// among them, is KillProcessByName's own test, under names no real program
// has, so that no job running alongside waits on them.)
TEST(ToolkitStrays, StrayRunsOfBothProgramsEnd)
{
    QTemporaryDir dir;
    ProcessList::RunnerMark dead;
    {
        Started gone(VELUNOR_TEST_HELPER_DIR "/vlnh2_sleeper", {});
        dead = ProcessList::MarkOf(gone.pid);
    }
    const QByteArray strayMark = QByteArray(ProcessList::RunnerVariable) + '=' + dead.Text();
    std::vector<std::unique_ptr<Started>> strays;
    for (const QString tool : {"velunor-join", "velunor-docinfo"}) {
        ASSERT_TRUE(QFile::copy(VELUNOR_TEST_HELPER_DIR "/vlnh2_sleeper", dir.filePath(tool)));
        strays.push_back(std::make_unique<Started>(dir.filePath(tool), strayMark));
    }
    ASSERT_TRUE(QTest::qWaitFor([&] {
        return liveNamed(strays[0]->pid, "velunor-join") && liveNamed(strays[1]->pid, "velunor-docinfo");
    }, 10000));
    ToolkitSteps::EndStrayRuns();
    for (auto& s : strays)
        EXPECT_TRUE(s->endedBySigkill());
}

// A join that is not a process named "velunor-join" once it runs ends the
// runner's loop at its first cycle; the step still returns only after the
// run is over, with its output file and its words.
TEST_F(ToolkitStepsTest, StepWaitsForItsOwnRunWhenTheNameWatchEndsEarly)
{
    QTemporaryDir bin;
    const QString fake = bin.filePath("velunor-join");
    QFile f(fake);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write("#!/bin/sh\nexec \"" VELUNOR_TEST_HELPER_DIR "/vlnh2_slowcp\" \"$@\"\n");
    f.close();
    ASSERT_TRUE(f.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
    makePages(2);
    ToolkitSteps steps(runner, folders, bin.path());
    const ToolkitRunResult r = steps.RunJoin(1);
    EXPECT_TRUE(r.started);
    EXPECT_TRUE(r.ok);
    EXPECT_EQ(r.output, "joined\n");
    EXPECT_FALSE(runner.ChildRunning());
    EXPECT_TRUE(ourRunsLeft().isEmpty());
}

} // namespace
