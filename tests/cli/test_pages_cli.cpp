// What each kind of picture becomes: pages on paper, every page of a
// multi-page TIFF, damaged and oversize files of each kind, folders, and the
// text laid over drawn pages; read back by poppler, qpdf and mutool.
#include "JpegSamples.h"
#include "PictureCheck.h"
#include "TextPageSample.h"
#include "cli_fixture.h"

#include <FreeImage.h>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QFont>
#include <QPainter>
#include <QProcess>
#include <QRect>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtEndian>
#include <gtest/gtest.h>

#include <tuple>

using namespace testsupport;

using CliTest = CliFixture;

namespace {

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
    // So is one picture the paper stretches coarse, named among good ones.
    const QString icon = dark("icon.jpg", 40, 40);
    const auto coarse = run({"-o", root + "/out", "-y", "-t", "icon", "--page-size", "A4", small, icon, photo});
    EXPECT_EQ(coarse.exitCode, 0);
    EXPECT_TRUE(coarse.err.contains("velunor-convert: warning: The layout puts \"" + icon + "\" at 4.8 pixels per inch on its page."))
        << qPrintable(coarse.err);
    EXPECT_EQ(pdfPageCount(root + "/out/icon.pdf"), 3);
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
