#include "pagemaker_fixture.h"

namespace {

class EveryTableFormat : public PageMakerTest, public ::testing::WithParamInterface<const char*> {};

TEST_P(EveryTableFormat, BecomesAOnePagePdfThatLooksLikeThePicture)
{
    double tolerance = 0;
    const QString name = QString("picture.") + GetParam();
    const RgbImage expected = makePicture(name, &tolerance);
    const PageResult r = m().MakePage(0, pic(name), 100);
    ASSERT_TRUE(r.ok()) << qPrintable(r.message);
    EXPECT_TRUE(sink.messages.empty());
    expectPage(0, expected, tolerance);
}

INSTANTIATE_TEST_SUITE_P(PageMaker, EveryTableFormat,
                         ::testing::Values("bmp", "dib", "jpg", "jpeg", "gif", "png", "ico", "tif", "tiff", "iff",
                                           "pcx", "psd"));

TEST(PageMakerStatic, PageLengthIsAt200PerInchWithHalvesToEven)
{
    EXPECT_EQ(PageMaker::PageLength(1000), 1270);
    EXPECT_EQ(PageMaker::PageLength(500), 635);
    EXPECT_EQ(PageMaker::PageLength(640), 813);
    EXPECT_EQ(PageMaker::PageLength(480), 610);
    EXPECT_EQ(PageMaker::PageLength(50), 64);   // 63.5
    EXPECT_EQ(PageMaker::PageLength(150), 190); // 190.5
    EXPECT_EQ(PageMaker::PageLength(250), 318); // 317.5
    EXPECT_EQ(PageMaker::PageLength(1), 1);
}

TEST(PageMakerStatic, ExtensionTableWithCarryOver)
{
    EXPECT_EQ(PageMaker::FormatForExtension("/a/PHOTO.JPG", 0), FIF_JPEG);
    EXPECT_EQ(PageMaker::FormatForExtension("/a/scan.tiff", 0), FIF_TIFF);
    EXPECT_EQ(PageMaker::FormatForExtension("/a/scan.TIF", 0), FIF_TIFF);
    EXPECT_EQ(PageMaker::FormatForExtension("/a/a.b.png", 0), FIF_PNG);
    EXPECT_EQ(PageMaker::FormatForExtension("/a/x.dib", 13), FIF_BMP);
    EXPECT_EQ(PageMaker::FormatForExtension("/a/x.Iff", 0), FIF_IFF);
    EXPECT_EQ(PageMaker::FormatForExtension("/a/x.pcx", 0), FIF_PCX);
    EXPECT_EQ(PageMaker::FormatForExtension("/a/x.psd", 0), FIF_PSD);
    EXPECT_EQ(PageMaker::FormatForExtension("/a/x.ico", 0), FIF_ICO);
    EXPECT_EQ(PageMaker::FormatForExtension("/a/x.gif", 0), FIF_GIF);
    // The kinds added beside the design.
    EXPECT_EQ(PageMaker::FormatForExtension("/a/x.HEIC", 0), PictureNames::FormatHeif);
    EXPECT_EQ(PageMaker::FormatForExtension("/a/x.heif", 0), PictureNames::FormatHeif);
    EXPECT_EQ(PageMaker::FormatForExtension("/a/x.avif", 0), PictureNames::FormatAvif);
    EXPECT_EQ(PageMaker::FormatForExtension("/a/x.webp", 0), FIF_WEBP);
    EXPECT_EQ(PageMaker::FormatForExtension("/a/x.jxl", 0), PictureNames::FormatJxl);
    EXPECT_EQ(PageMaker::FormatForExtension("/a/x.pgm", 0), FIF_PGMRAW);
    EXPECT_EQ(PageMaker::FormatForExtension("/a/x.PNM", 0), FIF_PPMRAW);
    EXPECT_EQ(PageMaker::FormatForExtension("/a/x.tga", 0), FIF_TARGA);
    EXPECT_EQ(PageMaker::FormatForExtension("/a/x.jpe", PictureNames::FormatJxl), PictureNames::FormatJxl);
    // Outside the table, and no extension at all: the previous one stays.
    EXPECT_EQ(PageMaker::FormatForExtension("/a/x.jpe", FIF_PNG), FIF_PNG);
    EXPECT_EQ(PageMaker::FormatForExtension("noextension", FIF_GIF), FIF_GIF);
}

TEST_F(PageMakerTest, PageSizesFollowThePixelsUpToPdfsLargestPage)
{
    const struct {
        int w, h;
        const char* margin;
        double pw, ph; // points; 0: refused, larger than 200in a side
    } cases[] = {{1000, 500, "0", 1270 * 72.0 / 254, 635 * 72.0 / 254},
                 {640, 480, "0", 813 * 72.0 / 254, 610 * 72.0 / 254},
                 {40000, 2, "0", 14400, 3 * 72.0 / 254},
                 {40001, 2, "0", 0, 0},
                 {39600, 2, "1in", 14400, 144.72},
                 {39601, 2, "1in", 0, 0}};
    int i = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(QString("%1 x %2, margin %3").arg(c.w).arg(c.h).arg(c.margin).toStdString());
        const QString path = pic(QString("size%1.png").arg(i));
        ASSERT_TRUE(saveRgb(testPattern(c.w, c.h), path, FIF_PNG));
        PageLayout layout;
        QString error;
        ASSERT_TRUE(layout.SetMargin(c.margin, &error));
        const PageResult r = m().MakePage(i, path, 50, layout);
        if (c.pw == 0) {
            EXPECT_EQ(r.status, PageResult::PictureError);
            EXPECT_TRUE(r.message.contains(path) && r.message.contains("more than the 200in (5080mm) a side"))
                << qPrintable(r.message);
            EXPECT_FALSE(QFileInfo::exists(folders.pageFile(i)));
            continue;
        }
        ASSERT_TRUE(r.ok()) << qPrintable(r.message);
        const auto box = mediaBoxPoints(folders.pageFile(i));
        EXPECT_NEAR(box.first, c.pw, 0.01);
        EXPECT_NEAR(box.second, c.ph, 0.01);
        ++i;
    }
}

TEST_F(PageMakerTest, PageFileIsNamedByEntryNumberAndYieldsTwicePerPage)
{
    // A JPEG is decoded in this process: no passes but the page's own two.
    const QString path = pic("a.jpg");
    ASSERT_TRUE(saveRgb(testPattern(kW, kH), path, FIF_JPEG));
    ASSERT_TRUE(m().MakePage(12, path, 80).ok());
    EXPECT_TRUE(QFileInfo::exists(folders.pageDir + "/12.pdf"));
    EXPECT_EQ(yields, 2);
    ASSERT_TRUE(m().MakePage(13, path, 80).ok());
    EXPECT_EQ(yields, 4);
    EXPECT_EQ(pdfInfoField(folders.pageFile(12), "Creator"), "Velunor");
}

TEST_F(PageMakerTest, PropertiesAreSetInTheDocumentedOrder)
{
    const QString path = pic("a.bmp");
    ASSERT_TRUE(saveRgb(testPattern(kW, kH), path, FIF_BMP));
    // Every call noted on its way to the real library.
    struct Recorder : PdfLibrary {
        QStringList calls;
        int CreateBox(quintptr owner, int reserved) override
        {
            calls << QString("CreateBox(%1)").arg(reserved);
            return PdfLibrary::CreateBox(owner, reserved);
        }
        int SetNumProp(int box, int property, int value) override
        {
            calls << QString("SetNumProp(%1, %2)").arg(property).arg(value);
            return PdfLibrary::SetNumProp(box, property, value);
        }
        int SetStrProp(int box, int property, const QString& text) override
        {
            calls << QString("SetStrProp(%1, %2)").arg(property).arg(text);
            return PdfLibrary::SetStrProp(box, property, text);
        }
        int BeginDoc(int box) override
        {
            calls << "BeginDoc";
            return PdfLibrary::BeginDoc(box);
        }
        int StretchDrawFromFile(int box, int left, int top, int width, int height, const QString& bitmap) override
        {
            calls << QString("StretchDrawFromFile(%1, %2, %3, %4, %5)").arg(left).arg(top).arg(width).arg(height).arg(bitmap);
            return PdfLibrary::StretchDrawFromFile(box, left, top, width, height, bitmap);
        }
        int EndDoc(int box) override
        {
            calls << "EndDoc";
            return PdfLibrary::EndDoc(box);
        }
        int FreeBox(int box) override
        {
            calls << "FreeBox";
            return PdfLibrary::FreeBox(box);
        }
    } recorder;
    PageMaker maker(folders, sink, [] {}, DecoderProcess::Defaults(), recorder);
    maker.BeginJob();
    const PageResult r = maker.MakePage(0, path, 77);
    const QStringList& calls = recorder.calls;
    ASSERT_TRUE(r.ok());
    QList<int> order;
    for (const QString& c : calls) {
        if (c.startsWith("SetNumProp(") || c.startsWith("SetStrProp("))
            order << c.section('(', 1).section(',', 0, 0).toInt();
    }
    EXPECT_EQ(order, (QList<int>{44, 10, 44, 14, 36, 34, 31, 45, 51, 52}));
    EXPECT_TRUE(calls.contains("SetNumProp(45, 77)"));
    EXPECT_TRUE(calls.contains("SetNumProp(36, 254)"));
    EXPECT_TRUE(calls.contains("SetNumProp(34, 127)"));
    EXPECT_EQ(calls.mid(calls.size() - 4, 3), (QStringList{"BeginDoc", calls[calls.size() - 3], "EndDoc"}));
    EXPECT_TRUE(calls[calls.size() - 3].startsWith("StretchDrawFromFile(0, 0, 254, 127, "));
    EXPECT_EQ(calls.last(), "FreeBox");
}

TEST_F(PageMakerTest, GreyIsDeviceGrayBilevelIsLosslessAlphaIsOnWhite)
{
    // 8-bit grey PNG: a grey image, not an RGB one.
    const QString grey = pic("grey.png");
    ASSERT_TRUE(saveRgb(greyPattern(kW, kH), grey, FIF_PNG, 8));
    ASSERT_TRUE(m().MakePage(0, grey, 100).ok());
    auto images = pdfImages(folders.pageFile(0));
    ASSERT_EQ(images.size(), 1u);
    EXPECT_EQ(images[0][5], "gray");
    expectPage(0, greyPattern(kW, kH), kLosslessSource);

    // 1-bit scan (text-like stripes): kept exactly, 1 bit per pixel.
    const QString scan = pic("scan.tif");
    FIBITMAP* bits = FreeImage_Allocate(kW, kH, 1);
    RGBQUAD* pal = FreeImage_GetPalette(bits);
    pal[0] = RGBQUAD{0, 0, 0, 0};
    pal[1] = RGBQUAD{255, 255, 255, 0};
    RgbImage scanRef{kW, kH, std::vector<uint8_t>(kW * kH * 3)};
    for (int y = 0; y < kH; ++y) {
        BYTE* line = FreeImage_GetScanLine(bits, kH - 1 - y);
        for (int x = 0; x < kW; ++x) {
            const bool white = ((x / 3) + (y / 2)) % 3 != 0;
            if (white)
                line[x / 8] |= BYTE(0x80 >> (x % 8));
            std::fill_n(scanRef.at(x, y), 3, white ? 255 : 0);
        }
    }
    ASSERT_TRUE(FreeImage_Save(FIF_TIFF, bits, QFile::encodeName(scan).constData(), TIFF_CCITTFAX4));
    FreeImage_Unload(bits);
    ASSERT_TRUE(m().MakePage(1, scan, 10).ok()); // low quality must not blur it
    images = pdfImages(folders.pageFile(1));
    ASSERT_EQ(images.size(), 1u);
    EXPECT_EQ(images[0][7], "1");
    EXPECT_NE(images[0][8], "jpeg");
    // Splash drifts by up to two pixels across these 3-pixel stripes (about
    // 56); the same stripes inverted or shifted by half a period give 150+.
    expectPage(1, scanRef, 0.0, 64.0);
    EXPECT_EQ(meanAbsDiff(extractImage(folders.pageFile(1)), scanRef), 0.0);

    // Left half opaque, right half fully transparent: white there.
    const QString alpha = pic("alpha.png");
    ASSERT_TRUE(writeTestPicture(alpha, FIF_PNG, kW, kH, 32));
    ASSERT_TRUE(m().MakePage(2, alpha, 100).ok());
    const Rendered page = renderPoppler(folders.pageFile(2), 200);
    ASSERT_TRUE(page.ok);
    ASSERT_EQ(page.image.w, kW);
    for (int y = 0; y < kH; y += 7) {
        const uint8_t* right = page.image.at(kW - 1 - y % (kW / 2 - 1), y);
        EXPECT_GE(right[0], 250);
        EXPECT_GE(right[1], 250);
        EXPECT_GE(right[2], 250);
    }
    // The opaque half keeps its colours (green grows upwards).
    EXPECT_GT(page.image.at(10, 5)[1], 200);
    EXPECT_LT(page.image.at(10, kH - 5)[1], 40);
}

} // namespace
