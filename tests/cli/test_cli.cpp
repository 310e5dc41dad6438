#include "PictureCheck.h"
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
        {{"-o", root + "/out", root + "/pics/missing.png"}, 2, "velunor-convert: "},
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
    // A page layout that makes no sense stops before any page, saying what
    // was wrong and what is taken.
    const QString pic = picture("p.png", FIF_PNG, 60, 40);
    const struct {
        QStringList args;
        const char* says;
    } layouts[] = {
        {{"--page-size", "A7"}, "unknown page size \"A7\"; give picture, A3, A4, A5, B5, Letter, Legal, or WIDTHxHEIGHT"},
        {{"--page-size", "0x150mm"}, "the width and height must be more than 0"},
        {{"--page-size", "100x150"}, "\"150\" has no unit; give a number with one unit: mm, cm, in or pt"},
        {{"--page-size", "100mmx6in"}, "mixes two units"},
        {{"--page-size", "300x300in"}, "a length may be at most 200in"},
        {{"--page-size", "4x6furlong"}, "unknown unit \"furlong\""},
        {{"--margin", "-2mm"}, "margin: \"-2mm\" is negative"},
        {{"--margin", "10"}, "margin: \"10\" has no unit"},
        {{"--margin", "wide"}, "margin: \"wide\" is not a length"},
        {{"--page-size", "a5", "--margin", "75mm"}, "the margin 75mm leaves no room on a page of A5"},
        {{"--max-ppi", "0"}, "from 1 to 100000"},
        {{"--max-ppi", "1.5"}, "a whole number of pixels per inch"},
        {{"--orientation", "sideways"}, "unknown orientation \"sideways\"; give auto, portrait or landscape"},
        {{"--fit", "stretch"}, "unknown fit \"stretch\"; give into"},
    };
    for (const auto& l : layouts) {
        const auto r = run(QStringList{"-o", root + "/out"} + l.args + QStringList{pic});
        EXPECT_EQ(r.exitCode, 2) << qPrintable(l.args.join(' '));
        EXPECT_TRUE(r.err.contains(l.says)) << qPrintable(r.err);
        EXPECT_TRUE(pdfsIn(root + "/out").isEmpty());
    }
    const auto r = run({"--help"});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_TRUE(r.out.startsWith("Usage: velunor-convert [options] PICTURE...")) << r.out.toStdString();
    for (const char* o : {"--output-dir", "--title", "--author", "--subject", "--keywords", "--creation-date",
                          "--quality", "--yes", "--version", "--page-size", "--orientation", "--margin", "--fit", "--max-ppi"})
        EXPECT_TRUE(r.out.contains(o)) << o;
    EXPECT_TRUE(r.out.simplified().contains("(default: 85)")) << qPrintable(r.out);
    EXPECT_TRUE(leftovers().isEmpty());
}

// Pages on paper, read back by poppler: the page's size from pdfinfo, where
// the picture lies from a rendering at 72 dpi (a pixel a point), and the
// resolution limit from pdfimages.
TEST_F(CliTest, PaperSizesTurnFitAndCentreThePicture)
{
    // A dark picture, so the rendering shows where it lies on white paper.
    const auto dark = [&](const QString& name, int w, int h) {
        RgbImage img{w, h, std::vector<uint8_t>(size_t(w) * h * 3, 40)};
        const QString path = root + "/pics/" + name;
        EXPECT_TRUE(saveRgb(img, path, FIF_JPEG));
        return path;
    };
    const QString photo = dark("photo.jpg", 4032, 3024), small = dark("small.jpg", 600, 400),
                  fourThree = dark("43.jpg", 800, 600);
    // The same, stored lying, with an Exif orientation 6 (turn right) that
    // stands it upright: 600 x 800 as shown.
    const char tiff[] = {'E', 'x', 'i', 'f', 0, 0, 'I', 'I', '*', 0, 8, 0, 0, 0, 1, 0,
                         0x12, 0x01, 3, 0, 1, 0, 0, 0, 6, 0, 0, 0, 0, 0, 0, 0};
    QByteArray jpeg = readAll(fourThree);
    jpeg.insert(2, QByteArray("\xFF\xE1\x00", 3) + char(sizeof tiff + 2) + QByteArray(tiff, sizeof tiff));
    const QString upright = root + "/pics/upright.jpg";
    ASSERT_TRUE(writeFile(upright, jpeg));
    const struct {
        QStringList args;
        QString picture;
        double pageW, pageH, x, top, w, h; // points, from the top left
        int imageW;
    } rows[] = {
        {{"--page-size", "A4"}, photo, 841.89, 595.28, 24.09, 0, 793.70, 595.28, 4032},
        {{"--page-size", "A4", "--orientation", "portrait"}, fourThree, 595.28, 841.89, 0, 197.72, 595.28, 446.46, 800},
        {{"--page-size", "Letter"}, fourThree, 792, 612, 0, 9, 792, 594, 800},
        // Kept as stored (its own JPEG data), turned by the page's matrix.
        {{"--page-size", "A4"}, upright, 595.28, 841.89, 0, 24.09, 595.28, 793.70, 800},
        {{"--page-size", "100x150mm"}, fourThree, 425.20, 283.46, 23.62, 0, 377.95, 283.46, 800},
        {{"--page-size", "A4", "--margin", "20mm"}, fourThree, 841.89, 595.28, 99.69, 56.69, 642.52, 481.89, 800},
        {{"--page-size", "A4", "--fit", "shrink"}, small, 841.89, 595.28, 312.94, 225.64, 216, 144, 600},
        {{"--page-size", "A4", "--max-ppi", "150"}, photo, 841.89, 595.28, 24.09, 0, 793.70, 595.28, 1653},
        // Without the options: the picture's own size at 200 ppi, as ever.
        {{}, small, 216, 144, 0, 0, 216, 144, 600},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.args.join(' ').toStdString());
        const auto done = run(QStringList{"-o", root + "/out", "-y", "-t", "paper"} + r.args + QStringList{r.picture});
        ASSERT_EQ(done.exitCode, 0) << qPrintable(done.err);
        const QString pdf = root + "/out/paper.pdf";
        EXPECT_EQ(qpdfProblems(pdf), QString());
        const QStringList size = pageSizes(pdf, 1).value(0).split(" x ");
        ASSERT_EQ(size.size(), 2);
        EXPECT_NEAR(size[0].toDouble(), r.pageW, 0.01);
        EXPECT_NEAR(size[1].toDouble(), r.pageH, 0.01);
        const auto images = pdfImages(pdf);
        ASSERT_EQ(images.size(), 1u);
        EXPECT_EQ(images[0][3].toInt(), r.imageW);
        const Rendered shown = renderPoppler(pdf, 72);
        ASSERT_TRUE(shown.ok);
        int x0 = shown.image.w, y0 = shown.image.h, x1 = -1, y1 = -1;
        for (int y = 0; y < shown.image.h; ++y)
            for (int x = 0; x < shown.image.w; ++x)
                if (shown.image.at(x, y)[0] < 128) {
                    x0 = std::min(x0, x);
                    y0 = std::min(y0, y);
                    x1 = std::max(x1, x + 1);
                    y1 = std::max(y1, y + 1);
                }
        EXPECT_NEAR(x0, r.x, 1.5);
        EXPECT_NEAR(y0, r.top, 1.5);
        EXPECT_NEAR(x1, r.x + r.w, 1.5);
        EXPECT_NEAR(y1, r.top + r.h, 1.5);
    }
    expectSettingsUntouched();
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
    EXPECT_EQ(p.exitCode(), 2) << said.toStdString();
    EXPECT_TRUE(said.contains("red\\x1B[31m\\x9Bx.png")) << said.toStdString();
    EXPECT_FALSE(said.contains("\x1b[31m")) << said.toStdString();
}
