#include "TestSupport.h"
#include "TextPageSample.h"
#include "cli_program.h"

#include <FreeImage.h>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QFont>
#include <QPainter>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <gtest/gtest.h>

using namespace testsupport;

namespace {

class OcrCliTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(tmp.isValid());
        for (const char* d : {"out", "cache", "config"})
            QDir().mkpath(root + "/" + d);
    }

    ProcessResult run(const QStringList& args, const QString& tessdata = QString())
    {
        QProcess p;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("XDG_CACHE_HOME", root + "/cache");
        env.insert("XDG_CONFIG_HOME", root + "/config");
        env.remove("TESSDATA_PREFIX");
        if (!tessdata.isEmpty())
            env.insert("TESSDATA_PREFIX", tessdata);
        p.setProcessEnvironment(env);
        p.setStandardInputFile(QProcess::nullDevice());
        return runToEnd(p, QStringList{"-o", root + "/out", "-y"} + args, {}, 600000);
    }

    // The raw bytes of the page's picture stream, as qpdf shows them.
    static QByteArray imageStream(const QString& pdf)
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

    QTemporaryDir tmp;
    QString root = tmp.path();
};

} // namespace

// A page the test drew itself at 300 dpi: its words come back in reading
// order and in place; the picture stream and what one sees stay as they are
// without the text; without --ocr there is no text at all.
TEST_F(OcrCliTest, DrawnTextPageIsSearchableAndLooksTheSame)
{
    QVector<textpage::DrawnWord> words;
    const QImage page = textpage::drawPage(300, &words);
    const QString picture = root + "/page.png";
    ASSERT_TRUE(page.save(picture));

    const ProcessResult with = run({"-t", "with", "--ocr", "eng", picture});
    ASSERT_EQ(with.exitCode, 0) << qPrintable(with.err);
    EXPECT_TRUE(with.err.contains("Reading Text 1 of 1...")) << qPrintable(with.err);
    const ProcessResult without = run({"-t", "without", picture});
    ASSERT_EQ(without.exitCode, 0) << qPrintable(without.err);
    EXPECT_FALSE(without.err.contains("Reading Text"));
    const QString a = root + "/out/with.pdf", b = root + "/out/without.pdf";

    // Also on paper with margins, where the picture is scaled and moved.
    const ProcessResult onA4 = run({"-t", "a4", "--page-size", "A4", "--margin", "15mm", "--ocr", "eng", picture});
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

// A language that is not installed is a usage mistake before any page,
// named with the Debian package that brings it.
TEST_F(OcrCliTest, MissingLanguagesAreUsageMistakes)
{
    const QString picture = root + "/small.png";
    ASSERT_TRUE(writeTestPicture(picture, FIF_PNG, 40, 30));
    QDir().mkpath(root + "/nodata");
    const struct {
        const char* languages;
        QString tessdata;
        const char* said;
    } cases[] = {
        {"xyz", {}, "\"xyz\" is not installed. Please install it (Debian package \"tesseract-ocr-xyz\")"},
        {"eng+chi_sim", {}, "(Debian package \"tesseract-ocr-chi-sim\")"},
        {"eng", root + "/nodata", "(Debian package \"tesseract-ocr-eng\")"},
        {"eng fra", {}, "is not a text recognition language"},
        {"", {}, "No text recognition language"},
    };
    for (const auto& c : cases) {
        const ProcessResult r = run({"-t", "doc", "--ocr", c.languages, picture}, c.tessdata);
        EXPECT_EQ(r.exitCode, 2) << c.languages;
        EXPECT_TRUE(r.err.contains(c.said)) << c.languages << ": " << qPrintable(r.err);
        EXPECT_FALSE(r.err.contains("Preparing Files")) << c.languages;
        EXPECT_FALSE(QFileInfo::exists(root + "/out/doc.pdf")) << c.languages;
    }
}

// Every page of a multi-page TIFF gets its own text, in its own place.
TEST_F(OcrCliTest, EachPageOfAMultiPageTiffGetsItsOwnText)
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
    const ProcessResult r = run({"-t", "pages", "--ocr", "eng", tiff});
    ASSERT_EQ(r.exitCode, 0) << qPrintable(r.err);
    const QString pdf = root + "/out/pages.pdf";
    for (const QString n : {"1", "2"})
        EXPECT_EQ(runProgram("pdftotext", {"-f", n, "-l", n, "-raw", pdf, "-"}).out.simplified(), texts[n.toInt() - 1]);
}
