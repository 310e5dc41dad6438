#include "TestSupport.h"
#include "cli_program.h"

#include <FreeImage.h>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <tuple>
#include <utility>

using namespace testsupport;

namespace {

// Every run gets its own cache, configuration and application-data folders,
// so the test can see what it leaves behind.
class CliTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(tmp.isValid());
        for (const char* d : {"pics", "out", "cache", "config", "appdata", "emptybin"})
            QDir().mkpath(root + "/" + d);
    }

    ProcessResult run(const QStringList& args, const QString& path = QString(), const QString& program = QString())
    {
        QProcess p;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("XDG_CACHE_HOME", root + "/cache");
        env.insert("XDG_CONFIG_HOME", root + "/config");
        env.insert("APPDATA", root + "/appdata");
        if (!path.isEmpty())
            env.insert("PATH", path);
        p.setProcessEnvironment(env);
        p.setWorkingDirectory(root);
        p.setStandardInputFile(QProcess::nullDevice());
        p.start(program.isEmpty() ? convertProgram() : program, args);
        ProcessResult r;
        if (!p.waitForStarted(30000))
            return r;
        p.waitForFinished(300000);
        r.exitCode = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
        r.out = QString::fromLocal8Bit(p.readAllStandardOutput());
        r.err = QString::fromLocal8Bit(p.readAllStandardError());
        return r;
    }

    QString picture(const QString& name, int format, int w, int h)
    {
        const QString path = root + "/pics/" + name;
        EXPECT_TRUE(writeTestPicture(path, format, w, h));
        return path;
    }

    // Nothing of a job may stay in the cache: no run folder, no lock file.
    QStringList leftovers() const
    {
        return QDir(root + "/cache/velunor").entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot);
    }
    QStringList pdfsIn(const QString& folder) const
    {
        return QDir(folder).entryList({"*.pdf", "*.pdf.*", ".*"}, QDir::Files | QDir::Hidden);
    }
    void expectSettingsUntouched() const
    {
        EXPECT_TRUE(QDir(root + "/config").isEmpty());
        EXPECT_TRUE(QDir(root + "/appdata").isEmpty());
    }

    QTemporaryDir tmp;
    QString root = tmp.path();
};

// "Page    2 size: 144 x 36 pts" -> {"144 x 36", ...}
QStringList pageSizes(const QString& pdf, int pages)
{
    const auto r = runProgram("pdfinfo", {"-f", "1", "-l", QString::number(pages), pdf});
    QStringList sizes;
    QRegularExpression re("^Page\\s+\\d+ size:\\s+([\\d.]+ x [\\d.]+) pts", QRegularExpression::MultilineOption);
    for (auto it = re.globalMatch(r.out); it.hasNext();)
        sizes << it.next().captured(1);
    return sizes;
}

QString isoField(const QString& pdf, const QString& field)
{
    const auto r = runProgram("pdfinfo", {"-isodates", "-enc", "UTF-8", pdf});
    for (const QString& line : r.out.split('\n'))
        if (line.startsWith(field + ":"))
            return line.mid(field.size() + 1).trimmed();
    return {};
}

} // namespace

TEST_F(CliTest, OneToFourPicturesGiveThatManyPagesInOrderWithAllInformation)
{
    // Different sizes and formats, so the order of the pages shows; at 200
    // pixels per inch, 400 pixels are 2 inches, 144 points.
    const QStringList pics = {picture("a.png", FIF_PNG, 400, 100), picture("b.jpg", FIF_JPEG, 100, 300),
                              picture("c.bmp", FIF_BMP, 300, 200), picture("d.tif", FIF_TIFF, 200, 400)};
    const QStringList sizes = {"144 x 36", "36 x 108", "108 x 72", "72 x 144"};

    for (int k = 1; k <= 4; ++k) {
        SCOPED_TRACE(k);
        const QString folder = root + "/out/set" + QString::number(k);
        const QString title = "Album " + QString::number(k) + ", Zoë";
        // A trailing "/" on the folder is dropped; the folder itself is made.
        auto r = run(QStringList{"-o", folder + "/", "-t", title, "-a", "Ann Author", "-s", "Holiday", "-k",
                                 "sea, sand", "-d", "D:20240131154500+01'00", "-q", "85"}
                     + pics.mid(0, k));
        ASSERT_EQ(r.exitCode, 0) << r.err.toStdString();
        const QString pdf = folder + "/" + title + ".pdf";
        EXPECT_EQ(r.out, pdf + "\n");
        EXPECT_EQ(pdfPageCount(pdf), k);
        EXPECT_EQ(pageSizes(pdf, k), sizes.mid(0, k));
        EXPECT_EQ(isoField(pdf, "Title"), title);
        EXPECT_EQ(isoField(pdf, "Author"), "Ann Author");
        EXPECT_EQ(isoField(pdf, "Subject"), "Holiday");
        EXPECT_EQ(isoField(pdf, "Keywords"), "sea, sand");
        EXPECT_EQ(isoField(pdf, "Creator"), "Velunor");
        EXPECT_EQ(isoField(pdf, "Producer"), "Velunor");
        EXPECT_TRUE(isoField(pdf, "CreationDate").startsWith("2024-01-31T15:45:00+01"));
        EXPECT_EQ(runProgram("qpdf", {"--check", pdf}).exitCode, 0);
        EXPECT_EQ(pdfsIn(folder), QStringList{title + ".pdf"});
        EXPECT_TRUE(leftovers().isEmpty()) << leftovers().join(' ').toStdString();
        if (k == 4) {
            // Without a terminal the captions come as plain lines.
            EXPECT_EQ(r.err.split('\n', Qt::SkipEmptyParts),
                      (QStringList{"Preparing Files...", "Preparing Files...0%", "Preparing Files...33%",
                                   "Preparing Files...66%", "Preparing Files...100%", "Now Start Creating...",
                                   "Creating...33%", "Creating...66%", "Creating...100%",
                                   "Removing Temporary Files...", "Done."}));
        }
    }
    expectSettingsUntouched();
}

TEST_F(CliTest, DefaultsAndAnExistingDocument)
{
    const QString pic = picture("a.png", FIF_PNG, 50, 150);
    const QString existing = root + "/New PDF Document.pdf";
    ASSERT_TRUE(writeFile(existing, "an older document"));

    // No terminal to ask and no --yes: refused, nothing written.
    auto r = run({pic});
    EXPECT_EQ(r.exitCode, 3);
    EXPECT_TRUE(r.err.contains("The output filename exists, overwrite?"));
    EXPECT_TRUE(r.err.contains("--yes"));
    EXPECT_EQ(readAll(existing), "an older document");
    EXPECT_TRUE(leftovers().isEmpty());

    // --yes replaces it; the defaults: the current folder, the designed title,
    // author and subject, empty keywords.
    r = run({"--yes", pic});
    ASSERT_EQ(r.exitCode, 0) << r.err.toStdString();
    EXPECT_EQ(r.out, existing + "\n");
    EXPECT_EQ(pdfPageCount(existing), 1);
    EXPECT_EQ(pageSizes(existing, 1), QStringList{"18.1417 x 53.8583"}); // 64 x 190 tenths of a mm: halves to even
    EXPECT_EQ(isoField(existing, "Title"), "New PDF Document");
    EXPECT_EQ(isoField(existing, "Author"), "Velunor");
    EXPECT_EQ(isoField(existing, "Subject"), "New Subject");
    EXPECT_EQ(isoField(existing, "Keywords"), "");
    EXPECT_FALSE(isoField(existing, "CreationDate").isEmpty());
    EXPECT_TRUE(leftovers().isEmpty());
    expectSettingsUntouched();
}

TEST_F(CliTest, EveryFailureSaysWhatFailedAndLeavesNothing)
{
    const QString good = picture("good.png", FIF_PNG, 40, 20);
    const QString bad = root + "/pics/holiday.jpg";
    ASSERT_TRUE(writeFile(bad, "not a picture at all"));
    // Stand-ins for one toolkit program each, found before the real ones.
    auto fakeTool = [&](const QString& folder, const QString& tool, const QByteArray& script) {
        QDir().mkpath(root + "/" + folder);
        const QString path = root + "/" + folder + "/" + tool;
        EXPECT_TRUE(writeFile(path, "#!/bin/sh\n" + script));
        QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        return root + "/" + folder + ":" + qEnvironmentVariable("PATH");
    };
    const QString failingJoin = fakeTool("failbin", "qpdf", "echo 'qpdf: this join is broken' >&2\nexit 2\n");
    // Written in part, then a failure: the exit status tells.
    const QString halfJoin
        = fakeTool("halfbin", "qpdf", "for a; do last=$a; done\necho '%PDF-1.5' > \"$last\"\nexit 2\n");
    // Programs that "succeed" by copying their first input to their output:
    // pages and information go missing without a word.
    const QString lazyJoin = fakeTool("lazyjoin", "qpdf", "/bin/cp \"$5\" \"$8\"\n");
    // Our own information step is found among our helpers: a copy of the
    // program in a tree of its own, with a stand-in there.
    const QString tree = root + "/tree";
    QDir().mkpath(tree + "/bin");
    QDir().mkpath(tree + "/libexec/velunor");
    const QString lazyInfo = tree + "/bin/velunor-convert";
    ASSERT_TRUE(QFile::copy(convertProgram(), lazyInfo));
    QFile::setPermissions(lazyInfo, QFile::ReadOwner | QFile::ExeOwner);
    ASSERT_TRUE(QFile::link(QFileInfo(convertProgram()).path() + "/../libexec/velunor/velunor-decode",
                            tree + "/libexec/velunor/velunor-decode"));
    ASSERT_TRUE(writeFile(tree + "/libexec/velunor/velunor-docinfo", "#!/bin/sh\n/bin/cp \"$1\" \"$5\"\n"));
    QFile::setPermissions(tree + "/libexec/velunor/velunor-docinfo", QFile::ReadOwner | QFile::ExeOwner);
    // The same with no information step installed.
    QDir().mkpath(root + "/bare/bin");
    const QString noInfo = root + "/bare/bin/velunor-convert";
    ASSERT_TRUE(QFile::copy(convertProgram(), noInfo));

    struct Case {
        const char* what;
        QStringList args;
        QString path;
        QString said;
        QString program = {};
    };
    const QString out = root + "/out";
    const QList<Case> cases = {
        {"unreadable picture", {"-o", out, good, bad}, {}, bad},
        {"folder that cannot be made", {"-o", root + "/no/such", good}, {}, root + "/no/such"},
        {"missing toolkit", {"-o", out, good}, root + "/emptybin", "toolkit qpdf was found neither"},
        {"join that fails", {"-o", out, good, good}, failingJoin, "qpdf could not add page 2"},
        {"join that fails, in qpdf's words", {"-o", out, good, good}, failingJoin, "qpdf: this join is broken"},
        {"join that fails after writing part", {"-o", out, good, good}, halfJoin, "qpdf could not add page 2"},
        {"toolkit that loses a page", {"-o", out, good, good}, lazyJoin, "holds 1 of its 2 pages"},
        {"information step that drops the information", {"-o", out, good}, {}, "document information (Title)", lazyInfo},
        {"information step missing", {"-o", out, good}, {}, "velunor-docinfo is missing", noInfo},
        {"empty title", {"-o", out + "/t1", "-t", "", good}, {}, "title"},
        {"dot title", {"-o", out + "/t2", "-t", ".", good}, {}, "\".\""},
        {"dot-dot title", {"-o", out + "/t3", "-t", "..", good}, {}, "\"..\""},
        {"title with a slash", {"-o", out + "/t4", "-t", "../escape", good}, {}, "\"/\""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const auto r = run(c.args, c.path, c.program);
        EXPECT_NE(r.exitCode, 0);
        EXPECT_NE(r.exitCode, -1); // no crash
        EXPECT_TRUE(r.err.contains(c.said)) << r.err.toStdString();
        EXPECT_TRUE(r.out.isEmpty());
        EXPECT_TRUE(pdfsIn(out).isEmpty()) << pdfsIn(out).join(' ').toStdString();
        EXPECT_TRUE(leftovers().isEmpty()) << leftovers().join(' ').toStdString();
    }
    // A bad title is found before any folder is made.
    for (const char* t : {"t1", "t2", "t3", "t4"})
        EXPECT_FALSE(QFileInfo::exists(out + "/" + t)) << t;
    EXPECT_FALSE(QFileInfo::exists(root + "/escape.pdf"));
    expectSettingsUntouched();
}

// Every program a conversion starts, traced by the kernel's own account
// (strace): ours, qpdf, and nothing that needs Java.
TEST_F(CliTest, AConversionStartsOurProgramsAndQpdfAndNoJava)
{
    ASSERT_FALSE(QStandardPaths::findExecutable("strace").isEmpty()) << "strace is in tools/packages.txt";
    const QString photo = picture("photo.jpg", FIF_JPEG, 64, 48);
    const QString flat = picture("flat.png", FIF_PNG, 40, 20);
    const QString trace = root + "/trace";
    QProcess p;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("XDG_CACHE_HOME", root + "/cache");
    env.insert("ASAN_OPTIONS", "detect_leaks=0"); // LeakSanitizer cannot run under ptrace
    p.setProcessEnvironment(env);
    p.start("strace", {"-f", "-qq", "-e", "trace=execve", "-e", "signal=none", "-o", trace, convertProgram(), "-y",
                       "-o", root + "/out", photo, flat});
    ASSERT_TRUE(p.waitForFinished(300000));
    ASSERT_EQ(p.exitCode(), 0) << p.readAllStandardError().toStdString();
    ASSERT_EQ(pdfPageCount(root + "/out/New PDF Document.pdf"), 2);
    QStringList started;
    static const QRegularExpression execve(R"re(execve\("([^"]+)")re");
    for (auto it = execve.globalMatch(QString::fromUtf8(readAll(trace))); it.hasNext();)
        started << QFileInfo(it.next().captured(1)).fileName();
    started.removeDuplicates();
    started.sort();
    EXPECT_EQ(started, QStringList({"qpdf", "velunor-convert", "velunor-decode", "velunor-docinfo"}));
    EXPECT_TRUE(started.filter("java", Qt::CaseInsensitive).isEmpty());
}

// Mistakes and failures are said in the program's own words: one prefix,
// its name, on every line that speaks; the usage line names it as typed.
TEST_F(CliTest, UsageMistakesAndFailuresInItsOwnWords)
{
    const struct {
        QStringList args;
        int exitCode;
        QString said; // the line on standard error that names the fault
    } rows[] = {
        {{}, 2, "velunor-convert: no pictures given"},
        {{"-q", "0", "x.png"}, 2, "velunor-convert: the quality must be a whole number from 1 to 100"},
        {{"--no-such-option", "x.png"}, 2, "velunor-convert: Unknown option"},
        {{"-o", root + "/out", root + "/pics/missing.png"}, 1, "velunor-convert: "},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.args.join(' ').toStdString());
        const auto r = run(row.args);
        EXPECT_EQ(r.exitCode, row.exitCode);
        EXPECT_TRUE(r.err.startsWith(row.said) || r.err.contains("\n" + row.said)) << r.err.toStdString();
        for (const QString& line : r.err.split('\n', Qt::SkipEmptyParts))
            EXPECT_TRUE(line.startsWith("velunor-convert: ") || line.startsWith("Try 'velunor-convert --help'")
                        || line.endsWith("...") || line.endsWith('%'))
                << line.toStdString();
        if (row.args.contains(root + "/pics/missing.png")) {
            EXPECT_TRUE(r.err.contains(QRegularExpression("^velunor-convert: .*missing\\.png", QRegularExpression::MultilineOption)))
                << r.err.toStdString();
        }
    }
    const auto r = run({"--help"});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_TRUE(r.out.startsWith("Usage: velunor-convert [options] PICTURE...")) << r.out.toStdString();
    for (const char* o : {"--output-dir", "--title", "--author", "--subject", "--keywords", "--creation-date",
                          "--quality", "--yes", "--version"})
        EXPECT_TRUE(r.out.contains(o)) << o;
    EXPECT_TRUE(r.out.simplified().contains("(default: 85)")) << qPrintable(r.out);
    EXPECT_TRUE(leftovers().isEmpty());
}

TEST_F(CliTest, LeftoversOfAKilledRunGoAtTheNextStart)
{
    const QString dead = root + "/cache/velunor/run-999999";
    QDir().mkpath(dead + "/jpgtmp");
    ASSERT_TRUE(writeFile(dead + "/jpgtmp/0.pdf", "page of a killed run"));
    ASSERT_TRUE(writeFile(dead + ".lock", ""));
    const auto r = run({"-t", "", "x.png"}); // ends early, after the start-up sweep
    EXPECT_NE(r.exitCode, 0);
    EXPECT_TRUE(leftovers().isEmpty()) << leftovers().join(' ').toStdString();
}

TEST_F(CliTest, OnATerminalTheQuestionIsAskedAndTheCaptionsDrawABar)
{
    // script(1) gives the program a terminal; what we type comes through it.
    if (QStandardPaths::findExecutable("script").isEmpty())
        GTEST_SKIP() << "script(1) is not installed";
    const QString pic = picture("a.png", FIF_PNG, 40, 20);
    const QString existing = root + "/New PDF Document.pdf";
    ASSERT_TRUE(writeFile(existing, "an older document"));
    auto typed = [&](const QByteArray& answer) {
        QProcess p;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("XDG_CACHE_HOME", root + "/cache");
        p.setProcessEnvironment(env);
        p.setWorkingDirectory(root);
        const QString command = "'" + convertProgram() + "' -q 50 '" + pic + "'";
        p.start("script", {"-qec", command, "/dev/null"});
        EXPECT_TRUE(p.waitForStarted(30000));
        p.write(answer);
        p.waitForFinished(300000);
        return std::make_pair(p.exitCode(), QString::fromLocal8Bit(p.readAllStandardOutput()));
    };

    auto [code, said] = typed("n\n");
    EXPECT_EQ(code, 3);
    EXPECT_TRUE(said.contains("The output filename exists, overwrite?")) << said.toStdString();
    EXPECT_TRUE(said.contains("[y/N]"));
    EXPECT_EQ(readAll(existing), "an older document");

    std::tie(code, said) = typed("y\n");
    EXPECT_EQ(code, 0) << said.toStdString();
    EXPECT_TRUE(said.contains("\r\x1b[K[##############################] Preparing Files...")) << said.toStdString();
    EXPECT_TRUE(said.contains("] Done.\r\n" + existing)) << said.toStdString();
    EXPECT_EQ(pdfPageCount(existing), 1);
    EXPECT_TRUE(leftovers().isEmpty());

    // A name holding an escape sequence is shown escaped, never obeyed.
    QProcess p;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("XDG_CACHE_HOME", root + "/cache");
    p.setProcessEnvironment(env);
    p.setWorkingDirectory(root);
    const QString odd = "red" + QString(QChar(0x1B)) + "[31m" + QChar(0x9B) + "x.png";
    p.start("script", {"-qec", "'" + convertProgram() + "' -o out '" + odd + "'", "/dev/null"});
    ASSERT_TRUE(p.waitForFinished(300000));
    said = QString::fromLocal8Bit(p.readAllStandardOutput());
    EXPECT_EQ(p.exitCode(), 1) << said.toStdString();
    EXPECT_TRUE(said.contains("red\\x1B[31m\\x9Bx.png")) << said.toStdString();
    EXPECT_FALSE(said.contains("\x1b[31m")) << said.toStdString();
}
