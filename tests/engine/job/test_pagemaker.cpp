#include "PictureCheck.h"
#include "RecordingMessageSink.h"
#include "TestSupport.h"

#include "engine/job/PageMaker.h"
#include "engine/picture/PictureNames.h"
#include "engine/pdf/PdfCtl.h"

#include <FreeImage.h>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <cmath>
#include <fcntl.h>
#include <unistd.h>

using namespace testsupport;

namespace {

// Pictures are 200 x 100 pixels: at 200 per inch the page is 254 x 127
// tenths of a millimetre, 72 x 36 points, and renders at 200 dpi to exactly
// the source's pixels.
constexpr int kW = 200, kH = 100;

// Quality 100 with no subsampling: what is left is the JPEG's rounding.
// Measure: mean absolute difference per channel (0..255) between the 200-dpi
// rendering and the source pixels. mupdf draws a page of this size 1:1;
// poppler's Splash resamples images drawn 1:1 (up to a pixel off, and a
// little blurred), so its rendering is compared at the best alignment within
// one pixel and allowed kPopplerResampling more.
constexpr double kLosslessSource = 1.0; // BMP, PNG, TIFF... sources
constexpr double kJpegSource = 2.5;     // the source itself was a JPEG
constexpr double kPopplerResampling = 1.0;

quint32 crc32(const QByteArray& data)
{
    quint32 crc = 0xFFFFFFFFu;
    for (char c : data) {
        crc ^= quint8(c);
        for (int k = 0; k < 8; ++k)
            crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
    return ~crc;
}

void putBe32(QByteArray& a, int at, quint32 v)
{
    a[at] = char(v >> 24);
    a[at + 1] = char(v >> 16);
    a[at + 2] = char(v >> 8);
    a[at + 3] = char(v);
}

// Each channel to one of 6 levels: 216 colours, so a GIF holds it exactly.
RgbImage posterised(RgbImage img)
{
    for (auto& v : img.px)
        v = uint8_t(((v + 25) / 51) * 51);
    return img;
}

bool savePalette216(const RgbImage& img, const QString& path, int format)
{
    FIBITMAP* dib = FreeImage_Allocate(img.w, img.h, 8);
    RGBQUAD* pal = FreeImage_GetPalette(dib);
    for (int i = 0; i < 216; ++i) {
        pal[i].rgbRed = BYTE((i / 36) * 51);
        pal[i].rgbGreen = BYTE(((i / 6) % 6) * 51);
        pal[i].rgbBlue = BYTE((i % 6) * 51);
    }
    for (int y = 0; y < img.h; ++y) {
        BYTE* line = FreeImage_GetScanLine(dib, img.h - 1 - y);
        for (int x = 0; x < img.w; ++x) {
            const uint8_t* p = img.at(x, y);
            line[x] = BYTE((p[0] / 51) * 36 + (p[1] / 51) * 6 + p[2] / 51);
        }
    }
    const BOOL ok = FreeImage_Save(FREE_IMAGE_FORMAT(format), dib, QFile::encodeName(path).constData(), 0);
    FreeImage_Unload(dib);
    return ok;
}

// The picture as shown under an Exif orientation (1 to 8): where each shown
// pixel comes from in the stored one.
RgbImage oriented(const RgbImage& src, int orientation)
{
    const bool swapSides = orientation >= 5;
    RgbImage dst{swapSides ? src.h : src.w, swapSides ? src.w : src.h, std::vector<uint8_t>(src.px.size())};
    const int W = src.w, H = src.h;
    for (int y = 0; y < dst.h; ++y)
        for (int x = 0; x < dst.w; ++x) {
            int sx = x, sy = y;
            switch (orientation) {
            case 2: sx = W - 1 - x; break;
            case 3: sx = W - 1 - x; sy = H - 1 - y; break;
            case 4: sy = H - 1 - y; break;
            case 5: sx = y; sy = x; break;
            case 6: sx = y; sy = H - 1 - x; break;
            case 7: sx = W - 1 - y; sy = H - 1 - x; break;
            case 8: sx = W - 1 - y; sy = x; break;
            default: break;
            }
            std::copy_n(src.at(sx, sy), 3, dst.at(x, y));
        }
    return dst;
}

// Runs f with standard error going into a file; returns what was written.
template <class F>
QString capturingStderr(const QString& file, F f)
{
    std::fflush(stderr);
    const int saved = dup(2);
    const int fd = ::open(QFile::encodeName(file).constData(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    dup2(fd, 2);
    f();
    std::fflush(stderr);
    dup2(saved, 2);
    ::close(fd);
    ::close(saved);
    return QString::fromUtf8(readAll(file));
}

class PageMakerTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(dir.isValid());
        folders = WorkFolders{dir.filePath("tmpvelunor"), dir.filePath("jpgtmp")};
        ASSERT_TRUE(QDir().mkpath(folders.tmpDir));
        ASSERT_TRUE(QDir().mkpath(folders.pageDir));
    }

    QString pic(const QString& name) const { return dir.filePath(name); }

    // Writes the test picture under `name` in the format its extension says
    // (case ignored) and returns the pixels its page must show.
    RgbImage makePicture(const QString& name, double* tolerance)
    {
        const QString path = pic(name);
        const QString ext = QFileInfo(name).suffix().toLower();
        const RgbImage img = testPattern(kW, kH);
        *tolerance = kLosslessSource;
        bool ok = false;
        if (ext == "bmp" || ext == "dib")
            ok = saveRgb(img, path, FIF_BMP);
        else if (ext == "jpg" || ext == "jpeg") {
            ok = saveRgb(img, path, FIF_JPEG, 24, JPEG_QUALITYSUPERB | JPEG_SUBSAMPLING_444);
            *tolerance = kJpegSource;
        } else if (ext == "gif") {
            const RgbImage poster = posterised(img);
            EXPECT_TRUE(savePalette216(poster, path, FIF_GIF));
            return poster;
        } else if (ext == "png")
            ok = saveRgb(img, path, FIF_PNG);
        else if (ext == "ico") { // icons are square, 256 at most
            const RgbImage square = testPattern(kW, kW);
            EXPECT_TRUE(saveRgb(square, path, FIF_ICO));
            return square;
        }
        else if (ext == "tif" || ext == "tiff")
            ok = saveRgb(img, path, FIF_TIFF);
        else if (ext == "psd")
            ok = saveRgb(img, path, FIF_PSD);
        else if (ext == "iff" || ext == "pcx") {
            // FreeImage reads these but cannot write them: netpbm makes them.
            const QString ppm = path + ".ppm";
            EXPECT_TRUE(saveRgb(img, ppm, FIF_PPMRAW));
            ok = ext == "iff" ? runToFile("ppmtoilbm", {"-24force"}, ppm, path)
                              : runToFile("ppmtopcx", {}, ppm, path);
        }
        EXPECT_TRUE(ok) << "could not make " << qPrintable(path);
        return img;
    }

    // A page that is valid, one page, the size of the picture at 200 per
    // inch, and renders in poppler and mupdf without a word, like `expected`.
    void expectPage(int i, const RgbImage& expected, double tolerance, double popplerTolerance = -1)
    {
        if (popplerTolerance < 0)
            popplerTolerance = tolerance + kPopplerResampling;
        const QString pdf = folders.pageFile(i);
        ASSERT_TRUE(QFileInfo::exists(pdf)) << qPrintable(pdf);
        EXPECT_EQ(qpdfProblems(pdf), QString());
        EXPECT_EQ(pdfPageCount(pdf), 1);
        const auto box = mediaBoxPoints(pdf);
        EXPECT_NEAR(box.first, PageMaker::PageLength(expected.w) * 72.0 / 254, 0.01);
        EXPECT_NEAR(box.second, PageMaker::PageLength(expected.h) * 72.0 / 254, 0.01);
        const Rendered poppler = renderPoppler(pdf, 200);
        ASSERT_TRUE(poppler.ok);
        EXPECT_EQ(poppler.messages, QString());
        const double dp = meanAbsDiffAligned(poppler.image, expected, 1);
        EXPECT_GE(dp, 0) << "rendered " << poppler.image.w << "x" << poppler.image.h;
        EXPECT_LE(dp, popplerTolerance);
        const Rendered mupdf = renderMupdf(pdf, 200);
        ASSERT_TRUE(mupdf.ok);
        EXPECT_EQ(mupdf.messages, QString());
        const double dm = meanAbsDiff(mupdf.image, expected);
        EXPECT_GE(dm, 0) << "rendered " << mupdf.image.w << "x" << mupdf.image.h;
        EXPECT_LE(dm, tolerance);
    }

    // A failure that names the file, with no page and no temporary bitmap.
    void expectRefused(int i, const QString& path, const PageResult& r, const QString& reasonPart)
    {
        EXPECT_EQ(r.status, PageResult::PictureError);
        EXPECT_TRUE(r.message.contains(path)) << qPrintable(r.message);
        EXPECT_TRUE(r.message.contains(reasonPart, Qt::CaseInsensitive)) << qPrintable(r.message);
        EXPECT_FALSE(QFileInfo::exists(folders.pageFile(i)));
        EXPECT_FALSE(QFileInfo::exists(folders.tempBitmap()));
        EXPECT_TRUE(sink.messages.empty()); // the caller decides how to tell the user
    }

    QTemporaryDir dir;
    WorkFolders folders;
    RecordingMessageSink sink;
    int yields = 0;
    PageMaker& m()
    {
        if (!made) {
            made = std::make_unique<PageMaker>(folders, sink, [this] { ++yields; });
            made->BeginJob();
        }
        return *made;
    }
    std::unique_ptr<PageMaker> made;
};

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

TEST_F(PageMakerTest, MislabelledAndUpperCaseNamesGiveTheRightPage)
{
    const RgbImage img = testPattern(kW, kH);
    const QString pngAsJpg = pic("really-png.jpg");
    ASSERT_TRUE(saveRgb(img, pngAsJpg, FIF_PNG));
    const QString jpe = pic("photo.jpe");
    ASSERT_TRUE(saveRgb(img, jpe, FIF_JPEG, 24, JPEG_QUALITYSUPERB | JPEG_SUBSAMPLING_444));
    const QString upper = pic("PHOTO.PNG");
    ASSERT_TRUE(saveRgb(img, upper, FIF_PNG));
    const QString scanTif = pic("scan.TIF");
    ASSERT_TRUE(saveRgb(img, scanTif, FIF_TIFF));
    const QString dotted = pic("a.b.png");
    ASSERT_TRUE(saveRgb(img, dotted, FIF_PNG));

    // After a PNG entry, the .jpe (outside the table) is first tried as PNG.
    const QString entries[] = {pngAsJpg, upper, jpe, scanTif, dotted};
    for (int i = 0; i < 5; ++i) {
        const PageResult r = m().MakePage(i, entries[i], 100);
        ASSERT_TRUE(r.ok()) << qPrintable(entries[i]) << ": " << qPrintable(r.message);
        expectPage(i, img, entries[i] == jpe ? kJpegSource : kLosslessSource);
    }
}

TEST_F(PageMakerTest, ExifOrientedPhotoIsUprightAndSizedByTheTurnedPicture)
{
    const QString plain = pic("plain.jpg");
    const RgbImage img = testPattern(kW, kH);
    ASSERT_TRUE(saveRgb(img, plain, FIF_JPEG, 24, JPEG_QUALITYSUPERB | JPEG_SUBSAMPLING_444));
    const QByteArray stored = readAll(plain);
    // Every orientation a camera writes: mirrored, turned, or both.
    for (int orientation = 1; orientation <= 8; ++orientation) {
        SCOPED_TRACE(orientation);
        // An Exif APP1 segment right after SOI with one IFD entry.
        const char tiff[] = {'E', 'x', 'i', 'f', 0, 0, 'I', 'I', '*', 0, 8, 0, 0, 0, 1, 0,
                             0x12, 0x01, 3, 0, 1, 0, 0, 0, char(orientation), 0, 0, 0, 0, 0, 0, 0};
        const QByteArray exif(tiff, sizeof tiff);
        QByteArray app1("\xFF\xE1", 2);
        app1 += char(0);
        app1 += char(exif.size() + 2);
        app1 += exif;
        QByteArray jpeg = stored;
        jpeg.insert(2, app1);
        const QString turned = pic(QString("phone%1.jpg").arg(orientation));
        ASSERT_TRUE(writeFile(turned, jpeg));

        const PageResult r = m().MakePage(orientation - 1, turned, 100);
        ASSERT_TRUE(r.ok()) << qPrintable(r.message);
        expectPage(orientation - 1, oriented(img, orientation), kJpegSource);
        // The file's own data, as stored, turned by the page's matrix alone.
        const std::vector<QStringList> images = pdfImages(folders.pageFile(orientation - 1));
        ASSERT_EQ(images.size(), 1u);
        EXPECT_EQ(images[0].mid(3, 2), QStringList({QString::number(kW), QString::number(kH)}));
        EXPECT_EQ(images[0][8], "jpeg");
    }
}

TEST_F(PageMakerTest, DeepPixelTypesBecomeAStandardBitmapAndARightPage)
{
    const RgbImage img = testPattern(kW, kH);
    const RgbImage greyImg = greyPattern(kW, kH);
    // 16 bits per channel RGB, and 16-bit grey as PNG and as TIFF.
    FIBITMAP* rgb16 = FreeImage_AllocateT(FIT_RGB16, kW, kH);
    FIBITMAP* grey16 = FreeImage_AllocateT(FIT_UINT16, kW, kH);
    for (int y = 0; y < kH; ++y) {
        auto* c = reinterpret_cast<FIRGB16*>(FreeImage_GetScanLine(rgb16, kH - 1 - y));
        auto* g = reinterpret_cast<WORD*>(FreeImage_GetScanLine(grey16, kH - 1 - y));
        for (int x = 0; x < kW; ++x) {
            const uint8_t* p = img.at(x, y);
            c[x] = FIRGB16{WORD(p[0] * 257), WORD(p[1] * 257), WORD(p[2] * 257)};
            g[x] = WORD(greyImg.at(x, y)[0] * 257);
        }
    }
    const QString p1 = pic("deep.png"), p2 = pic("grey16.png"), p3 = pic("grey16.tif");
    ASSERT_TRUE(FreeImage_Save(FIF_PNG, rgb16, QFile::encodeName(p1).constData(), 0));
    ASSERT_TRUE(FreeImage_Save(FIF_PNG, grey16, QFile::encodeName(p2).constData(), 0));
    ASSERT_TRUE(FreeImage_Save(FIF_TIFF, grey16, QFile::encodeName(p3).constData(), 0));
    FreeImage_Unload(rgb16);
    FreeImage_Unload(grey16);

    const struct {
        QString path;
        const RgbImage& expected;
        int bmpBits;
    } cases[] = {{p1, img, 24}, {p2, greyImg, 8}, {p3, greyImg, 8}};
    int i = 0;
    for (const auto& c : cases) {
        const PageResult r = m().MakePage(i, c.path, 100);
        ASSERT_TRUE(r.ok()) << qPrintable(c.path) << ": " << qPrintable(r.message);
        // The temporary bitmap is one any program reads: 24 or 8 bits.
        const QByteArray bmp = readAll(folders.tempBitmap());
        ASSERT_GT(bmp.size(), 30);
        EXPECT_EQ(quint8(bmp[28]) | quint8(bmp[29]) << 8, c.bmpBits) << qPrintable(c.path);
        expectPage(i, c.expected, kLosslessSource);
        ++i;
    }
}

TEST_F(PageMakerTest, UnreadableFilesAreRefusedByNameWithoutAnotherPicturesPage)
{
    // A good page first: its temporary bitmap must not stand in for the rest.
    const QString good = pic("good.png");
    ASSERT_TRUE(saveRgb(testPattern(kW, kH), good, FIF_PNG));
    ASSERT_TRUE(m().MakePage(0, good, 90).ok());
    ASSERT_TRUE(QFileInfo::exists(folders.tempBitmap()));

    const QString empty = pic("empty.png");
    ASSERT_TRUE(writeFile(empty, {}));
    expectRefused(1, empty, m().MakePage(1, empty, 90), "empty");

    const QString text = pic("notes.jpg");
    ASSERT_TRUE(writeFile(text, "These are not the pixels you are looking for.\n"));
    expectRefused(2, text, m().MakePage(2, text, 90), "not a picture");

    // A PNG cut in the middle of its pixel data.
    const QString cut = pic("cut.png");
    QByteArray png = readAll(good);
    ASSERT_TRUE(writeFile(cut, png.left(png.size() / 2)));
    const PageResult rc = m().MakePage(3, cut, 90);
    expectRefused(3, cut, rc, "could not be decoded as PNG");
    EXPECT_TRUE(rc.message.contains(" (")) << "FreeImage's own reason is part of the message";

    // A JPEG cut short: libjpeg would fill the rest with grey.
    const QString photo = pic("photo.jpg");
    ASSERT_TRUE(saveRgb(testPattern(kW, kH), photo, FIF_JPEG, 24, JPEG_QUALITYSUPERB));
    const QString cutJpeg = pic("cut.jpg");
    QByteArray jpeg = readAll(photo);
    ASSERT_TRUE(writeFile(cutJpeg, jpeg.left(jpeg.size() / 2)));
    expectRefused(6, cutJpeg, m().MakePage(6, cutJpeg, 90), "incomplete");

    const QString missing = pic("gone.bmp");
    expectRefused(4, missing, m().MakePage(4, missing, 90), "does not exist");

    const QString folder = pic("folder.png");
    ASSERT_TRUE(QDir().mkpath(folder));
    expectRefused(5, folder, m().MakePage(5, folder, 90), "folder");

    // And the next good picture makes its own page.
    const QString other = pic("other.bmp");
    const RgbImage otherImg = greyPattern(kW, kH);
    ASSERT_TRUE(saveRgb(otherImg, other, FIF_BMP));
    ASSERT_TRUE(m().MakePage(7, other, 100).ok());
    expectPage(7, otherImg, kLosslessSource);
}

// A PNG whose header is changed to w x h, its checksum made right again.
QByteArray pngClaiming(QByteArray png, quint32 w, quint32 h)
{
    putBe32(png, 16, w);
    putBe32(png, 20, h);
    putBe32(png, 29, crc32(png.mid(12, 17)));
    return png;
}

TEST_F(PageMakerTest, DecompressionBombsAreRefusedBeforeDecoding)
{
    EXPECT_GE(PageMaker::MaxPixels(), qint64(20000) * 20000);

    const QString png8 = pic("small.png"), png16 = pic("small16.png"), jpgSmall = pic("small.jpg");
    ASSERT_TRUE(saveRgb(testPattern(1, 1), png8, FIF_PNG));
    FIBITMAP* rgba16 = FreeImage_AllocateT(FIT_RGBA16, 1, 1);
    ASSERT_TRUE(FreeImage_Save(FIF_PNG, rgba16, QFile::encodeName(png16).constData(), 0));
    FreeImage_Unload(rgba16);
    ASSERT_TRUE(saveRgb(testPattern(16, 16), jpgSmall, FIF_JPEG));
    // A JPEG whose frame header claims w x h.
    auto jpegClaiming = [&](quint16 w, quint16 h) {
        QByteArray jpg = readAll(jpgSmall);
        const int sof = jpg.indexOf(QByteArray("\xFF\xC0", 2));
        EXPECT_GT(sof, 0);
        jpg[sof + 5] = char(h >> 8);
        jpg[sof + 6] = char(h);
        jpg[sof + 7] = char(w >> 8);
        jpg[sof + 8] = char(w);
        return jpg;
    };
    const QByteArray claims = jpegClaiming(19000, 19000);
    const int sof = claims.indexOf(QByteArray("\xFF\xC0", 2));
    // A GIF declaring 65,535 x 65,535 (FreeImage has no header-only GIF load).
    static const char gifBytes[] = "GIF89a" "\xFF\xFF\xFF\xFF" "\0\0\0"  // screen, no colour table
                                   ",\0\0\0\0" "\xFF\xFF\xFF\xFF" "\0"  // one frame as large
                                   "\x02" "\x02\x44\x01" "\0" ";";
    const struct {
        const char* name;
        QByteArray bytes;
        const char* reason;
    } bombs[] = {
        {"bomb.png", pngClaiming(readAll(png8), 100000, 100000), "100,000 x 100,000 pixels"},
        {"bomb.gif", QByteArray(gifBytes, sizeof gifBytes - 1), "65,535 x 65,535 pixels"},
        {"bomb.jpg", jpegClaiming(60000, 60000), "60,000 x 60,000 pixels"},
        // Within the pixel limit, but not in memory: 2.9 GB of 16-bit RGBA,
        // and 1.1 GB from a file of a few hundred bytes.
        {"deep.png", pngClaiming(readAll(png16), 19000, 19000), "19,000 x 19,000 pixels of 64 bits"},
        {"claims.jpg", jpegClaiming(19000, 19000), "19,000 x 19,000 pixels of 24 bits"},
        // Where a marker walk of our own gave up and libjpeg goes on (a junk
        // byte, many segments before the frame): libjpeg's reading counts.
        {"junk.jpg", claims.left(sof) + '\0' + claims.mid(sof), "19,000 x 19,000 pixels of 24 bits"},
        {"segments.jpg", claims.left(sof) + QByteArray("\xFF\xFE\0\x02", 4).repeated(1001) + claims.mid(sof),
         "19,000 x 19,000 pixels of 24 bits"},
    };
    int i = 0;
    for (const auto& b : bombs) {
        const QString path = pic(b.name);
        ASSERT_TRUE(writeFile(path, b.bytes));
        expectRefused(i, path, m().MakePage(i, path, 90), b.reason);
        ++i;
    }
}

TEST_F(PageMakerTest, DecoderChatterStaysOffTheTerminal)
{
    // A TIFF written from a JPEG photo: FreeImage asks libtiff about EXIF
    // tags it does not know, which libtiff would print as "errors".
    const QString tif = pic("photo.tif");
    FIBITMAP* photo = FreeImage_Load(FIF_JPEG, "/usr/share/backgrounds/mate/nature/Storm.jpg", 0);
    if (!photo)
        GTEST_SKIP() << "mate-backgrounds is not installed";
    FIBITMAP* small = FreeImage_Rescale(photo, 160, 107);
    FreeImage_Unload(photo);
    ASSERT_TRUE(FreeImage_Save(FIF_TIFF, small, QFile::encodeName(tif).constData(), 0));
    FreeImage_Unload(small);
    PageResult r;
    const QString said = capturingStderr(pic("stderr.txt"), [&] { r = m().MakePage(0, tif, 80); });
    EXPECT_TRUE(r.ok()) << qPrintable(r.message);
    EXPECT_EQ(said, QString());
}

TEST_F(PageMakerTest, DrawingLibraryFailureIsShownAndReturnedNotFatal)
{
    // The page folder is missing: the drawing library refuses the file name.
    WorkFolders broken{folders.tmpDir, dir.filePath("no-such-folder")};
    PageMaker maker2(broken, sink, [] {});
    maker2.BeginJob();
    const QString path = pic("a.png");
    ASSERT_TRUE(saveRgb(testPattern(kW, kH), path, FIF_PNG));
    const PageResult r = maker2.MakePage(0, path, 80);
    EXPECT_EQ(r.status, PageResult::PdfError);
    ASSERT_EQ(sink.messages.size(), 1u);
    EXPECT_EQ(sink.messages[0].title, "PDF");
    EXPECT_EQ(sink.messages[0].icon, MessageIcon::Critical);
    EXPECT_TRUE(sink.messages[0].text.contains("no-such-folder")) << qPrintable(sink.messages[0].text);
    // Still here, and the next page with a sound folder works.
    EXPECT_TRUE(m().MakePage(0, path, 80).ok());
}

} // namespace
