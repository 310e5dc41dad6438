#include "RecordingMessageSink.h"
#include "ScopedEnv.h"
#include "TestSupport.h"
#include "engine/ToolkitSteps.h"
#include "platform/DOSOutputs.h"
#include "platform/ProcessList.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <string>

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

QString dumpDataValue(const QString& pdf, const QString& key)
{
    // Marked as this process's run, so that a job in a test program running
    // alongside, which ends stray pdftk runs, leaves it alone.
    ScopedEnv env;
    env.set(ProcessList::RunnerVariable, QByteArray::number(::getpid()));
    env.set("LC_ALL", "C.UTF-8"); // its output is read as UTF-8
    const auto r = runProgram("pdftk", {pdf, "dump_data_utf8"});
    const QStringList lines = r.out.split('\n');
    for (int i = 0; i + 1 < lines.size(); ++i)
        if (lines[i] == "InfoKey: " + key && lines[i + 1].startsWith("InfoValue: "))
            return lines[i + 1].mid(11);
    return "<missing>";
}

// Live processes started by this process's runners (the script and its Java).
QStringList ourRunsLeft()
{
    QStringList left;
    for (const ProcessList::Entry& e : ProcessList::Snapshot())
        if (!ProcessList::IsZombie(e) && ProcessList::RunnerOf(e.pid) == ::getpid())
            left << e.comm;
    return left;
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
        EXPECT_FALSE(pdfInfoField(pdf, "CreationDate").isEmpty());
        EXPECT_EQ(dumpDataValue(pdf, "CreationDate"), "D:20240102030405-06'00");
        EXPECT_EQ(dumpDataValue(pdf, "Title"), "Café — 東京");
    }
};

TEST_F(ToolkitStepsTest, InfoFileHasARecordPerFieldInOrder)
{
    ToolkitSteps steps(runner, folders);
    DocumentInfo info = sampleInfo();
    info.author.clear();
    info.keywords = "one\r\ntwo";
    QString error;
    ASSERT_TRUE(steps.WriteInfoFile(info, &error)) << qPrintable(error);
    QFile f(folders.infoFile());
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    const QByteArray expected = QString("InfoBegin\r\nInfoKey: Title\r\nInfoValue: Café — 東京\r\n"
                                        "InfoBegin\r\nInfoKey: Author\r\nInfoValue: \r\n"
                                        "InfoBegin\r\nInfoKey: CreationDate\r\nInfoValue: D:20240102030405-06'00\r\n"
                                        "InfoBegin\r\nInfoKey: Subject\r\nInfoValue: <b>\r\n"
                                        "InfoBegin\r\nInfoKey: Keywords\r\nInfoValue: one two\r\n"
                                        "InfoBegin\r\nInfoKey: Creator\r\nInfoValue: Velunor\r\n"
                                        "InfoBegin\r\nInfoKey: Producer\r\nInfoValue: Velunor\r\n")
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
    const QString tk = ToolkitSteps::ToolkitPath();
    ASSERT_FALSE(tk.isEmpty());
    const QString q = ToolkitSteps::QuoteArgument(tk);
    auto Q = [](const QString& p) { return ToolkitSteps::QuoteArgument(p); };
    EXPECT_EQ(steps.JoinCommandLine(1), q + ' ' + Q(folders.tmpDir + "/tmp1.pdf") + ' '
                                            + Q(folders.pageDir + "/1.pdf") + " cat output "
                                            + Q(folders.tmpDir + "/tmp2.pdf") + " dont_ask");
    EXPECT_EQ(steps.InfoCommandLine(3), q + ' ' + Q(folders.tmpDir + "/tmp3.pdf")
                                            + " update_info_utf8 " + Q(folders.tmpDir + "/info.txt")
                                            + " output " + Q(folders.tmpDir + "/tmpx.pdf")
                                            + " dont_ask");
    // Split again, the paths come back whole.
    EXPECT_EQ(DOSOutputs::SplitCommandLine(steps.JoinCommandLine(12)),
              QStringList({tk, folders.chainFile(12), folders.pageFile(12), "cat", "output",
                           folders.chainFile(13), "dont_ask"}));
    EXPECT_EQ(ToolkitSteps::QuoteArgument("/plain/path.pdf"), "/plain/path.pdf");
    EXPECT_EQ(ToolkitSteps::QuoteArgument("/my files/a.pdf"), "\"/my files/a.pdf\"");
    EXPECT_EQ(ToolkitSteps::QuoteArgument("a\"b\\"), "\"a\\\"b\\\\\"");
}

TEST(ToolkitPath, IsLookedForBesideTheProgramFirstThenOnPath)
{
    const QString onPath = QStandardPaths::findExecutable("pdftk");
    ASSERT_FALSE(onPath.isEmpty());
    EXPECT_EQ(ToolkitSteps::ToolkitPath(), onPath);
    // A program of our own in a folder of its own, with and without a
    // toolkit beside it.
    QTemporaryDir dir;
    const QString program = dir.filePath("velunor probe");
    ASSERT_TRUE(QFile::copy(VELUNOR_TEST_HELPER_DIR "/vlnh2_tkpath", program));
    EXPECT_EQ(runProgram(program, {}).out.trimmed(), onPath);
    const QString beside = dir.filePath("pdftk");
    QFile f(beside);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write("#!/bin/sh\n");
    f.close();
    EXPECT_EQ(runProgram(program, {}).out.trimmed(), onPath) << "not executable: passed over";
    ASSERT_TRUE(f.setPermissions(f.permissions() | QFile::ExeOwner));
    EXPECT_EQ(runProgram(program, {}).out.trimmed(), beside);
}

TEST_F(ToolkitStepsTest, ThreePagesJoinInOrderAndCarryAllSevenFields)
{
    makePages(3);
    ToolkitSteps steps(runner, folders);
    ASSERT_TRUE(steps.WriteInfoFile(sampleInfo()));
    QStringList ran;
    for (int i = 1; i <= 2; ++i) {
        const ToolkitRunResult r = steps.RunJoin(i);
        ran << runner.CommandLine();
        EXPECT_TRUE(r.started);
        EXPECT_TRUE(r.outputExists) << qPrintable(r.output);
        // This run is over before the next starts.
        EXPECT_FALSE(runner.ChildRunning());
        EXPECT_TRUE(ourRunsLeft().isEmpty());
    }
    const ToolkitRunResult info = steps.RunInfo(3);
    ran << runner.CommandLine();
    EXPECT_TRUE(info.started);
    EXPECT_TRUE(info.outputExists) << qPrintable(info.output);
    EXPECT_EQ(ran, QStringList({steps.JoinCommandLine(1), steps.JoinCommandLine(2),
                                steps.InfoCommandLine(3)}));
    EXPECT_EQ(WatchedProcessName, "pdftk");
    EXPECT_TRUE(sink.messages.empty());

    EXPECT_EQ(testsupport::pdfPageCount(folders.chainFile(3)), 3);
    EXPECT_EQ(pageWidths(folders.finishedFile(), 3), QStringList({"100", "200", "300"}));
    EXPECT_EQ(runProgram("qpdf", {"--check", folders.finishedFile()}).exitCode, 0);
    expectAllSevenFields(folders.finishedFile());
    // Nothing of our toolkit runs is left (other programs may run pdftk).
    EXPECT_TRUE(ourRunsLeft().isEmpty()) << qPrintable(ourRunsLeft().join(' '));
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
        EXPECT_TRUE(r.outputExists) << qPrintable(r.output);
        EXPECT_EQ(runner.CommandLine(), steps.InfoCommandLine(1));
        EXPECT_TRUE(steps.InfoCommandLine(1).contains(ToolkitSteps::QuoteArgument(folders.chainFile(1))));
        EXPECT_EQ(pageWidths(folders.finishedFile(), 1), QStringList({"100"}));
        expectAllSevenFields(folders.finishedFile());
    }
}

TEST_F(ToolkitStepsTest, FailedRunReportsNoOutputAndTheToolkitsWords)
{
    // Page file 1 is missing: the join cannot work.
    makePages(1);
    ToolkitSteps steps(runner, folders);
    const QString stale = folders.chainFile(2);
    ASSERT_TRUE(QFile::copy(folders.pageFile(0), stale)); // an old file does not count
    const ToolkitRunResult r = steps.RunJoin(1);
    EXPECT_TRUE(r.started);
    EXPECT_FALSE(r.outputExists);
    EXPECT_FALSE(QFile::exists(stale));
    EXPECT_FALSE(r.output.trimmed().isEmpty());
}

// A toolkit that is not a process named "pdftk" once it runs ends the
// runner's loop at its first cycle; the step still returns only after the
// run is over, with its output file and its words.
TEST_F(ToolkitStepsTest, StepWaitsForItsOwnRunWhenTheNameWatchEndsEarly)
{
    QTemporaryDir bin;
    const QString fake = bin.filePath("pdftk");
    QFile f(fake);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write("#!/bin/sh\nexec \"" VELUNOR_TEST_HELPER_DIR "/vlnh2_slowcp\" \"$@\"\n");
    f.close();
    ASSERT_TRUE(f.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
    const QByteArray oldPath = qgetenv("PATH");
    qputenv("PATH", QFile::encodeName(bin.path()) + ':' + oldPath);
    auto restore = qScopeGuard([&] { qputenv("PATH", oldPath); });
    ASSERT_EQ(ToolkitSteps::ToolkitPath(), fake);

    makePages(2);
    ToolkitSteps steps(runner, folders);
    const ToolkitRunResult r = steps.RunJoin(1);
    EXPECT_TRUE(r.started);
    EXPECT_TRUE(r.outputExists);
    EXPECT_EQ(r.output, "joined\n");
    EXPECT_FALSE(runner.ChildRunning());
    EXPECT_TRUE(ourRunsLeft().isEmpty());
}

} // namespace
