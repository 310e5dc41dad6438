#include "JpegSamples.h"
#include "PictureCheck.h"
#include "ScopedEnv.h"
#include "ScopedNoReadOverride.h"
#include "TestSupport.h"
#include "TextPageSample.h"
#include "cli_program.h"

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
        env.remove("TESSDATA_PREFIX");
        if (!tessdata.isEmpty())
            env.insert("TESSDATA_PREFIX", tessdata);
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

    // To root/out, replacing what is there.
    ProcessResult convert(const QStringList& pictures) { return run(QStringList{"-o", root + "/out", "-y"} + pictures); }
    QString inPics(const QString& name) const { return root + "/pics/" + name; }
    QStringList outputFiles() const { return QDir(root + "/out").entryList(QDir::Files | QDir::Hidden); }
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
    QString tessdata; // the text reader's data for the runs, when set
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

// v as `bytes` little-endian bytes.
void put(QByteArray& a, quint32 v, int bytes)
{
    for (int k = 0; k < bytes; ++k)
        a += char(v >> (8 * k));
}

// A little-endian TIFF of 8-bit grey pages, one strip each. A page with
// `thumbnail` set is marked as a reduced-resolution copy; `cut` gives its
// strip a byte count that runs past the end of the file.
struct TiffPage {
    int w, h, grey;
    bool thumbnail = false;
    bool cut = false;
};
QByteArray greyTiff(const QList<TiffPage>& pages)
{
    QByteArray tiff("II*\0", 4);
    put(tiff, 8, 4);
    for (int k = 0; k < pages.size(); ++k) {
        const TiffPage& p = pages.at(k);
        const quint16 entries = 10;
        const quint32 here = quint32(tiff.size());
        const quint32 pixelsAt = here + 2 + 12 * entries + 4;
        const quint32 pixels = quint32(p.w * p.h);
        const quint32 next = k + 1 < pages.size() ? pixelsAt + pixels : 0;
        const quint32 table[entries][3] = {
            {254, 4, p.thumbnail ? 1u : 0u}, {256, 4, quint32(p.w)}, {257, 4, quint32(p.h)}, {258, 3, 8},
            {259, 3, 1}, {262, 3, 1}, {273, 4, pixelsAt}, {277, 3, 1}, {278, 4, quint32(p.h)},
            {279, 4, p.cut ? pixels * 50 : pixels},
        };
        put(tiff, entries, 2);
        for (const auto& e : table) { // a short value lies left-justified in its four bytes
            put(tiff, e[0] | e[1] << 16, 4);
            put(tiff, 1, 4);
            put(tiff, e[2], 4);
        }
        put(tiff, next, 4);
        tiff += QByteArray(int(p.cut ? pixels / 2 : pixels), char(p.grey));
    }
    return tiff;
}

// Page n's size in points and the grey of its middle, as poppler draws it.
std::tuple<double, double, int> pageLook(const QString& pdf, int n)
{
    const QString at = QString::number(n);
    const auto m = QRegularExpression(QString("Page\\s+%1 MediaBox:\\s+\\S+\\s+\\S+\\s+(\\S+)\\s+(\\S+)").arg(n))
                       .match(runProgram("pdfinfo", {"-f", at, "-l", at, "-box", pdf}).out);
    QTemporaryDir d;
    runProgram("pdftoppm", {"-r", "50", "-f", at, "-l", at, "-singlefile", "-png", pdf, d.filePath("p")});
    const RgbImage img = loadRgb(d.filePath("p.png"));
    return {m.captured(1).toDouble(), m.captured(2).toDouble(), img.w > 0 ? img.at(img.w / 2, img.h / 2)[0] : -1};
}

// The raw bytes of the page's picture stream, as qpdf shows them.
QByteArray imageStream(const QString& pdf)
{
    const ProcessResult pages = runProgram("qpdf", {"--show-pages", "--with-images", pdf});
    const QRegularExpressionMatch m = QRegularExpression("/Im1: (\\d+) 0 R").match(pages.out);
    if (!m.hasMatch())
        return {};
    QProcess p;
    p.start("qpdf", {"--show-object=" + m.captured(1), "--raw-stream-data", pdf});
    p.waitForFinished(60000);
    return p.readAllStandardOutput();
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

// Pages on paper, read back by poppler: the page's size from pdfinfo, where
// the picture lies from a rendering at 72 dpi (a pixel a point), and the
// resolution limit from pdfimages.
TEST_F(CliTest, PaperSizesTurnFitAndCentreThePicture)
{
    // A dark picture, so the rendering shows where it lies on white paper.
    const auto dark = [&](const QString& name, int w, int h) {
        EXPECT_TRUE(saveRgb(RgbImage{w, h, std::vector<uint8_t>(size_t(w) * h * 3, 40)}, inPics(name), FIF_JPEG));
        return inPics(name);
    };
    const QString photo = dark("photo.jpg", 4032, 3024), small = dark("small.jpg", 600, 400),
                  fourThree = dark("43.jpg", 800, 600);
    // The same, stored lying, with an Exif orientation 6 (turn right) that
    // stands it upright: 600 x 800 as shown.
    const QByteArray exif = exifWithOrientation(6);
    const QString upright = inPics("upright.jpg");
    ASSERT_TRUE(writeFile(upright, readAll(fourThree).insert(2, QByteArray("\xFF\xE1\x00", 3) + char(exif.size() + 2) + exif)));
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
        EXPECT_FALSE(done.err.contains("warning")) << qPrintable(done.err);
        const QString pdf = root + "/out/paper.pdf";
        EXPECT_EQ(qpdfProblems(pdf), QString());
        const auto [pageW, pageH] = mediaBoxPoints(pdf);
        EXPECT_NEAR(pageW, r.pageW, 0.01);
        EXPECT_NEAR(pageH, r.pageH, 0.01);
        const auto images = pdfImages(pdf);
        ASSERT_EQ(images.size(), 1u);
        EXPECT_EQ(images[0][3].toInt(), r.imageW);
        const Rendered shown = renderPoppler(pdf, 72);
        ASSERT_TRUE(shown.ok);
        QRect dark;
        for (int y = 0; y < shown.image.h; ++y)
            for (int x = 0; x < shown.image.w; ++x)
                if (shown.image.at(x, y)[0] < 128)
                    dark |= QRect(x, y, 1, 1);
        EXPECT_NEAR(dark.left(), r.x, 1.5);
        EXPECT_NEAR(dark.top(), r.top, 1.5);
        EXPECT_NEAR(dark.left() + dark.width(), r.x + r.w, 1.5);
        EXPECT_NEAR(dark.top() + dark.height(), r.top + r.h, 1.5);
    }
    // Pages with every picture under an inch are made, with a warning.
    const auto tiny = run({"-o", root + "/out", "-y", "-t", "tiny", "--page-size", "A5", "--margin", "70mm", small});
    EXPECT_EQ(tiny.exitCode, 0);
    EXPECT_TRUE(tiny.err.contains("velunor-convert: warning: The margin of 70mm leaves less than 1 inch")) << qPrintable(tiny.err);
    EXPECT_EQ(pdfPageCount(root + "/out/tiny.pdf"), 1);
    expectSettingsUntouched();
}

// The picture kinds beside the design's: every page of a multi-page TIFF,
// damaged and oversize HEIC, AVIF, WebP and JPEG XL files, and folders as
// arguments.
TEST_F(CliTest, EveryPageOfAMultiPageTiffBecomesAPageInOrder)
{
    const QString document = root + "/out/New PDF Document.pdf";
    // Three pages and a thumbnail of the first, then a PNG: four pages.
    ASSERT_TRUE(writeFile(inPics("scan.tif"), greyTiff({{100, 40, 30}, {50, 80, 130}, {120, 60, 230}, {10, 4, 90, true}})));
    ASSERT_TRUE(writeTestPicture(inPics("after.png"), FIF_PNG, 200, 100));
    const ProcessResult r = convert({inPics("scan.tif"), inPics("after.png")});
    ASSERT_EQ(r.exitCode, 0) << r.err.toStdString();
    EXPECT_EQ(qpdfProblems(document), "");
    ASSERT_EQ(pdfPageCount(document), 4);
    // Width and height in pixels (0.36 points each) and the grey, if known.
    const int expected[][3] = {{100, 40, 30}, {50, 80, 130}, {120, 60, 230}, {200, 100, -1}};
    for (int n = 1; n <= 4; ++n) {
        const auto [w, h, grey] = pageLook(document, n);
        EXPECT_NEAR(w, expected[n - 1][0] * 0.36, 0.5) << "page " << n;
        EXPECT_NEAR(h, expected[n - 1][1] * 0.36, 0.5) << "page " << n;
        EXPECT_NEAR(grey, expected[n - 1][2] < 0 ? grey : expected[n - 1][2], 3) << "page " << n;
    }
    // The progress counts list entries: 0% and 100%, nothing more.
    EXPECT_EQ(r.err.count("Preparing Files...0%"), 1) << r.err.toStdString();
    EXPECT_EQ(r.err.count("Preparing Files...100%"), 1);
    EXPECT_FALSE(r.err.contains("Preparing Files...33%") || r.err.contains("Preparing Files...66%"));

    // A page that cannot be read fails the job by file and page number.
    ASSERT_TRUE(writeFile(inPics("torn.tif"), greyTiff({{100, 40, 30}, {50, 80, 130, false, true}, {120, 60, 230}})));
    QFile::remove(document);
    const ProcessResult torn = convert({inPics("after.png"), inPics("torn.tif")});
    EXPECT_EQ(torn.exitCode, 1);
    EXPECT_TRUE(torn.err.contains(inPics("torn.tif")) && torn.err.contains("page 2 of 3")) << torn.err.toStdString();
    EXPECT_TRUE(outputFiles().isEmpty()) << outputFiles().join(' ').toStdString();
    EXPECT_TRUE(leftovers().isEmpty());
}

TEST_F(CliTest, CutAndOversizeFilesOfEachNewKindAreRefusedByNameLeavingNoDocument)
{
    ASSERT_TRUE(writeTestPicture(inPics("source.png"), FIF_PNG, 160, 120));
    ASSERT_TRUE(writeFile(inPics("long.pgm"), "P5\n65600 1\n255\n" + QByteArray(65600, '\x80')));
    // Made by their own encoders; the oversize ones claim 30,000 x 30,000
    // in their boxes or 16,383 x 16,383 in their header, or are 65,600 wide.
    const struct {
        const char* name;
        QStringList encode;
        const char* oversizeFrom; // encoded from long.pgm when set
    } kinds[] = {
        {"photo.heic", {"heif-enc", "-q", "90", "%in", "-o", "%out"}, nullptr},
        {"photo.avif", {"avifenc", "%in", "%out"}, nullptr},
        {"photo.webp", {"cwebp", "-quiet", "-lossless", "%in", "-o", "%out"}, nullptr},
        {"photo.jxl", {"cjxl", "%in", "%out", "-d", "1"}, "long.pgm"},
    };
    ASSERT_TRUE(writeTestPicture(inPics("fine.png"), FIF_PNG, 64, 48));
    for (const auto& kind : kinds) {
        SCOPED_TRACE(kind.name);
        const auto encode = [&](const QString& in, const QString& out) {
            QStringList args = kind.encode.mid(1);
            args.replaceInStrings("%in", in).replaceInStrings("%out", out);
            return runProgram(kind.encode.first(), args).exitCode == 0;
        };
        const QString good = inPics(kind.name);
        ASSERT_TRUE(encode(inPics("source.png"), good));
        const QByteArray bytes = readAll(good);
        const QString cut = inPics(QString("half-") + kind.name);
        ASSERT_TRUE(writeFile(cut, bytes.left(bytes.size() / 2)));
        const QString big = inPics(QString("big-") + kind.name);
        if (kind.oversizeFrom) {
            ASSERT_TRUE(encode(inPics(kind.oversizeFrom), big));
        } else {
            QByteArray b = bytes;
            if (QByteArray(kind.name).endsWith("webp")) {
                // VP8L: 14 bits each of width and height minus one.
                const quint32 v = qFromLittleEndian<quint32>(b.constData() + 21);
                qToLittleEndian((v & ~0x0FFFFFFFu) | 16382u | 16382u << 14, b.data() + 21);
            } else {
                for (qsizetype at = b.indexOf("ispe"); at >= 0; at = b.indexOf("ispe", at + 4))
                    b.replace(at + 8, 8, QByteArray("\0\0\x75\x30\0\0\x75\x30", 8)); // 30,000 x 30,000, big-endian
            }
            ASSERT_TRUE(writeFile(big, b));
        }
        for (const QString& bad : {cut, big}) {
            const ProcessResult r = convert({inPics("fine.png"), bad});
            EXPECT_EQ(r.exitCode, 1) << bad.toStdString();
            EXPECT_TRUE(r.err.contains(bad)) << r.err.toStdString();
            EXPECT_FALSE(r.err.contains(".cc:")) << r.err.toStdString(); // no decoder's debugging lines
            EXPECT_TRUE(bad == cut || r.err.contains("larger than the limit") || r.err.contains("more than the limit"))
                << r.err.toStdString();
            EXPECT_TRUE(outputFiles().isEmpty()) << outputFiles().join(' ').toStdString();
            EXPECT_TRUE(leftovers().isEmpty());
        }
    }
}

TEST_F(CliTest, AFolderArgumentAddsThePicturesOfItsTreeAsAddFolderDoes)
{
    const QString document = root + "/out/New PDF Document.pdf";
    // Sizes tell the pages apart: width 10 x the place it should take.
    const QString d = root + "/pics/album";
    for (const char* sub : {"b sub", "a sub", ".hidden"})
        QDir().mkpath(d + "/" + sub);
    auto make = [](const QString& path, int format, int place) { ASSERT_TRUE(writeTestPicture(path, format, 10 * place, 20)); };
    make(inPics("first.png"), FIF_PNG, 1);
    make(d + "/scan2.PNG", FIF_PNG, 2);
    make(d + "/scan10.bmp", FIF_BMP, 3);
    make(d + "/a sub/x.jpg", FIF_JPEG, 4);
    make(d + "/b sub/y.png", FIF_PNG, 6);
    ASSERT_EQ(runProgram("cwebp", {"-quiet", "-lossless", inPics("first.png"), "-o", d + "/a sub/z.webp"}).exitCode, 0);
    ASSERT_EQ(runProgram("convert", {"-size", "50x20", "xc:gray", d + "/a sub/zz.png"}).exitCode, 0);
    make(d + "/.hidden/no.png", FIF_PNG, 9);
    ASSERT_TRUE(writeFile(d + "/notes.txt", "not a picture"));
    ASSERT_TRUE(QFile::link(d + "/scan2.PNG", d + "/a sub/link-to-scan2.jpeg"));

    const ProcessResult r = convert({inPics("first.png"), d});
    ASSERT_EQ(r.exitCode, 0) << r.err.toStdString();
    // first.png; album's own pictures (scan2 before scan10); "a sub" (the
    // link as a file, x.jpg, z.webp, zz.png); "b sub"; nothing of .hidden.
    const QList<double> widths = {10, 20, 30, 20, 40, 10, 50, 60};
    ASSERT_EQ(pdfPageCount(document), widths.size());
    for (int n = 1; n <= widths.size(); ++n)
        EXPECT_NEAR(std::get<0>(pageLook(document, n)), widths.at(n - 1) * 0.36, 0.5) << "page " << n;
}

// A page the test drew itself at 300 dpi: its words come back in reading
// order and in place; the picture stream and what one sees stay as they are
// without the text; without --ocr there is no text at all.
TEST_F(CliTest, DrawnTextPageIsSearchableAndLooksTheSame)
{
    QVector<textpage::DrawnWord> words;
    const QImage page = textpage::drawPage(300, &words);
    const QString picture = root + "/page.png";
    ASSERT_TRUE(page.save(picture));

    const ProcessResult with = convert({"-t", "with", "--ocr", "eng", "--sidecar", "words.txt", picture});
    ASSERT_EQ(with.exitCode, 0) << qPrintable(with.err);
    // The words beside the document, in reading order, as the page has them.
    const textpage::Score beside = textpage::score(words, QString::fromUtf8(readAll(root + "/words.txt")), QString(), 1);
    EXPECT_GE(beside.found, beside.expected * 99 / 100) << readAll(root + "/words.txt").toStdString();
    EXPECT_TRUE(with.err.contains("Reading Text 1 of 1...")) << qPrintable(with.err);
    const ProcessResult without = convert({"-t", "without", picture});
    ASSERT_EQ(without.exitCode, 0) << qPrintable(without.err);
    EXPECT_FALSE(without.err.contains("Reading Text"));
    const QString a = root + "/out/with.pdf", b = root + "/out/without.pdf";

    // Also on paper with margins, where the picture is scaled and moved.
    const ProcessResult onA4 = convert({"-t", "a4", "--page-size", "A4", "--margin", "15mm", "--ocr", "eng", picture});
    ASSERT_EQ(onA4.exitCode, 0) << qPrintable(onA4.err);
    for (const QString& pdf : {a, root + "/out/a4.pdf"}) {
        EXPECT_EQ(runProgram("qpdf", {"--check", pdf}).exitCode, 0);
        const QString raw = runProgram("pdftotext", {"-raw", pdf, "-"}).out;
        const QString boxes = runProgram("pdftotext", {"-bbox", pdf, "-"}).out;
        // Where the picture lies on the page, as MuPDF draws it (points from
        // the top left; no turn), whatever the page's layout.
        const QRegularExpressionMatch place =
            QRegularExpression("<fill_image [^>]*transform=\"([-0-9.]+) [-0-9.]+ [-0-9.]+ [-0-9.]+ ([-0-9.]+) ([-0-9.]+)\"")
                .match(runProgram("mutool", {"trace", pdf}).out);
        ASSERT_TRUE(place.hasMatch());
        const textpage::Score s = textpage::score(words, raw, boxes, place.captured(1).toDouble() / page.width(),
                                                  QPointF(place.captured(2).toDouble(), place.captured(3).toDouble()));
        EXPECT_GE(s.found, s.expected * 99 / 100) << qPrintable(pdf + "\n" + raw);
        EXPECT_GE(s.inPlace, s.found * 90 / 100) << qPrintable(pdf + "\n" + boxes);
    }

    const QByteArray image = imageStream(b);
    ASSERT_FALSE(image.isEmpty());
    EXPECT_TRUE(image == imageStream(a));
    EXPECT_TRUE(runProgram("pdftotext", {b, "-"}).out.trimmed().isEmpty());
    EXPECT_FALSE(runProgram("pdffonts", {b}).out.contains("Type"));
    // What one sees: the same rendering, pixel for pixel.
    for (const QString& pdf : {a, b})
        ASSERT_EQ(runProgram("pdftoppm", {"-r", "30", "-gray", "-singlefile", pdf, pdf}).exitCode, 0);
    EXPECT_FALSE(readAll(a + ".pgm").isEmpty());
    EXPECT_TRUE(readAll(a + ".pgm") == readAll(b + ".pgm"));
}

// Every page of a multi-page TIFF gets its own text, in its own place.
TEST_F(CliTest, EachPageOfAMultiPageTiffGetsItsOwnText)
{
    const QStringList texts = {"Harbour lights at dawn", "Lighthouse keepers sleep"};
    QStringList parts;
    for (const QString& words : texts) {
        QImage page(1600, 500, QImage::Format_Grayscale8);
        page.fill(Qt::white);
        QPainter p(&page);
        QFont f("DejaVu Sans");
        f.setPixelSize(60);
        p.setFont(f);
        p.drawText(QRect(0, 0, 1600, 500), Qt::AlignCenter, words);
        p.end();
        parts << root + "/part" + QString::number(parts.size()) + ".png";
        ASSERT_TRUE(page.save(parts.last()));
    }
    const QString tiff = root + "/pages.tif";
    ASSERT_EQ(runProgram("convert", parts + QStringList{tiff}).exitCode, 0);
    const ProcessResult r = convert({"-t", "pages", "--ocr", "eng", "--sidecar", "out/pages.txt", tiff});
    ASSERT_EQ(r.exitCode, 0) << qPrintable(r.err);
    const QString pdf = root + "/out/pages.pdf";
    QStringList read;
    for (const QString n : {"1", "2"})
        read << runProgram("pdftotext", {"-f", n, "-l", n, "-raw", pdf, "-"}).out.simplified();
    EXPECT_EQ(read.join(" | ").toStdString(), texts.join(" | ").toStdString());
    // Beside it, the same words with a form feed between the pages.
    QStringList beside = QString::fromUtf8(readAll(root + "/out/pages.txt")).split('\f');
    for (QString& page : beside)
        page = page.simplified();
    EXPECT_EQ(beside.join(" | ").toStdString(), texts.join(" | ").toStdString());
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
