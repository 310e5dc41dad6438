#include "PictureCheck.h"
#include "RecordingMessageSink.h"
#include "TestSupport.h"

#include "engine/pdf/PagePlacement.h"
#include "engine/pdf/PdfCtl.h"

#include <FreeImage.h>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <cstring>

using namespace testsupport;

namespace {

QString lastError()
{
    char buffer[256];
    GetErrorMsg(buffer, 255);
    return QString::fromUtf8(buffer);
}

// A 1-bit picture: a checkerboard of 10-pixel squares in the palette's
// colours, 0 at the top left.
bool saveBilevel(const QString& path, int w, int h, RGBQUAD zero, RGBQUAD one)
{
    FIBITMAP* dib = FreeImage_Allocate(w, h, 1);
    RGBQUAD* pal = FreeImage_GetPalette(dib);
    pal[0] = zero;
    pal[1] = one;
    for (int y = 0; y < h; ++y) {
        BYTE* row = FreeImage_GetScanLine(dib, h - 1 - y);
        for (int x = 0; x < w; ++x)
            if ((x / 10 + y / 10) % 2)
                row[x / 8] |= BYTE(0x80 >> (x % 8));
    }
    const bool ok = FreeImage_Save(FIF_BMP, dib, QFile::encodeName(path).constData(), 0);
    FreeImage_Unload(dib);
    return ok;
}

// A 200 x 100 picture on a 254 x 127 page renders 1:1 at 200 dpi.
class PdfCtlTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(dir.isValid());
        bitmap = dir.filePath("tmp.bmp");
        ASSERT_TRUE(saveRgb(img, bitmap, FIF_BMP));
    }

    // One page with the given drawing properties; the result of EndDoc.
    int makePage(const QString& pdf, int compression, int quality, int placement = 2, int pageW = 254,
                 int pageH = 127, int left = 0, int top = 0, int w = 254, int h = 127, const QString& from = {})
    {
        const int box = CreateBox(0, 0);
        EXPECT_NE(box, -1);
        EXPECT_EQ(SetNumProp(box, 44, 1), 0);
        EXPECT_EQ(SetStrProp(box, 10, pdf), 0);
        EXPECT_EQ(SetStrProp(box, 14, "Velunor"), 0);
        for (const auto& [prop, value] : {std::pair{44, 0}, {36, pageW}, {34, pageH}, {31, compression}, {45, quality},
                                          {51, 2}, {52, placement}})
            EXPECT_EQ(SetNumProp(box, prop, value), 0) << "property " << prop;
        EXPECT_EQ(BeginDoc(box), 0);
        EXPECT_EQ(StretchDrawFromFile(box, left, top, w, h, from.isEmpty() ? bitmap : from), 0) << qPrintable(lastError());
        const int end = EndDoc(box);
        EXPECT_EQ(FreeBox(box), 0);
        return end;
    }

    QTemporaryDir dir;
    RgbImage img = testPattern(200, 100);
    QString bitmap;
};

TEST_F(PdfCtlTest, CheckPdfErrorShowsTheMessageAndReturnsInsteadOfEnding)
{
    RecordingMessageSink sink;
    EXPECT_TRUE(CheckPdfError(0, sink));
    EXPECT_TRUE(CheckPdfError(7, sink));
    EXPECT_TRUE(sink.messages.empty());

    EXPECT_EQ(BeginDoc(987654), -1);
    EXPECT_FALSE(CheckPdfError(-1, sink));
    ASSERT_EQ(sink.messages.size(), 1u);
    EXPECT_EQ(sink.messages[0].title, "PDF");
    EXPECT_EQ(sink.messages[0].icon, MessageIcon::Critical);
    EXPECT_TRUE(sink.messages[0].text.contains("987654")) << qPrintable(sink.messages[0].text);
}

TEST_F(PdfCtlTest, EveryMisuseFailsWithAReadableMessage)
{
    const int box = CreateBox(0, 0);
    ASSERT_GT(box, 0);
    EXPECT_EQ(BeginDoc(box), -1); // no file yet
    EXPECT_TRUE(lastError().contains("property 10")) << qPrintable(lastError());
    EXPECT_EQ(SetStrProp(box, 10, ""), -1);
    EXPECT_EQ(SetNumProp(box, 31, 3), -1);
    EXPECT_TRUE(lastError().contains("31")) << qPrintable(lastError());
    for (const auto& [prop, value] : {std::pair{52, 0}, {36, 0}, {99, 1}})
        EXPECT_EQ(SetNumProp(box, prop, value), -1) << "property " << prop;
    EXPECT_EQ(SetStrProp(box, 99, "x"), -1);
    EXPECT_EQ(SetStrProp(box, 10, dir.filePath("out.pdf")), 0);
    EXPECT_EQ(BeginDoc(box), -1); // no page size yet
    EXPECT_EQ(StretchDrawFromFile(box, 0, 0, 10, 10, bitmap), -1); // before BeginDoc
    EXPECT_EQ(EndDoc(box), -1);
    EXPECT_EQ(SetNumProp(box, 36, 254), 0);
    EXPECT_EQ(SetNumProp(box, 34, 127), 0);
    EXPECT_EQ(BeginDoc(box), 0);
    EXPECT_EQ(BeginDoc(box), -1);
    const QString missing = dir.filePath("missing.bmp");
    EXPECT_EQ(StretchDrawFromFile(box, 0, 0, 254, 127, missing), -1);
    EXPECT_TRUE(lastError().contains(missing)) << qPrintable(lastError());
    const QString junk = dir.filePath("junk.bmp");
    ASSERT_TRUE(writeFile(junk, "BM this is not a bitmap at all"));
    EXPECT_EQ(StretchDrawFromFile(box, 0, 0, 254, 127, junk), -1);
    EXPECT_TRUE(lastError().contains(junk)) << qPrintable(lastError());
    EXPECT_EQ(FreeBox(box), 0);
    EXPECT_EQ(FreeBox(box), -1);
    EXPECT_EQ(SetNumProp(box, 45, 50), -1);
    EXPECT_FALSE(QFileInfo::exists(dir.filePath("out.pdf")));
}

TEST_F(PdfCtlTest, PathCheckFailsEarlyOnAMissingFolderAndNothingIsHalfWritten)
{
    const int box = CreateBox(0, 0);
    const QString nowhere = dir.filePath("nowhere/0.pdf");
    EXPECT_EQ(SetNumProp(box, 44, 1), 0);
    EXPECT_EQ(SetStrProp(box, 10, nowhere), -1);
    EXPECT_TRUE(lastError().contains(nowhere)) << qPrintable(lastError());
    // Without the check the name is taken and writing fails at EndDoc.
    EXPECT_EQ(SetNumProp(box, 44, 0), 0);
    EXPECT_EQ(SetStrProp(box, 10, nowhere), 0);
    EXPECT_EQ(SetNumProp(box, 36, 254), 0);
    EXPECT_EQ(SetNumProp(box, 34, 127), 0);
    EXPECT_EQ(BeginDoc(box), 0);
    EXPECT_EQ(StretchDrawFromFile(box, 0, 0, 254, 127, bitmap), 0);
    EXPECT_EQ(EndDoc(box), -1);
    EXPECT_TRUE(lastError().contains(nowhere)) << qPrintable(lastError());
    EXPECT_EQ(FreeBox(box), 0);
    EXPECT_TRUE(QDir(dir.path()).entryList({"*.part", "*.pdf"}).isEmpty());
}

TEST_F(PdfCtlTest, GetErrorMsgFitsTheBufferWithoutSplittingACharacter)
{
    const int box = CreateBox(0, 0);
    const QString longName = dir.filePath(QString(300, QChar(0x00E9))); // 2 bytes each in UTF-8
    EXPECT_EQ(SetNumProp(box, 44, 1), 0);
    EXPECT_EQ(SetStrProp(box, 10, longName + "/x.pdf"), -1);
    FreeBox(box);
    char buffer[256];
    std::memset(buffer, 'x', sizeof buffer);
    const int n = GetErrorMsg(buffer, 255);
    EXPECT_LE(n, 254);
    EXPECT_GE(n, 250);
    EXPECT_EQ(buffer[n], '\0');
    EXPECT_EQ(buffer[255], 'x');
    EXPECT_EQ(QString::fromUtf8(buffer, n).toUtf8(), QByteArray(buffer, n)); // valid UTF-8
}

TEST_F(PdfCtlTest, QualityAndSubsamplingFollowProperty45)
{
    const QString low = dir.filePath("q1.pdf"), mid = dir.filePath("q75.pdf"), high = dir.filePath("q100.pdf");
    // JPEG for every picture: by kind, this flat test picture is lossless.
    ASSERT_EQ(makePage(low, 1, -5, 2), 0); // clamped to 1
    ASSERT_EQ(makePage(mid, 1, 75, 2), 0);
    ASSERT_EQ(makePage(high, 1, 250, 2), 0); // clamped to 100
    EXPECT_LT(QFileInfo(low).size(), QFileInfo(mid).size());
    EXPECT_LT(QFileInfo(mid).size(), QFileInfo(high).size());
    const double dLow = meanAbsDiff(renderMupdf(low, 200).image, img);
    const double dHigh = meanAbsDiff(renderMupdf(high, 200).image, img);
    EXPECT_GT(dLow, dHigh);
    EXPECT_LE(dHigh, 1.0);
}

TEST_F(PdfCtlTest, RectangleIsMeasuredFromTheTopLeftAndFitKeepsProportions)
{
    // Page 508 x 254 tenths of a millimetre (400 x 200 pixels at 200 dpi),
    // picture in its lower right quarter.
    const QString pdf = dir.filePath("placed.pdf");
    ASSERT_EQ(makePage(pdf, 2, 100, 2, 508, 254, 254, 127, 254, 127), 0) << qPrintable(lastError());
    EXPECT_EQ(qpdfProblems(pdf), QString());
    EXPECT_NEAR(mediaBoxPoints(pdf).first, 144.0, 0.01);
    EXPECT_NEAR(mediaBoxPoints(pdf).second, 72.0, 0.01);
    EXPECT_EQ(pdfInfoField(pdf, "Creator"), "Velunor");
    EXPECT_FALSE(QFileInfo::exists(pdf + ".part"));
    Rendered r = renderMupdf(pdf, 200);
    ASSERT_EQ(r.image.w, 400);
    ASSERT_EQ(r.image.h, 200);
    RgbImage quarter{200, 100, {}};
    for (int y = 100; y < 200; ++y)
        quarter.px.insert(quarter.px.end(), r.image.at(200, y), r.image.at(200, y) + 600);
    EXPECT_LE(meanAbsDiff(quarter, img), 1.0);
    EXPECT_GE(r.image.at(50, 50)[0], 250); // the rest stays white

    // Fit: a 2:1 picture in a square keeps its proportions, centred.
    const QString fit = dir.filePath("fit.pdf");
    ASSERT_EQ(makePage(fit, 2, 100, 1, 254, 254, 0, 0, 254, 254), 0);
    r = renderMupdf(fit, 200);
    ASSERT_EQ(r.image.h, 200);
    EXPECT_GE(r.image.at(100, 20)[1], 250);  // white band above
    EXPECT_GE(r.image.at(100, 180)[1], 250); // and below
    EXPECT_LE(r.image.at(10, 60)[0], 40);    // the dark block, now at 50..75
}

// Each kind of bitmap coded as its kind asks and shown as it was.
TEST_F(PdfCtlTest, EveryBitmapKindKeepsItsColours)
{
    // Navy and yellow, 1 bit a pixel: an indexed image, not black and white.
    const QString two = dir.filePath("two.bmp");
    ASSERT_TRUE(saveBilevel(two, 200, 100, {128, 0, 0, 0}, {0, 255, 255, 0}));
    RgbImage twoRef{200, 100, std::vector<uint8_t>(200 * 100 * 3)};
    for (int y = 0; y < 100; ++y)
        for (int x = 0; x < 200; ++x) {
            const bool one = (x / 10 + y / 10) % 2 == 1;
            std::copy_n(one ? "\xFF\xFF\x00" : "\x00\x00\x80", 3, twoRef.at(x, y));
        }
    // Many programs write 32-bit BMPs whose fourth byte is always 0; taken
    // as alpha that would be an all-white page.
    FIBITMAP* dib = FreeImage_Allocate(200, 100, 32);
    for (int y = 0; y < 100; ++y)
        for (int x = 0; x < 200; ++x) {
            BYTE* px = FreeImage_GetScanLine(dib, 99 - y) + 4 * x;
            px[FI_RGBA_RED] = img.at(x, y)[0], px[FI_RGBA_GREEN] = img.at(x, y)[1], px[FI_RGBA_BLUE] = img.at(x, y)[2];
            px[FI_RGBA_ALPHA] = 0;
        }
    const QString x8r8g8b8 = dir.filePath("x8r8g8b8.bmp");
    ASSERT_TRUE(FreeImage_Save(FIF_BMP, dib, QFile::encodeName(x8r8g8b8).constData(), 0));
    FreeImage_Unload(dib);
    const struct {
        const char* name;
        QString bmp;
        int compression, quality;
        const RgbImage& shown;
        double within; // mean difference of mupdf's rendering
        const char* colour;
        const char* bits;
        const char* coding; // pdfimages: "image" is Flate
    } rows[] = {
        {"lossless mode", bitmap, 0, 10, img, 0.0, "rgb", "8", "image"},
        {"two colours", two, 2, 20, twoRef, 0.0, "index", "1", "image"},
        {"32-bit, unused alpha", x8r8g8b8, 2, 100, img, 1.0, nullptr, nullptr, nullptr},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.name);
        const QString pdf = dir.filePath(QString(r.name) + ".pdf");
        ASSERT_EQ(makePage(pdf, r.compression, r.quality, 2, 254, 127, 0, 0, 254, 127, r.bmp), 0);
        EXPECT_EQ(qpdfProblems(pdf), QString());
        const auto images = pdfImages(pdf);
        ASSERT_EQ(images.size(), 1u);
        EXPECT_TRUE(!r.colour || images[0][5] == r.colour) << qPrintable(images[0][5]);
        EXPECT_TRUE(!r.bits || images[0][7] == r.bits) << qPrintable(images[0][7]);
        EXPECT_TRUE(!r.coding || images[0][8] == r.coding) << qPrintable(images[0][8]);
        if (r.compression == 0) {
            EXPECT_EQ(meanAbsDiff(extractImage(pdf), r.shown), 0.0);
        }
        EXPECT_LE(meanAbsDiff(renderMupdf(pdf, 200).image, r.shown), r.within);
    }
}

// A page on paper: the size in points, the picture where the placement puts
// it, resampled to the placement's pixels when it has more. Grey stays grey,
// bilevel stays bilevel, and few colours stay lossless.
TEST_F(PdfCtlTest, PlacedPicturesLieWhereThePlacementSaysAndKeepTheirKind)
{
    // 64 colours strewn at random: lossless at its own pixels, while its
    // resampled pixels, of many colours, would go to JPEG if judged anew.
    RgbImage flat{200, 100, std::vector<uint8_t>(200 * 100 * 3)};
    for (size_t k = 0, seed = 1; k < flat.px.size(); k += 3) {
        seed = (seed * 1103515245u + 12345u) & 0xFFFFFFFFu;
        const size_t c = (seed >> 16) % 64;
        flat.px[k] = uint8_t((c & 3) * 85), flat.px[k + 1] = uint8_t(((c >> 2) & 3) * 85), flat.px[k + 2] = uint8_t((c >> 4) * 85);
    }
    const QString grey = dir.filePath("grey.bmp"), bilevel = dir.filePath("bw.bmp"), tinted = dir.filePath("tint.bmp"),
                  few = dir.filePath("few.bmp");
    ASSERT_TRUE(saveRgb(greyPattern(200, 100), grey, FIF_BMP, 8));
    ASSERT_TRUE(saveBilevel(bilevel, 200, 100, {0, 0, 0, 0}, {255, 255, 255, 0}));
    ASSERT_TRUE(saveBilevel(tinted, 200, 100, {200, 255, 255, 0}, {120, 0, 0, 0})); // light yellow, dark blue
    ASSERT_TRUE(saveRgb(flat, few, FIF_BMP));
    const struct {
        QString bitmap;
        int coded; // width; height is half of it
        const char* colour;
        const char* bits;
        const char* coding;
    } rows[] = {
        {bitmap, 200, "rgb", "8", nullptr}, // as it is: no resampling
        {bitmap, 100, "rgb", "8", nullptr},
        {grey, 100, "gray", "8", nullptr},
        {bilevel, 100, "gray", "1", "image"},
        {tinted, 100, "index", "1", "image"},
        {few, 100, nullptr, nullptr, "image"},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(QString("%1 at %2").arg(r.bitmap).arg(r.coded).toStdString());
        const QString pdf = dir.filePath("placed-on-paper.pdf");
        // 300 x 200 points, the picture at 72 ppi.
        const PagePlacement p{300, 200, {50, 25, 200, 100}, 200, 100, r.coded, r.coded / 2};
        const int box = CreateBox(0, 0);
        ASSERT_EQ(SetStrProp(box, 10, pdf), 0);
        ASSERT_EQ(SetPageSizePoints(box, p.pageWidth, p.pageHeight), 0);
        ASSERT_EQ(SetNumProp(box, 45, 90), 0);
        ASSERT_EQ(BeginDoc(box), 0);
        ASSERT_EQ(DrawPlacedFromFile(box, p, r.bitmap), 0) << qPrintable(lastError());
        ASSERT_EQ(EndDoc(box), 0);
        FreeBox(box);
        EXPECT_EQ(qpdfProblems(pdf), QString());
        EXPECT_EQ(mediaBoxPoints(pdf), std::pair(300.0, 200.0));
        const auto images = pdfImages(pdf);
        ASSERT_EQ(images.size(), 1u);
        EXPECT_EQ(images[0][3].toInt(), r.coded);
        EXPECT_EQ(images[0][4].toInt(), r.coded / 2);
        EXPECT_TRUE(!r.colour || images[0][5] == r.colour) << qPrintable(images[0][5]);
        EXPECT_TRUE(!r.bits || images[0][7] == r.bits) << qPrintable(images[0][7]);
        EXPECT_TRUE(!r.coding || images[0][8] == r.coding) << qPrintable(images[0][8]);
        // At 72 dpi a point is a pixel: white around the picture, and the
        // picture filling 50..250 x 75..175 from the top left.
        const Rendered shown = renderPoppler(pdf, 72);
        ASSERT_EQ(shown.image.w, 300);
        for (const auto& [x, y] : {std::pair{48, 100}, {252, 100}, {150, 73}, {150, 177}})
            EXPECT_GE(shown.image.at(x, y)[0] + shown.image.at(x, y)[2], 500) << x << "," << y;
        if (r.bitmap == tinted) {
            // Its own two colours, stripes of both, not black and white.
            int blue = 0, yellow = 0, all = 0;
            for (int y = 85; y < 165; ++y)
                for (int x = 60; x < 240; ++x, ++all) {
                    const uint8_t* c = shown.image.at(x, y);
                    blue += c[0] < 40 && c[1] < 40 && c[2] > 90;
                    yellow += c[0] > 230 && c[1] > 230 && c[2] > 170 && c[2] < 230;
                }
            EXPECT_GT(blue, all / 4);
            EXPECT_GT(yellow, all / 4);
        }
    }
}

} // namespace
