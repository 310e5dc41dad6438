// Pictures as other programs write them, and paths that are no files.
#include "PageMakerFixture.h"
#include "PictureCheck.h"
#include "RecordingMessageSink.h"
#include "TestSupport.h"

#include "engine/job/PageMaker.h"
#include "platform/AppPaths.h"
#include "platform/ProcessList.h"

#include <sys/wait.h>

#include <FreeImage.h>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTimer>
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace testsupport;

namespace {

constexpr int kW = 200, kH = 100;

void put16(QByteArray& a, quint16 v)
{
    a += char(v & 0xFF);
    a += char(v >> 8);
}

void put32(QByteArray& a, quint32 v)
{
    put16(a, quint16(v & 0xFFFF));
    put16(a, quint16(v >> 16));
}

// A little-endian TIFF of one directory whose entries (tag, type, value)
// each hold one value, and the pixels before or after it; StripOffsets (273)
// is made to point at them.
template <size_t N>
QByteArray littleEndianTiff(const QByteArray& pixels, const quint16 (&entries)[N][3], bool pixelsFirst = true)
{
    QByteArray tiff("II*\0", 4);
    const quint32 directorySize = 2 + 12 * N + 4;
    put32(tiff, pixelsFirst ? quint32(8 + pixels.size()) : 8);
    if (pixelsFirst)
        tiff += pixels;
    put16(tiff, quint16(N));
    for (const auto& e : entries) {
        put16(tiff, e[0]);
        put16(tiff, e[1]);
        put32(tiff, 1);
        put32(tiff, e[0] == 273 ? (pixelsFirst ? 8 : 8 + directorySize) : e[2]); // StripOffsets
    }
    put32(tiff, 0);
    if (!pixelsFirst)
        tiff += pixels;
    return tiff;
}

// A bottom-up BMP with a BITMAPV4HEADER (108 bytes) or BITMAPV5HEADER (124),
// as ImageMagick and GIMP write them; `palette` (if any) follows the header.
QByteArray longHeaderBmp(int headerSize, int w, int h, int bpp, quint32 compression, const QList<quint32>& palette,
                         const QByteArray& pixels)
{
    QByteArray info;
    put32(info, quint32(headerSize));
    put32(info, quint32(w));
    put32(info, quint32(h));
    put16(info, 1);
    put16(info, quint16(bpp));
    put32(info, compression);
    put32(info, quint32(pixels.size()));
    put32(info, 7874); // 200 per inch
    put32(info, 7874);
    put32(info, quint32(palette.size()));
    put32(info, 0);
    put32(info, 0x00FF0000); // masks, used with BI_BITFIELDS only
    put32(info, 0x0000FF00);
    put32(info, 0x000000FF);
    put32(info, 0xFF000000);
    put32(info, 0x73524742); // 'sRGB'
    info += QByteArray(headerSize - info.size(), '\0');
    QByteArray pal;
    for (quint32 c : palette)
        put32(pal, c);
    QByteArray file("BM");
    put32(file, quint32(14 + info.size() + pal.size() + pixels.size()));
    put32(file, 0);
    put32(file, quint32(14 + info.size() + pal.size()));
    return file + info + pal + pixels;
}

class RobustPictureTest : public PageMakerFixture {
protected:
    // The page exists and mupdf draws it at 200 dpi like `expected`.
    void expectLooksLike(int i, const RgbImage& expected, double tolerance)
    {
        const Rendered mupdf = renderMupdf(folders.pageFile(i), 200);
        ASSERT_TRUE(mupdf.ok);
        const double d = meanAbsDiff(mupdf.image, expected);
        EXPECT_GE(d, 0) << "rendered " << mupdf.image.w << "x" << mupdf.image.h;
        EXPECT_LE(d, tolerance);
    }
};

TEST_F(RobustPictureTest, BmpWithV4OrV5HeaderOrRleEndOfLineBeforeTheEndMakesARightPage)
{
    // 24-bit colour with a V5 header.
    const RgbImage img = testPattern(kW, kH);
    QByteArray rows;
    for (int y = kH - 1; y >= 0; --y) {
        for (int x = 0; x < kW; ++x) {
            const uint8_t* p = img.at(x, y);
            rows += char(p[2]);
            rows += char(p[1]);
            rows += char(p[0]);
        }
    }
    const QString v5 = pic("gimp.bmp");
    ASSERT_TRUE(writeFile(v5, longHeaderBmp(124, kW, kH, 24, 0, {}, rows)));
    PageResult r = maker.MakePage(0, v5, 100);
    ASSERT_TRUE(r.ok()) << qPrintable(r.message);
    expectLooksLike(0, img, 1.0);

    // The same stored top-down, as a negative height says.
    QByteArray topDown;
    for (int y = kH - 1; y >= 0; --y)
        topDown += rows.mid(y * kW * 3, kW * 3);
    const QString v5TopDown = pic("gimp-top-down.bmp");
    ASSERT_TRUE(writeFile(v5TopDown, longHeaderBmp(124, kW, -kH, 24, 0, {}, topDown)));
    r = maker.MakePage(3, v5TopDown, 100);
    ASSERT_TRUE(r.ok()) << qPrintable(r.message);
    expectLooksLike(3, img, 1.0);

    // 8-bit grey palette with a V4 header: the palette follows the long
    // header, and the page stays grey.
    const RgbImage grey = greyPattern(kW, kH);
    QList<quint32> greys;
    for (quint32 v = 0; v < 256; ++v)
        greys.append(v << 16 | v << 8 | v);
    QByteArray indices;
    for (int y = kH - 1; y >= 0; --y)
        for (int x = 0; x < kW; ++x)
            indices += char(grey.at(x, y)[0]);
    const QString v4 = pic("magick.bmp");
    ASSERT_TRUE(writeFile(v4, longHeaderBmp(108, kW, kH, 8, 0, greys, indices)));
    r = maker.MakePage(1, v4, 100);
    ASSERT_TRUE(r.ok()) << qPrintable(r.message);
    expectLooksLike(1, grey, 1.0);
    const auto images = pdfImages(folders.pageFile(1));
    ASSERT_EQ(images.size(), 1u);
    EXPECT_EQ(images[0].value(5), "gray");

    // RLE8 whose last row ends with an end-of-line code before the
    // end-of-bitmap code, as ImageMagick writes it: left half black, right
    // half white.
    QByteArray rle;
    for (int y = 0; y < kH; ++y)
        rle += QByteArray("\x64\x00\x64\x01\x00\x00", 6);
    rle += QByteArray("\x00\x01", 2);
    QByteArray bmp = longHeaderBmp(124, kW, kH, 8, 1, {0x000000, 0xFFFFFF}, rle);
    bmp[14] = 40; // a plain header: only the RLE coding is at stake
    bmp.remove(14 + 40, 124 - 40);
    bmp[10] = char(14 + 40 + 8);
    const QString rlePath = pic("magick-rle.bmp");
    ASSERT_TRUE(writeFile(rlePath, bmp));
    r = maker.MakePage(2, rlePath, 100);
    ASSERT_TRUE(r.ok()) << qPrintable(r.message);
    RgbImage halves{kW, kH, std::vector<uint8_t>(size_t(kW) * kH * 3, 0)};
    for (int y = 0; y < kH; ++y)
        for (int x = kW / 2; x < kW; ++x)
            std::fill_n(halves.at(x, y), 3, uint8_t(255));
    expectLooksLike(2, halves, 2.0);
    EXPECT_TRUE(sink.messages.empty());
}

TEST_F(RobustPictureTest, FloatColourTiffIsRefusedByItsSamples)
{
    const RgbImage img = testPattern(kW, kH);
    FIBITMAP* rgbf = FreeImage_AllocateT(FIT_RGBF, kW, kH);
    for (int y = 0; y < kH; ++y) {
        auto* line = reinterpret_cast<FIRGBF*>(FreeImage_GetScanLine(rgbf, kH - 1 - y));
        for (int x = 0; x < kW; ++x) {
            const uint8_t* p = img.at(x, y);
            line[x] = FIRGBF{p[0] / 255.0f, p[1] / 255.0f, p[2] / 255.0f};
        }
    }
    const QString path = pic("scientific.tif");
    ASSERT_TRUE(FreeImage_Save(FIF_TIFF, rgbf, QFile::encodeName(path).constData(), TIFF_NONE));
    FreeImage_Unload(rgbf);
    const PageResult r = maker.MakePage(0, path, 100);
    EXPECT_TRUE(r.message.contains("32-bit floating-point samples")) << qPrintable(r.message);
}

// A JPEG with an Exif APP1 segment (TIFF structure `tiff`) after SOI.
QByteArray withExif(const QByteArray& jpeg, const QByteArray& tiff)
{
    const QByteArray exif = QByteArray("Exif\0\0", 6) + tiff;
    QByteArray app1("\xFF\xE1", 2);
    app1 += char((exif.size() + 2) >> 8);
    app1 += char((exif.size() + 2) & 0xFF);
    return jpeg.left(2) + app1 + exif + jpeg.mid(2);
}

TEST_F(RobustPictureTest, ExifThatLiesAboutItsSizeDoesNotCrashAndBigEndianOrientationTurns)
{
    const RgbImage img = testPattern(kW, kH);
    const QString plain = pic("plain.jpg");
    ASSERT_TRUE(saveRgb(img, plain, FIF_JPEG, 24, JPEG_QUALITYSUPERB | JPEG_SUBSAMPLING_444));
    const QByteArray jpeg = readAll(plain);

    // One IFD that claims 65,535 entries and holds one (Software "A").
    const QByteArray liar("II*\0\x08\0\0\0\xFF\xFF\x31\x01\x02\0\x02\0\0\0A\0\0\0", 22);
    const QString bad = pic("lying-exif.jpg");
    ASSERT_TRUE(writeFile(bad, withExif(jpeg, liar)));
    PageResult r = maker.MakePage(0, bad, 100);
    ASSERT_TRUE(r.ok()) << qPrintable(r.message);
    expectLooksLike(0, img, 2.5);

    // Motorola byte order, orientation 8 after another entry: turned a
    // quarter counter-clockwise to be upright.
    const QByteArray mm("MM\0*\0\0\0\x08\0\x02"
                        "\x01\x0F\0\x02\0\0\0\x04" "AB\0\0"
                        "\x01\x12\0\x03\0\0\0\x01\0\x08\0\0"
                        "\0\0\0\0", 38);
    const QString turned = pic("camera.jpg");
    ASSERT_TRUE(writeFile(turned, withExif(jpeg, mm)));
    r = maker.MakePage(1, turned, 100);
    ASSERT_TRUE(r.ok()) << qPrintable(r.message);
    RgbImage upright{kH, kW, std::vector<uint8_t>(img.px.size())};
    for (int y = 0; y < kH; ++y)
        for (int x = 0; x < kW; ++x)
            std::copy_n(img.at(x, y), 3, upright.at(y, kW - 1 - x));
    expectLooksLike(1, upright, 2.5);
}

TEST_F(RobustPictureTest, IffWhoseChunkSizeRunsPastTheFileIsRefusedNotLoopedOn)
{
    // A 4 x 2 one-plane ILBM whose BMHD chunk claims 8 MB.
    QByteArray bmhd("BMHD\x00\x80\x00\x14", 8);
    bmhd += QByteArray("\x00\x04\x00\x02\0\0\0\0\x01\0\0\0\0\0\x0A\x0A\x00\x04\x00\x02", 20);
    QByteArray body("BODY\0\0\0\x04", 8);
    body += QByteArray("\xF0\0\xF0\0", 4);
    QByteArray form = "ILBM" + bmhd + body;
    QByteArray iff("FORM", 4);
    for (int shift : {24, 16, 8, 0})
        iff += char((form.size() >> shift) & 0xFF);
    iff += form;
    const QString path = pic("damaged.iff");
    ASSERT_TRUE(writeFile(path, iff));
    const PageResult r = maker.MakePage(0, path, 90);
    EXPECT_EQ(r.status, PageResult::PictureError);
    EXPECT_TRUE(r.message.contains(path)) << qPrintable(r.message);
    EXPECT_TRUE(r.message.contains("damaged")) << qPrintable(r.message);

    // The same with the right size is a picture.
    iff[16 + 1] = 0;
    const QString good = pic("good.iff");
    ASSERT_TRUE(writeFile(good, iff));
    EXPECT_TRUE(maker.MakePage(1, good, 90).ok());
}

TEST_F(RobustPictureTest, DamagedTiffFailsAloneByNameAndTheNextPageIsMade)
{
    // An 8 x 2 TIFF of 1 bit with 128 samples a pixel, none of them
    // accounted for (FreeImage's TIFF reader ended the process on it).
    const QByteArray bits(2 * 128, '\x55');
    const quint16 crasher[][3] = {{256, 3, 8}, {257, 3, 2},   {258, 3, 1}, {259, 3, 1}, {262, 3, 1},
                                  {273, 4, 0}, {277, 3, 128}, {278, 3, 2}, {279, 4, quint16(bits.size())}};
    // A single-strip 8-bit grey TIFF, pixels after the directory, cut in
    // the middle of its pixels: libtiff reports the short strip and
    // FreeImage would draw garbage below it.
    const QByteArray grey(kW * kH, '\x80');
    const quint16 plain[][3] = {{256, 3, kW}, {257, 3, kH}, {258, 3, 8},  {259, 3, 1},
                                {262, 3, 1},  {273, 4, 0},  {277, 3, 1},  {278, 3, kH}, {279, 4, quint16(kW * kH)}};
    const QByteArray whole = littleEndianTiff(grey, plain, false);
    const struct {
        const char* name;
        QByteArray bytes;
        const char* reason;
    } cases[] = {
        {"crash.tif", littleEndianTiff(bits, crasher), "128 samples a pixel"},
        {"cut.tif", whole.left(whole.size() - kW * kH / 2), "damaged or incomplete"},
    };
    int i = 0;
    for (const auto& c : cases) {
        const QString bad = pic(c.name);
        ASSERT_TRUE(writeFile(bad, c.bytes));
        const PageResult r = maker.MakePage(i, bad, 90);
        EXPECT_EQ(r.status, PageResult::PictureError);
        EXPECT_TRUE(r.message.contains(bad)) << qPrintable(r.message);
        EXPECT_TRUE(r.message.contains(c.reason)) << qPrintable(r.message);
        EXPECT_FALSE(QFileInfo::exists(folders.pageFile(i)));
        EXPECT_FALSE(QFileInfo::exists(folders.tempBitmap()));
        ++i;
    }
    // The whole one is a picture, and the next page is made.
    const QString good = pic("whole.tif");
    ASSERT_TRUE(writeFile(good, whole));
    ASSERT_TRUE(maker.MakePage(i, good, 100).ok());
    const QString next = pic("next.png");
    const RgbImage img = testPattern(kW, kH);
    ASSERT_TRUE(saveRgb(img, next, FIF_PNG));
    ASSERT_TRUE(maker.MakePage(i + 1, next, 100).ok());
    expectLooksLike(i + 1, img, 1.0);
}

TEST_F(RobustPictureTest, TiffWithAnOrientationTagIsUpright)
{
    // 8-bit grey, stored as the camera saw it; Orientation 6 says the top
    // row is the right-hand column of the upright picture.
    const RgbImage grey = greyPattern(kW, kH);
    QByteArray pixels;
    for (int y = 0; y < kH; ++y)
        for (int x = 0; x < kW; ++x)
            pixels += char(grey.at(x, y)[0]);
    const quint16 entries[][3] = {{256, 3, kW}, {257, 3, kH}, {258, 3, 8},  {259, 3, 1},  {262, 3, 1},
                                  {273, 4, 8},  {274, 3, 6},  {277, 3, 1},  {278, 3, kH}, {279, 4, quint16(kW * kH)}};
    const QByteArray tiff = littleEndianTiff(pixels, entries);
    const QString path = pic("camera.tif");
    ASSERT_TRUE(writeFile(path, tiff));
    const PageResult r = maker.MakePage(0, path, 100);
    ASSERT_TRUE(r.ok()) << qPrintable(r.message);
    RgbImage upright{kH, kW, std::vector<uint8_t>(grey.px.size())};
    for (int y = 0; y < kH; ++y)
        for (int x = 0; x < kW; ++x)
            std::copy_n(grey.at(x, y), 3, upright.at(kH - 1 - y, x));
    expectLooksLike(0, upright, 1.0);
}

TEST_F(RobustPictureTest, PipeNamedLikeAPictureIsRefusedWithoutWaitingForAWriter)
{
    const QString fifo = pic("camera.png");
    ASSERT_EQ(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    const PageResult r = maker.MakePage(0, fifo, 90);
    EXPECT_EQ(r.status, PageResult::PictureError);
    EXPECT_TRUE(r.message.contains(fifo)) << qPrintable(r.message);
    EXPECT_TRUE(r.message.contains("not a regular file")) << qPrintable(r.message);
    EXPECT_FALSE(QFileInfo::exists(folders.pageFile(0)));
}

// The decoding helper: a decode that takes long keeps the window live and
// ends at its time limit; Exit in the middle ends the helper too; its memory
// limit ends a decode that needs more.

TEST_F(RobustPictureTest, SlowDecodeKeepsTheWindowLiveAndEndsAtItsTimeLimit)
{
    // A program that never answers stands in for a decoder stuck on a file.
    DecoderProcess::Options stuck;
    stuck.program = VELUNOR_TEST_HELPER_DIR "/vlnh2_sleeper";
    stuck.timeLimitMs = 500;
    int passes = 0;
    PageMaker slow(folders, sink, [&] { ++passes, QCoreApplication::processEvents(); }, stuck);
    slow.BeginJob();
    bool timerRan = false;
    QTimer::singleShot(50, [&] { timerRan = true; });
    const QString path = pic("stuck.png");
    ASSERT_TRUE(saveRgb(testPattern(kW, kH), path, FIF_PNG));
    const PageResult r = slow.MakePage(0, path, 90);
    EXPECT_TRUE(timerRan) << "no event was handled while the picture decoded";
    EXPECT_GT(passes, 2);
    EXPECT_EQ(r.status, PageResult::PictureError);
    EXPECT_TRUE(r.message.contains(path)) << qPrintable(r.message);
    EXPECT_TRUE(r.message.contains("did not finish within 0.5 seconds")) << qPrintable(r.message);
    for (const ProcessList::Entry& e : ProcessList::Snapshot())
        EXPECT_FALSE(e.ppid == ::getpid() && e.comm == "vlnh2_sleeper") << "left behind: " << e.pid;
}

TEST_F(RobustPictureTest, DecoderInheritsNoDescriptorButItsPipe)
{
    // A descriptor of ours that would survive an exec, as a lock taken
    // without close-on-exec would; the stand-in decoder lists its own.
    const int null = ::open("/dev/null", O_RDONLY);
    const int ours = ::fcntl(null, F_DUPFD, 57);
    ::close(null);
    ASSERT_GE(ours, 57);
    const QString lister = pic("list-fds");
    ASSERT_TRUE(writeFile(lister, "#!/bin/sh\nls /proc/self/fd\nexit 1\n"));
    ASSERT_EQ(::chmod(QFile::encodeName(lister).constData(), 0700), 0);
    DecoderProcess::Options options = DecoderProcess::Defaults();
    options.program = lister;
    PageMaker listing(folders, sink, [] {}, options);
    listing.BeginJob();
    const QString path = pic("any.png");
    ASSERT_TRUE(saveRgb(testPattern(kW, kH), path, FIF_PNG));
    const PageResult r = listing.MakePage(0, path, 90);
    ::close(ours);
    const QStringList fds = r.message.section(": ", -1).chopped(1).split('\n');
    EXPECT_TRUE(fds.startsWith("0") && fds.contains("2")) << qPrintable(r.message);
    EXPECT_FALSE(fds.contains(QString::number(ours))) << qPrintable(r.message);
}

TEST_F(RobustPictureTest, DecodeOverTheDecodersMemoryLimitFailsByName)
{
    // 100 MB of pixels: within the picture limits, not within 100 MB.
    const QString big = pic("wide.png");
    FIBITMAP* grey = FreeImage_Allocate(10000, 10000, 8);
    ASSERT_TRUE(FreeImage_Save(FIF_PNG, grey, QFile::encodeName(big).constData(), PNG_Z_BEST_SPEED));
    FreeImage_Unload(grey);
    DecoderProcess::Options small = DecoderProcess::Defaults();
    small.memoryLimit = 100000000;
#ifdef __SANITIZE_ADDRESS__
    // AddressSanitizer's reserved address space would exceed any limit: the
    // build makes a copy of the helper without it.
    small.program = VELUNOR_TEST_HELPER_DIR "/velunor-decode-unsanitized";
#endif
    PageMaker limited(folders, sink, [] {}, small);
    limited.BeginJob();
    const PageResult r = limited.MakePage(0, big, 90);
    EXPECT_EQ(r.status, PageResult::PictureError);
    EXPECT_TRUE(r.message.contains(big)) << qPrintable(r.message);
    EXPECT_TRUE(r.message.contains("more memory than the 0.1 GB")) << qPrintable(r.message);
    EXPECT_FALSE(QFileInfo::exists(folders.tempBitmap()));
}

// One helper decodes every picture of a job, a refused one included; one
// that ended (killed here) is followed by a new one for the next picture.
TEST_F(RobustPictureTest, OneDecoderServesTheJobAndANewOneFollowsOneThatEnded)
{
    FIBITMAP* grey = FreeImage_Allocate(12000, 12000, 8);
    ASSERT_TRUE(FreeImage_Save(FIF_PNG, grey, QFile::encodeName(pic("wide.png")).constData(), PNG_Z_BEST_SPEED));
    FreeImage_Unload(grey);
    DecoderProcess::Options counted = DecoderProcess::Defaults();
    // Room for the helper itself (its libraries take about 110 MB of
    // address space) and a small picture, not for the 144 MB one.
    counted.memoryLimit = 200000000;
#ifdef __SANITIZE_ADDRESS__
    counted.program = VELUNOR_TEST_HELPER_DIR "/velunor-decode-unsanitized";
#endif
    // The helper, started through a script that counts its starts.
    const QString starts = pic("starts.log"), counter = pic("counting-decoder");
    ASSERT_TRUE(writeFile(counter, ("#!/bin/sh\necho >> '" + starts + "'\nexec '" + counted.program + "' \"$@\"\n").toUtf8()));
    ASSERT_EQ(::chmod(QFile::encodeName(counter).constData(), 0700), 0);
    counted.program = counter;
    PageMaker maker(folders, sink, [] {}, counted);
    maker.BeginJob();
    const struct {
        const char* name;
        int format; // none: the wide one
        PageResult::Status status;
        int starts; // after this page
    } pages[] = {{"a.png", FIF_PNG, PageResult::Ok, 1},
                 {"b.gif", FIF_GIF, PageResult::Ok, 1},
                 {"wide.png", -1, PageResult::PictureError, 1},
                 {"c.tif", FIF_TIFF, PageResult::Ok, 2}}; // after the helper is killed
    for (int i = 0; i < 4; ++i) {
        SCOPED_TRACE(pages[i].name);
        const QString path = pic(pages[i].name);
        ASSERT_TRUE(pages[i].format < 0 || writeTestPicture(path, pages[i].format, kW, kH, 8));
        int killed = 0; // the one helper, still there after the refused picture
        for (const ProcessList::Entry& e : ProcessList::Snapshot())
            if (i == 3 && e.ppid == ::getpid() && e.comm.startsWith("velunor-decode") && !ProcessList::IsZombie(e)) {
                killed += ::kill(e.pid, SIGKILL) == 0;
                // Dead, not reaped: that stays the page maker's.
                siginfo_t info {};
                ::waitid(P_PID, id_t(e.pid), &info, WEXITED | WNOWAIT);
            }
        ASSERT_EQ(killed, i == 3 ? 1 : 0);
        const PageResult r = maker.MakePage(i, path, 90);
        EXPECT_EQ(r.status, pages[i].status) << qPrintable(r.message);
        EXPECT_EQ(readAll(starts).count('\n'), pages[i].starts);
    }
}

} // namespace
