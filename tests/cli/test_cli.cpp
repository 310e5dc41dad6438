#include "JpegSamples.h"
#include "PictureCheck.h"
#include "ScopedEnv.h"
#include "ScopedNoReadOverride.h"
#include "TestSupport.h"
#include "TextPageSample.h"
#include "cli_fixture.h"

#include <FreeImage.h>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QFont>
#include <QPainter>
#include <QProcess>
#include <QRect>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtEndian>
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <tuple>
#include <utility>

using namespace testsupport;

namespace {

// The command line's own behaviour: usage, defaults, failures, terminals.
using CliTest = CliFixture;

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
    // Our toolkit programs are found among our helpers: a copy of the
    // program in a tree of its own, with the real helpers but for a
    // stand-in (a script), or none, for one of them.
    auto treeWith = [&](const QString& tree, const QString& tool, const QByteArray& script) {
        const QString helpers = root + "/" + tree + "/libexec/velunor";
        QDir().mkpath(root + "/" + tree + "/bin");
        QDir().mkpath(helpers);
        EXPECT_TRUE(QFile::copy(convertProgram(), root + "/" + tree + "/bin/velunor-convert"));
        for (const QString helper : {"velunor-decode", "velunor-join", "velunor-docinfo"}) {
            const QString path = helpers + "/" + helper;
            if (helper != tool) {
                EXPECT_TRUE(QFile::link(QFileInfo(convertProgram()).path() + "/../libexec/velunor/" + helper, path));
            } else if (!script.isEmpty()) {
                EXPECT_TRUE(writeFile(path, "#!/bin/sh\n" + script)
                            && QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
            }
        }
        return root + "/" + tree + "/bin/velunor-convert";
    };
    const QString failingJoin
        = treeWith("failing", "velunor-join", "echo 'velunor-join: this join is broken' >&2\nexit 2\n");
    // Written in part, then a failure: the exit status tells.
    const QString halfJoin = treeWith("half", "velunor-join", "echo '%PDF-1.5' > \"$5\"\nexit 2\n");
    // Programs that "succeed" by copying their first input to their output:
    // pages and information go missing without a word.
    const QString lazyJoin = treeWith("lazyjoin", "velunor-join", "/bin/cp \"$1\" \"$5\"\n");
    const QString lazyInfo = treeWith("lazyinfo", "velunor-docinfo", "/bin/cp \"$1\" \"$5\"\n");
    const QString noJoin = treeWith("nojoin", "velunor-join", {});
    const QString noInfo = treeWith("noinfo", "velunor-docinfo", {});

    struct Case {
        const char* what;
        QStringList args;
        QString path;
        QString said;
        QString program = {};
    };
    const QString out = root + "/out";
    ASSERT_TRUE(writeFile(root + "/plain", "a file where a folder should be"));
    const QList<Case> cases = {
        {"unreadable picture", {"-o", out, good, bad}, {}, bad},
        {"folder that cannot be made", {"-o", root + "/plain/such", good}, {}, root + "/plain is a file, in the way"},
        {"join step missing", {"-o", out, good}, {}, "velunor-join is missing", noJoin},
        {"join that fails", {"-o", out, good, good}, {}, "velunor-join could not add page 2", failingJoin},
        {"join that fails, in its words", {"-o", out, good, good}, {}, "velunor-join: this join is broken", failingJoin},
        {"join that fails after writing part", {"-o", out, good, good}, {}, "velunor-join could not add page 2", halfJoin},
        {"toolkit that loses a page", {"-o", out, good, good}, {}, "holds 1 of its 2 pages", lazyJoin},
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
// (strace): ours, and nothing that needs Java.
TEST_F(CliTest, AConversionStartsOurProgramsAndNoJava)
{
    ASSERT_FALSE(QStandardPaths::findExecutable("strace").isEmpty()) << "strace is in tools/packages.txt";
    const QString photo = picture("photo.jpg", FIF_JPEG, 64, 48);
    const QString flat = picture("flat.png", FIF_PNG, 40, 20);
    const QString trace = root + "/trace";
    ScopedEnv noLeakCheck;
    noLeakCheck.set("ASAN_OPTIONS", "detect_leaks=0"); // LeakSanitizer cannot run under ptrace
    const auto r = run({"-f", "-qq", "-e", "trace=execve", "-e", "signal=none", "-o", trace, convertProgram(), "-y",
                        "-o", root + "/out", photo, flat}, {}, "strace");
    ASSERT_EQ(r.exitCode, 0) << r.err.toStdString();
    ASSERT_EQ(pdfPageCount(root + "/out/New PDF Document.pdf"), 2);
    QStringList started;
    static const QRegularExpression execve(R"re(execve\("([^"]+)")re");
    for (auto it = execve.globalMatch(QString::fromUtf8(readAll(trace))); it.hasNext();)
        started << QFileInfo(it.next().captured(1)).fileName();
    started.removeDuplicates();
    started.sort();
    EXPECT_EQ(started, QStringList({"velunor-convert", "velunor-decode", "velunor-docinfo", "velunor-join"}));
}

// Mistakes are said in the program's own words before any page: one
// prefix, its name, on every line that speaks; the usage line names it as
// typed. A layout that makes no sense says what was wrong and what is taken;
// a text language not installed, the Debian package that brings it.
TEST_F(CliTest, UsageMistakesAndFailuresInItsOwnWords)
{
    const QString pic = picture("p.png", FIF_PNG, 60, 40), missing = inPics("missing.png"), gone = inPics("gone/");
    // A folder without pictures in all its tree.
    const QString empty = inPics("empty");
    QDir().mkpath(empty + "/deeper");
    ASSERT_TRUE(writeFile(empty + "/deeper/a.txt", "x"));
    // A folder with a picture that is a link to nothing.
    const QString linked = inPics("linked");
    QDir().mkpath(linked);
    ASSERT_TRUE(QFile::link(linked + "/nothing", linked + "/gone.jpg"));
    QDir().mkpath(root + "/nodata");
    const struct {
        QStringList args; // after -o root/out and before p.png, unless empty
        QString said; // on standard error; from a line's start when it starts with a line break
        QString tessdata = {}; // the text reader's data, when not the installed one
    } rows[] = {
        {{}, "\nvelunor-convert: no pictures given"},
        // The options are checked before the pictures.
        {{"-q", "0", "x.png"}, "\nvelunor-convert: the quality must be a whole number from 1 to 100"},
        {{"--no-such-option", "x.png"}, "\nvelunor-convert: Unknown option"},
        {{missing}, "\nvelunor-convert: \"" + missing + "\""},
        {{pic, empty}, "\nvelunor-convert: the folder \"" + empty + "\" holds no pictures"},
        {{pic, gone}, "\nvelunor-convert: \"" + gone + "\""},
        {{pic, linked}, "\nvelunor-convert: \"" + linked + "/gone.jpg\" cannot be read (No such file or directory)."},
        {{"--page-size", "A7"}, "unknown page size \"A7\"; give picture, native, A3, A4, A5, B5, Letter, Legal, or WIDTHxHEIGHT"},
        {{"--page-size", "0x150mm"}, "the width and height must be more than 0"},
        {{"--page-size", "100x150"}, "\"150\" has no unit; give a number with one unit: mm, cm, in or pt"},
        {{"--page-size", "100mmx6in"}, "mixes two units"},
        {{"--page-size", "300x300in"}, "a length may be at most 200in"},
        {{"--page-size", "4x6furlong"}, "unknown unit \"furlong\""},
        {{"--margin", "-2mm"}, "margin: \"-2mm\" is negative"},
        {{"--margin", "10"}, "margin: \"10\" has no unit"},
        {{"--margin", "wide"}, "margin: \"wide\" is not a length"},
        {{"--page-size", "a5", "--margin", "75mm"}, "the margin 75mm leaves no room on a page of A5"},
        {{"--margin", "100in"}, "the margin 100in leaves no room for a picture on a page of at most 200in (5080mm)"},
        {{"--max-ppi", "0"}, "from 1 to 100000"},
        {{"--max-ppi", "1.5"}, "a whole number of pixels per inch"},
        {{"--orientation", "sideways"}, "unknown orientation \"sideways\"; give auto, portrait or landscape"},
        {{"--fit", "stretch"}, "unknown fit \"stretch\"; give into"},
        // Text languages.
        {{"--ocr", "xyz"}, "\"xyz\" is not installed. Please install it (Debian package \"tesseract-ocr-xyz\")"},
        {{"--ocr", "eng+chi_sim"}, "(Debian package \"tesseract-ocr-chi-sim\")"},
        {{"--ocr", "eng"}, "(Debian package \"tesseract-ocr-eng\")", root + "/nodata"},
        {{"--ocr", "eng fra"}, "is not a text recognition language"},
        {{"--ocr", "ENG"}, "\"ENG\" is not installed under that name; its code is written \"eng\""},
        {{"--ocr", "eng+osd"}, "\"osd\" is not a language: used by Tesseract to find a page's orientation"},
        {{"--ocr", "eng\n"}, "languages hold a control character (U+000A)"},
        {{"--ocr", ""}, "No text recognition language"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.args.join(' ').toStdString());
        tessdata = row.tessdata;
        const auto r = run(row.args.isEmpty() ? row.args : QStringList{"-o", root + "/out"} + row.args + QStringList{pic});
        EXPECT_EQ(r.exitCode, 2);
        EXPECT_TRUE(("\n" + r.err).contains(row.said)) << r.err.toStdString();
        EXPECT_FALSE(r.err.contains("Preparing")) << r.err.toStdString();
        for (const QString& line : r.err.split('\n', Qt::SkipEmptyParts))
            EXPECT_TRUE(line.startsWith("velunor-convert: ") || line.startsWith("Try 'velunor-convert --help'")
                        || line.endsWith("...") || line.endsWith('%'))
                << line.toStdString();
        EXPECT_TRUE(pdfsIn(root + "/out").isEmpty());
    }
    // A subfolder it may not read (whoever runs the tests): named, nothing made.
    const QString tree = inPics("tree");
    QDir().mkpath(tree + "/locked");
    ASSERT_TRUE(writeTestPicture(tree + "/a.png", FIF_PNG, 20, 20));
    ASSERT_TRUE(writeTestPicture(tree + "/locked/b.png", FIF_PNG, 20, 20));
    ASSERT_EQ(::chmod(QFile::encodeName(tree + "/locked").constData(), 0), 0);
    const QStringList prefix = ScopedNoReadOverride::ProgramPrefix(), args{"-o", root + "/out", tree};
    const auto locked = prefix.isEmpty() ? run(args) : run(prefix.mid(1) + QStringList{convertProgram()} + args, {}, prefix[0]);
    ::chmod(QFile::encodeName(tree + "/locked").constData(), 0700);
    EXPECT_EQ(locked.exitCode, 2);
    EXPECT_TRUE(locked.err.startsWith("velunor-convert: \"" + tree + "/locked\" cannot be read (Permission denied)."))
        << locked.err.toStdString();
    EXPECT_TRUE(pdfsIn(root + "/out").isEmpty());

    const auto r = run({"--help"});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_TRUE(r.out.startsWith("Usage: velunor-convert [options] PICTURE...")) << r.out.toStdString();
    for (const char* o : {"--output-dir", "--title", "--author", "--subject", "--keywords", "--creation-date",
                          "--quality", "--yes", "--version", "--page-size", "--orientation", "--margin", "--fit", "--max-ppi"})
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
    const auto r = run({"-t", "", picture("x.png", FIF_PNG, 8, 8)}); // ends early, after the start-up sweep
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
    auto typed = [&](const QByteArray& answer, const QString& args = {}) {
        QProcess p;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("XDG_CACHE_HOME", root + "/cache");
        p.setProcessEnvironment(env);
        p.setWorkingDirectory(root);
        const QString command = "'" + convertProgram() + "' " + (args.isEmpty() ? "-q 50 '" + pic + "'" : args);
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
    const QString odd = "red" + QString(QChar(0x1B)) + "[31m" + QChar(0x9B) + "x.png";
    std::tie(code, said) = typed("", "-o out '" + odd + "'");
    EXPECT_EQ(code, 2) << said.toStdString();
    EXPECT_TRUE(said.contains("red\\x1B[31m\\x9Bx.png")) << said.toStdString();
    EXPECT_FALSE(said.contains("\x1b[31m")) << said.toStdString();
}
