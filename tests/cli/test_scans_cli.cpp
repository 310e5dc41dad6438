// Scanned pages as scanners make them: columns, pages turned or askew,
// the paper size the file states, bilevel pages.
#include "PictureCheck.h"
#include "TestSupport.h"
#include "TextPageSample.h"
#include "cli_program.h"

#include <FreeImage.h>
#include <QDir>
#include <QFile>
#include <QImage>
#include <QPainter>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTransform>
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <tiffio.h>

using namespace testsupport;

namespace {

class ScanTest : public ::testing::Test {
protected:
    // velunor-convert into root/out as TITLE.pdf; the document's path.
    QString convert(const QString& title, const QStringList& args)
    {
        QProcess p;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("XDG_CACHE_HOME", root + "/cache");
        p.setProcessEnvironment(env);
        p.start(convertProgram(), QStringList{"-o", root + "/out", "-y", "-t", title} + args);
        p.waitForFinished(300000);
        const QString err = QString::fromLocal8Bit(p.readAllStandardError());
        EXPECT_EQ(p.exitCode(), 0) << qPrintable(err);
        return root + "/out/" + title + ".pdf";
    }
    QString save(const QImage& image, const QString& name)
    {
        const QString path = root + "/" + name;
        EXPECT_TRUE(image.save(path));
        return path;
    }

    QTemporaryDir tmp;
    QString root = tmp.path();
};

// pdfinfo's "Page N field" (size, rot) of page `page`.
QString pdfinfoValue(const QString& pdf, const QString& field, int page = 1)
{
    const QString n = QString::number(page);
    const QRegularExpressionMatch m =
        QRegularExpression("^Page\\s+" + n + " " + field + ":\\s+(.*)$", QRegularExpression::MultilineOption)
            .match(runProgram("pdfinfo", {"-f", n, "-l", n, pdf}).out);
    return m.captured(1).trimmed();
}

textpage::Score readBack(const QString& pdf, const QVector<textpage::DrawnWord>& words, double pointsPerPixel,
                         int page = 1)
{
    const QString n = QString::number(page);
    return textpage::score(words, runProgram("pdftotext", {"-f", n, "-l", n, "-raw", pdf, "-"}).out,
                           runProgram("pdftotext", {"-f", n, "-l", n, "-bbox", pdf, "-"}).out, pointsPerPixel);
}

// `mono` as a Group 4 TIFF by libtiff's own writer.
void saveG4Tiff(const QImage& mono, const QString& path, uint16_t photometric, uint32_t rowsPerStrip, uint16_t fillOrder)
{
    TIFF* t = TIFFOpen(QFile::encodeName(path).constData(), "w");
    ASSERT_TRUE(t);
    TIFFSetField(t, TIFFTAG_IMAGEWIDTH, uint32_t(mono.width()));
    TIFFSetField(t, TIFFTAG_IMAGELENGTH, uint32_t(mono.height()));
    TIFFSetField(t, TIFFTAG_BITSPERSAMPLE, 1);
    TIFFSetField(t, TIFFTAG_SAMPLESPERPIXEL, 1);
    TIFFSetField(t, TIFFTAG_COMPRESSION, COMPRESSION_CCITTFAX4);
    TIFFSetField(t, TIFFTAG_PHOTOMETRIC, photometric);
    TIFFSetField(t, TIFFTAG_FILLORDER, fillOrder);
    TIFFSetField(t, TIFFTAG_ROWSPERSTRIP, rowsPerStrip);
    std::vector<uint8_t> row(size_t(mono.width() + 7) / 8);
    for (int y = 0; y < mono.height(); ++y) {
        std::fill(row.begin(), row.end(), 0);
        for (int x = 0; x < mono.width(); ++x)
            if ((qGray(mono.pixel(x, y)) < 128) == (photometric == PHOTOMETRIC_MINISWHITE))
                row[size_t(x) / 8] |= uint8_t(0x80 >> (x % 8));
        ASSERT_EQ(TIFFWriteScanline(t, row.data(), uint32_t(y), 0), 1);
    }
    TIFFClose(t);
}

} // namespace

// Two columns are read one after the other; a page whose text stands
// sideways or upside down is shown upright by its /Rotate, its words where
// they are seen; unless that is turned off. One job a setting, its pages
// read two at once.
TEST_F(ScanTest, TextIsReadInColumnsAndTurnedPagesAreShownUpright)
{
    const struct {
        const char* name;
        int columns;
        int turn; // the picture, clockwise
        bool rotate;
        int rotation; // the page's /Rotate
    } cases[] = {
        {"columns", 2, 0, true, 0},
        {"sideways", 1, 90, true, 270},
        {"upside-down", 1, 180, true, 180},
        {"sideways-left", 1, 270, true, 90},
        {"photo", 0, 0, true, 0},
        {"columns-unturned", 2, 0, false, 0},
        {"left-alone", 1, 90, false, 0},
    };
    for (const bool rotate : {true, false}) {
        QStringList pictures;
        QVector<QVector<textpage::DrawnWord>> words;
        for (const auto& c : cases) {
            if (c.rotate != rotate)
                continue;
            pictures << root + "/" + c.name + ".png";
            words.push_back({});
            if (c.columns == 0)
                ASSERT_TRUE(saveRgb(testPattern(600, 800), pictures.last(), FIF_PNG));
            else
                textpage::turned(textpage::drawPage(150, &words.last(), c.columns, c.columns > 1 ? 12 : 11), c.turn)
                    .save(pictures.last());
        }
        const QString pdf = convert(rotate ? "turned" : "unturned",
                                    QStringList{"--ocr", "eng"} + (rotate ? QStringList() : QStringList{"--no-rotate-pages"}) + pictures);
        int page = 0;
        for (const auto& c : cases) {
            if (c.rotate != rotate)
                continue;
            SCOPED_TRACE(c.name);
            ++page;
            EXPECT_EQ(pdfinfoValue(pdf, "rot", page).toInt(), c.rotation);
            if ((c.rotation == 0 && c.turn != 0) || c.columns == 0)
                continue;
            // What one sees is the upright page, and the words lie where they are seen.
            const QStringList size = pdfinfoValue(pdf, "size", page).split(' ');
            EXPECT_LT(size.value(c.rotation % 180 ? 2 : 0).toDouble(), size.value(c.rotation % 180 ? 0 : 2).toDouble());
            const textpage::Score s = readBack(pdf, words[page - 1], 72.0 / 200, page);
            EXPECT_GE(s.found, s.expected * 99 / 100);
            if (c.turn != 0) {
                EXPECT_GE(s.inPlace, s.found * 90 / 100);
            }
        }
    }
}

// --page-size native: the picture's size at the resolution its file states
// (JFIF, Exif, pHYs, TIFF in inches or centimetres, turned with the
// picture); 200 ppi when it states none or one no scanner makes.
TEST_F(ScanTest, NativePagesHaveTheSizeTheFileStates)
{
    // ppi 0: no pHYs chunk (Qt writes one always).
    const auto png = [&](const QString& name, double ppi) {
        QImage image(300, 600, QImage::Format_Grayscale8);
        image.fill(200);
        image.setDotsPerMeterX(qRound((ppi > 0 ? ppi : 72) / 0.0254));
        image.setDotsPerMeterY(qRound((ppi > 0 ? ppi : 72) / 0.0254));
        const QString path = save(image, name);
        QByteArray bytes = readAll(path);
        const qsizetype at = bytes.indexOf("pHYs");
        if (ppi == 0 && at > 0)
            writeFile(path, bytes.remove(at - 4, 21));
        return path;
    };
    const QString jpeg = png("jfif.jpg", 150);
    // Exif alone, stored 100 x 200 pixels at 100 x 80 ppi and shown turned
    // a quarter: 200 x 100 pixels at 80 x 100 ppi.
    QImage stored(100, 200, QImage::Format_RGB32);
    stored.fill(Qt::gray);
    const QString exif = save(stored, "exif.jpg");
    ASSERT_EQ(runProgram("exiftool", {"-q", "-overwrite_original", "-JFIF:All=", "-XResolution=100", "-YResolution=80",
                                      "-ResolutionUnit=inches", "-Orientation#=6", exif})
                  .exitCode,
              0);
    const QString tiff = root + "/cm.tif";
    ASSERT_EQ(runProgram("convert", {"-size", "300x600", "xc:white", "-units", "PixelsPerCentimeter", "-density", "118.11",
                                     "-compress", "none", tiff})
                  .exitCode,
              0);
    const struct {
        QString picture;
        const char* size;
        double width, height;
    } cases[] = {
        {png("300.png", 300), "native", 72, 144},   {jpeg, "native", 144, 288},
        {tiff, "native", 72, 144},                  {exif, "native", 180, 72},
        {png("none.png", 0), "native", 108, 216},   {png("50.png", 50), "native", 108, 216},
        {png("3000.png", 3000), "native", 108, 216}, {png("300.png", 300), "picture", 108, 216},
    };
    int n = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.picture.toStdString() + " " + c.size);
        const auto [w, h] = mediaBoxPoints(convert(QString::number(++n), {"--page-size", c.size, c.picture}));
        EXPECT_NEAR(w, c.width, 0.1);
        EXPECT_NEAR(h, c.height, 0.1);
    }
}

// --deskew: a page scanned 3 degrees askew comes out level (its words read
// in order and where they are seen), a JPEG too, though its own data is
// kept for a page that is not straightened; a level page is not coded anew.
TEST_F(ScanTest, AskewPagesAreStraightenedWhenAsked)
{
    QVector<textpage::DrawnWord> words;
    const QImage level = textpage::drawPage(150, &words);
    const struct {
        const char* name;
        const char* format;
        double turn;
        bool ocr;
    } cases[] = {
        {"askew", "png", 3, true},
        {"askew-jpeg", "jpg", 3, false},
        {"level", "png", 0, false},
        {"level-jpeg", "jpg", 0, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const QString picture = save(textpage::turned(level, c.turn), QString(c.name) + "." + c.format);
        const QString pdf = convert(c.name, QStringList{"--deskew", picture} + (c.ocr ? QStringList{"--ocr", "eng"} : QStringList()));
        const RgbImage shown = extractImage(pdf);
        ASSERT_FALSE(shown.px.empty());
        if (c.turn == 0) {
            EXPECT_EQ(meanAbsDiff(extractImage(convert(QString(c.name) + "-plain", {picture})), shown), 0);
            continue;
        }
        // What is shown is the level page, not the picture as it came.
        EXPECT_LT(meanAbsDiff(shown, loadRgb(save(level, "level.png"))), meanAbsDiff(shown, loadRgb(picture)) / 2);
        if (c.ocr) {
            const textpage::Score s = readBack(pdf, words, 72.0 / 200);
            EXPECT_GE(s.found, s.expected * 97 / 100);
            EXPECT_GE(s.inPlace, s.found * 90 / 100);
        }
    }
}

// A bilevel page is coded as CCITT Group 4 where that is smaller than Flate
// (not for noise), in its own two colours, and every renderer draws exactly
// its pixels. A Group 4 TIFF page keeps its own coded strip where PDF can
// read it as it stands, and its text is read from its pixels.
TEST_F(ScanTest, BilevelPagesAreGroup4WhereSmallerAndExact)
{
    QVector<textpage::DrawnWord> drawn, words;
    const QRect crop(250, 250, 800, 600);
    const QImage text = textpage::drawPage(300, &drawn).copy(crop);
    for (const textpage::DrawnWord& w : drawn)
        if (QRectF(crop).contains(w.box))
            words.push_back({w.text, w.box.translated(-crop.topLeft())});
    const QImage mono = text.convertToFormat(QImage::Format_Mono, Qt::ThresholdDither);
    QImage noise(800, 600, QImage::Format_Mono);
    std::mt19937 rng(3);
    for (int y = 0; y < noise.height(); ++y)
        for (int x = 0; x < noise.width(); ++x)
            noise.setPixel(x, y, rng() & 1);
    QImage coloured = mono;
    coloured.setColorTable({qRgb(250, 240, 180), qRgb(30, 40, 120)}); // paper, ink
    const struct {
        const char* name;
        QImage picture;
        const char* coding; // pdfimages' name
        uint16_t photometric = 0; // a Group 4 TIFF of libtiff's...
        uint32_t rowsPerStrip = 0;
        uint16_t fillOrder = FILLORDER_MSB2LSB;
        bool kept = false; // ...whose strip is the page's image
        bool ocr = false;
    } cases[] = {
        {"text", mono, "ccitt"},
        {"inverted", [&] { QImage i = mono; i.invertPixels(); return i; }(), "ccitt"},
        {"coloured", coloured, "ccitt"},
        {"noise", noise, "image"},
        {"g4", mono, "ccitt", PHOTOMETRIC_MINISWHITE, 600, FILLORDER_MSB2LSB, true, true},
        {"g4-min-is-black", mono, "ccitt", PHOTOMETRIC_MINISBLACK, 600, FILLORDER_MSB2LSB, true},
        {"g4-strips", mono, "ccitt", PHOTOMETRIC_MINISWHITE, 64},
        {"g4-lsb-first", mono, "ccitt", PHOTOMETRIC_MINISWHITE, 600, FILLORDER_LSB2MSB},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const QString picture = save(c.picture, QString(c.name) + ".png");
        QString input = picture;
        if (c.photometric || c.rowsPerStrip) {
            input = root + "/" + c.name + ".tif";
            saveG4Tiff(c.picture, input, c.photometric, c.rowsPerStrip, c.fillOrder);
        }
        const QString pdf = convert(c.name, c.ocr ? QStringList{"--ocr", "eng", input} : QStringList{input});
        const std::vector<QStringList> images = pdfImages(pdf);
        ASSERT_EQ(images.size(), 1u);
        EXPECT_EQ(images[0].value(8), c.coding);
        EXPECT_EQ(images[0].value(7), "1");
        if (c.photometric || c.rowsPerStrip) {
            const QString raw = root + "/" + c.name + ".raw";
            ASSERT_TRUE(runToFile("qpdf", {pdf, "--show-object=" + images[0].value(10), "--raw-stream-data"}, {}, raw));
            EXPECT_EQ(readAll(input).contains(readAll(raw)), c.kept);
        }
        if (c.ocr) {
            const textpage::Score s = readBack(pdf, words, 72.0 / 200);
            EXPECT_GE(s.found, s.expected * 9 / 10);
        }
        // Poppler's decoder (its renderer smooths bilevel pictures, and
        // pdfimages writes two colours' indices as they come), MuPDF's and
        // Ghostscript's drawing at the page's 200 ppi.
        const RgbImage expected = loadRgb(picture);
        if (c.picture.colorTable().contains(qRgb(0, 0, 0))) {
            EXPECT_EQ(meanAbsDiff(extractImage(pdf), expected), 0);
        }
        for (const Rendered& r : {renderMupdf(pdf, 200), renderGhostscript(pdf, 200)}) {
            ASSERT_TRUE(r.ok) << qPrintable(r.messages);
            EXPECT_EQ(meanAbsDiff(r.image, expected), 0);
        }
    }
}

// With no new choice made, or each made off, the designed page is written
// object for object as it always was: its dictionary, drawing and picture,
// as qpdf lays them out (stream data in hex).
TEST_F(ScanTest, TheDesignedPageIsUnchangedWhenNoNewChoiceIsMade)
{
    QImage image(3, 2, QImage::Format_RGB888);
    const QRgb pixels[] = {qRgb(255, 0, 0), qRgb(0, 255, 0), qRgb(0, 0, 255),
                           qRgb(255, 255, 255), qRgb(0, 0, 0), qRgb(128, 128, 128)};
    for (int i = 0; i < 6; ++i)
        image.setPixel(i % 3, i / 3, pixels[i]);
    const QString picture = save(image, "small.png");
    const QByteArray expected = R"(%% Page 1
%% Original object ID: 4 0
6 0 obj
<<
  /Contents 7 0 R
  /MediaBox [
    0
    0
    1.1339
    0.8504
  ]
  /Parent 5 0 R
  /Resources <<
    /XObject <<
      /Im1 9 0 R
    >>
  >>
  /Type /Page
>>
endobj

%% Contents for page 1
%% Original object ID: 7 0
7 0 obj
<<
  /Length 8 0 R
>>
stream q 1.1339 0 0 0.8504 0 0 cm /Im1 Do Q
endobj

8 0 obj
37
endobj

%% Original object ID: 8 0
9 0 obj
<<
  /BitsPerComponent 4
  /ColorSpace [
    /Indexed
    /DeviceRGB
    5
    <ff000000ff000000ffffffff000000808080>
  ]
  /Height 2
  /Subtype /Image
  /Type /XObject
  /Width 3
  /Length 10 0 R
>>
stream 01203450
endobj

%QDF: ignore_newline
10 0 obj
4
endobj

)";
    const QStringList cases[] = {{},
                                 {"--no-rotate-pages"},
                                 {"--page-size", "picture", "--orientation", "auto", "--fit", "into"},
                                 {"--page-size", "picture", "--no-rotate-pages"}};
    int n = 0;
    for (const QStringList& options : cases) {
        SCOPED_TRACE(options.join(' ').toStdString());
        const QString qdf = root + "/" + QString::number(++n) + ".qdf";
        ASSERT_TRUE(runToFile("qpdf", {"--qdf", "--object-streams=disable",
                                       convert(QString::number(n), options + QStringList{picture}), "-"}, {}, qdf));
        const QByteArray all = readAll(qdf);
        QByteArray page = all.mid(all.indexOf("%% Page 1"));
        page.truncate(page.indexOf("xref\n"));
        // Binary stream data in hex, for a dump one can read.
        for (qsizetype at = page.indexOf("stream\n"); at >= 0; at = page.indexOf("stream\n", at + 1)) {
            const qsizetype end = page.indexOf("\nendstream", at);
            ASSERT_GT(end, at);
            const QByteArray data = page.mid(at + 7, end - at - 7);
            const bool text = std::all_of(data.begin(), data.end(), [](char c) { return c >= ' ' && c <= '~'; });
            page.replace(at, end + 10 - at, "stream " + (text ? data : data.toHex()));
        }
        EXPECT_EQ(page.toStdString(), expected.toStdString());
    }
}
