// Pictures that are odd or damaged: wrong names, turned photos, deep pixel
// types, unreadable files, bombs, decoder chatter and drawing failures.
#include "pagemaker_fixture.h"

#include <cmath>

namespace {

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
