// TIFF pages of every kind, written by libtiff's own writer from samples
// the test chooses; each page's picture in the PDF is held against the
// colours those samples stand for.
#include "PageMakerFixture.h"
#include "PictureCheck.h"
#include "TestSupport.h"
#include "engine/picture/TiffPages.h"

#include <QFile>
#include <QtEndian>
#include <gtest/gtest.h>
#include <tiffio.h>

#include <cstdlib>
#include <vector>

using namespace testsupport;

namespace {

// Four stripes of 16 pixels (a JPEG block fits one), 24 rows: tiles of
// 48 x 16 leave part-filled tiles at the right and at the bottom.
constexpr int kW = 64, kH = 24;

struct Rgb {
    int r, g, b;
};

struct TiffKind {
    const char* name;
    uint16_t photometric;
    uint16_t bits;
    std::vector<std::vector<int>> stripes; // each stripe's samples, colours then extra samples
    std::vector<Rgb> expected;             // each stripe's colour on the page
    uint16_t extra = 0;                    // EXTRASAMPLE_ kind of one extra sample; 0 none
    bool planar = false;
    bool tiled = false;
    uint16_t compression = COMPRESSION_NONE;
    int tolerance = 1;
    uint16_t format = SAMPLEFORMAT_UINT;
    int pages = 1;
    bool countTag = true;        // SamplesPerPixel written
    int orientation = 1;         // the Orientation tag
    bool profiled = false;       // an ICC profile and an Exif block in the file
    const char* words = nullptr; // the refusal's words, when it is refused
};

// Writes `kind` with libtiff: every page the same stripes; palette pages
// have green, red, pale green and blue.
bool writeTiff(const QString& path, const TiffKind& kind)
{
    TIFF* tif = TIFFOpen(QFile::encodeName(path).constData(), "w");
    if (!tif)
        return false;
    const int spp = int(kind.stripes[0].size());
    const int planes = kind.planar ? spp : 1, perPlane = kind.planar ? 1 : spp;
    bool ok = true;
    for (int page = 0; page < kind.pages && ok; ++page) {
        TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, kW);
        TIFFSetField(tif, TIFFTAG_IMAGELENGTH, kH);
        TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, kind.bits);
        if (kind.countTag)
            TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, spp);
        TIFFSetField(tif, TIFFTAG_SAMPLEFORMAT, kind.format);
        TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, kind.photometric);
        TIFFSetField(tif, TIFFTAG_PLANARCONFIG, kind.planar ? PLANARCONFIG_SEPARATE : PLANARCONFIG_CONTIG);
        TIFFSetField(tif, TIFFTAG_COMPRESSION, kind.compression);
        if (kind.compression == COMPRESSION_JPEG)
            TIFFSetField(tif, TIFFTAG_JPEGQUALITY, 100);
        if (kind.extra) {
            const uint16_t types[1] = {kind.extra};
            TIFFSetField(tif, TIFFTAG_EXTRASAMPLES, 1, types);
        }
        if (kind.pages > 1)
            TIFFSetField(tif, TIFFTAG_SUBFILETYPE, FILETYPE_PAGE);
        TIFFSetField(tif, TIFFTAG_ORIENTATION, kind.orientation);
        if (kind.profiled) {
            QFile icc("/usr/share/color/icc/ghostscript/a98.icc");
            const QByteArray profile = icc.open(QIODevice::ReadOnly) ? icc.readAll() : QByteArray();
            TIFFSetField(tif, TIFFTAG_ICCPROFILE, uint32_t(profile.size()), profile.constData());
        }
        if (kind.photometric == PHOTOMETRIC_PALETTE) {
            std::vector<uint16_t> map[3];
            for (auto& m : map)
                m.assign(size_t(1) << kind.bits, 0);
            const Rgb colours[] = {{0, 128, 0}, {255, 0, 0}, {200, 255, 200}, {0, 0, 255}};
            for (size_t i = 0; i < std::size(colours); ++i) {
                map[0][i] = uint16_t(colours[i].r * 257);
                map[1][i] = uint16_t(colours[i].g * 257);
                map[2][i] = uint16_t(colours[i].b * 257);
            }
            TIFFSetField(tif, TIFFTAG_COLORMAP, map[0].data(), map[1].data(), map[2].data());
        }
        const int tw = kind.tiled ? 48 : kW, th = kind.tiled ? 16 : kH;
        if (kind.tiled) {
            TIFFSetField(tif, TIFFTAG_TILEWIDTH, tw);
            TIFFSetField(tif, TIFFTAG_TILELENGTH, th);
        } else {
            TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, 5);
        }
        // One chunk's samples, packed from the most significant bit.
        const size_t rowBytes = (size_t(tw) * perPlane * kind.bits + 7) / 8;
        for (int plane = 0; plane < planes && ok; ++plane) {
            for (int y0 = 0; y0 < kH && ok; y0 += kind.tiled ? th : kH) {
                for (int x0 = 0; x0 < kW && ok; x0 += tw) {
                    std::vector<uint8_t> chunk(rowBytes * th, 0);
                    for (int y = 0; y < th; ++y) {
                        for (int x = 0; x < tw; ++x) {
                            const int stripe = std::min(3, (x0 + x) / 16);
                            for (int s = 0; s < perPlane; ++s) {
                                const uint32_t v = uint32_t(kind.stripes[stripe][kind.planar ? plane : s]);
                                const size_t bit = size_t(y) * rowBytes * 8 + (size_t(x) * perPlane + s) * kind.bits;
                                if (kind.bits == 16)
                                    std::memcpy(&chunk[bit / 8], &v, 2); // libtiff writes ours in our byte order
                                else
                                    for (int b = 0; b < kind.bits; ++b)
                                        chunk[(bit + b) / 8] |= uint8_t(((v >> (kind.bits - 1 - b)) & 1) << (7 - (bit + b) % 8));
                            }
                        }
                    }
                    if (kind.tiled)
                        ok = TIFFWriteTile(tif, chunk.data(), uint32_t(x0), uint32_t(y0), 0, uint16_t(plane)) > 0;
                    else
                        for (int y = 0; y < kH && ok; ++y)
                            ok = TIFFWriteScanline(tif, chunk.data() + rowBytes * y, uint32_t(y), uint16_t(plane)) > 0;
                }
            }
        }
        ok = ok && TIFFWriteDirectory(tif);
    }
    TIFFClose(tif);
    return ok;
}

// Every picture of the PDF, in page order.
std::vector<RgbImage> pictures(const QString& pdf, const QString& folder)
{
    std::vector<RgbImage> all;
    if (runProgram("pdfimages", {"-png", pdf, folder + "/im"}).exitCode != 0)
        return all;
    for (int i = 0; QFile::exists(QString("%1/im-%2.png").arg(folder).arg(i, 3, 10, QChar('0'))); ++i)
        all.push_back(loadRgb(QString("%1/im-%2.png").arg(folder).arg(i, 3, 10, QChar('0'))));
    return all;
}

// A TIFF of `pages` pages of one grey pixel each, written byte by byte.
QByteArray tinyPages(int pages)
{
    QByteArray out("II*\0\x08\0\0\0", 8);
    auto u16 = [&out](quint32 v) { out.append(char(v & 255)).append(char(v >> 8 & 255)); };
    auto u32 = [&u16](quint32 v) { u16(v & 0xFFFF), u16(v >> 16); };
    for (int k = 0; k < pages; ++k) {
        const quint32 pixel = quint32(out.size()) + 2 + 6 * 12 + 4;
        u16(6);
        // Width, height, bits, photometric, strip offset and byte count.
        const quint32 entries[6][3] = {{256, 3, 1}, {257, 3, 1}, {258, 3, 8}, {262, 3, 1}, {273, 4, pixel}, {279, 4, 1}};
        for (const auto& e : entries) {
            u16(e[0]), u16(e[1]), u32(1);
            if (e[1] == 3)
                u16(e[2]), u16(0);
            else
                u32(e[2]);
        }
        u32(k + 1 < pages ? pixel + 2 : 0);
        out.append(char(k)).append('\0');
    }
    return out;
}

class TiffKinds : public PageMakerFixture {};

TEST_F(TiffKinds, AFileOfMorePagesThanTheCapIsRefusedByItsNumber)
{
    for (const int pages : {TiffPages::MaxPages(), TiffPages::MaxPages() + 1}) {
        QFile f(pic(QString("pages%1.tif").arg(pages)));
        ASSERT_TRUE(f.open(QIODevice::WriteOnly) && f.write(tinyPages(pages)) > 0);
        f.close();
        EXPECT_EQ(TiffPages::List(f.fileName()).size(), qMin(pages, TiffPages::MaxPages() + 1));
    }
    const PageResult page = maker.MakePage(0, pic(QString("pages%1.tif").arg(TiffPages::MaxPages() + 1)), 85);
    EXPECT_FALSE(page.ok());
    EXPECT_TRUE(page.message.contains("more than 10,000 pages")) << page.message.toStdString();
}

// libtiff takes a strip's size as stated, or guesses one when the stated
// size is impossible; either way a strip running into the next directory
// would show that directory's bytes as pixels.
TEST_F(TiffKinds, APageWhosePixelsRunIntoADirectoryIsRefusedAsDamaged)
{
    // In tinyPages(2): page 1's height at byte 30, its strip's byte count
    // at 78, its pixel at 86; page 2's directory starts at 88.
    const struct {
        const char* name;
        quint16 height;
        quint32 byteCount;
    } rows[] = {{"stated", 1, 3}, {"guessed", 3, 0}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        QByteArray bytes = tinyPages(2);
        qToLittleEndian(row.height, bytes.data() + 30);
        qToLittleEndian(row.byteCount, bytes.data() + 78);
        const QString path = pic(QString("%1.tif").arg(row.name));
        QFile f(path);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly) && f.write(bytes) == bytes.size());
        f.close();
        const PageResult page = maker.MakePage(0, path, 85);
        EXPECT_FALSE(page.ok());
        EXPECT_TRUE(page.message.contains("page 1 of 2") && page.message.contains("overlaps a directory"))
            << page.message.toStdString();
    }
}

TEST_F(TiffKinds, EveryPageShowsTheColoursItsSamplesStandFor)
{
    const Rgb red{255, 0, 0}, green{0, 128, 0}, blue{0, 0, 255}, white{255, 255, 255}, black{0, 0, 0};
    const TiffKind kinds[] = {
        // Pillow leaves SamplesPerPixel out: the standard's default is 1.
        {.name = "8-bit grey, no SamplesPerPixel", .photometric = PHOTOMETRIC_MINISBLACK, .bits = 8,
         .stripes = {{15}, {20}, {128}, {240}}, .expected = {{15, 15, 15}, {20, 20, 20}, {128, 128, 128}, {240, 240, 240}},
         .countTag = false},
        {.name = "2-bit grey", .photometric = PHOTOMETRIC_MINISBLACK, .bits = 2, .stripes = {{0}, {1}, {2}, {3}},
         .expected = {black, {85, 85, 85}, {170, 170, 170}, white}},
        {.name = "12-bit grey, tiled", .photometric = PHOTOMETRIC_MINISBLACK, .bits = 12,
         .stripes = {{0}, {1000}, {2048}, {4095}}, .expected = {black, {62, 62, 62}, {128, 128, 128}, white}, .tiled = true},
        // Premultiplied: half-covered 64 of 255 shows 64 + 127 on white.
        {.name = "16-bit grey, associated alpha", .photometric = PHOTOMETRIC_MINISBLACK, .bits = 16,
         .stripes = {{0, 65535}, {32896, 65535}, {16448, 32896}, {0, 0}},
         .expected = {black, {128, 128, 128}, {191, 191, 191}, white}, .extra = EXTRASAMPLE_ASSOCALPHA},
        {.name = "RGB, tiled and planar", .photometric = PHOTOMETRIC_RGB, .bits = 8,
         .stripes = {{255, 0, 0}, {0, 128, 0}, {0, 0, 255}, {10, 20, 30}}, .expected = {red, green, blue, {10, 20, 30}},
         .planar = true, .tiled = true},
        // Transparent only where its ExtraSample says, on every page.
        {.name = "palette with alpha, three pages", .photometric = PHOTOMETRIC_PALETTE, .bits = 4,
         .stripes = {{0, 15}, {1, 15}, {2, 8}, {3, 0}}, .expected = {green, red, {226, 255, 226}, white},
         .extra = EXTRASAMPLE_UNASSALPHA, .pages = 3},
        {.name = "CMYK, JPEG tiles", .photometric = PHOTOMETRIC_SEPARATED, .bits = 8,
         .stripes = {{0, 0, 0, 0}, {255, 0, 0, 0}, {0, 255, 255, 0}, {0, 0, 0, 255}},
         .expected = {white, {0, 255, 255}, red, black}, .tiled = true, .compression = COMPRESSION_JPEG, .tolerance = 6},
        // Neutral L*a*b*: white is white (L* 100), L* 53.7 is sRGB's 128.
        {.name = "CIE L*a*b*", .photometric = PHOTOMETRIC_CIELAB, .bits = 8,
         .stripes = {{255, 0, 0}, {137, 0, 0}, {0, 0, 0}, {255, 0, 0}}, .expected = {white, {128, 128, 128}, black, white},
         .tolerance = 2},
        // Photoshop's everyday TIFF: a profile and an Exif block; turned right.
        // (Colours the profile leaves as they are, as pdfimages shows them.)
        {.name = "profile, Exif, turned", .photometric = PHOTOMETRIC_RGB, .bits = 8,
         .stripes = {{255, 0, 0}, {255, 255, 255}, {0, 0, 255}, {0, 0, 0}}, .expected = {red, white, blue, black},
         .orientation = 6, .profiled = true},
        {.name = "32-bit floating point", .photometric = PHOTOMETRIC_MINISBLACK, .bits = 32,
         .stripes = {{0}, {0}, {0}, {0}}, .expected = {}, .format = SAMPLEFORMAT_IEEEFP, .words = "32-bit floating-point samples"},
    };
    for (int i = 0; i < int(std::size(kinds)); ++i) {
        const TiffKind& kind = kinds[i];
        SCOPED_TRACE(kind.name);
        const QString tiff = pic(QString("kind%1.tif").arg(i));
        ASSERT_TRUE(writeTiff(tiff, kind));
        if (kind.profiled) {
            const QStringList exif = {"-q", "-overwrite_original", "-DateTimeOriginal=2026:01:02 03:04:05", tiff};
            ASSERT_EQ(runProgram("exiftool", exif).exitCode, 0);
        }
        const PageResult page = maker.MakePage(i, tiff, 100);
        if (kind.words) {
            EXPECT_FALSE(page.ok());
            EXPECT_TRUE(page.message.contains(kind.words)) << page.message.toStdString();
            continue;
        }
        ASSERT_TRUE(page.ok()) << page.message.toStdString();
        EXPECT_EQ(page.pages, kind.pages);
        const QString pdf = folders.pageFile(i);
        EXPECT_EQ(qpdfProblems(pdf), "");
        const QString out = pic(QString("out%1").arg(i));
        ASSERT_TRUE(QDir().mkpath(out));
        const std::vector<RgbImage> shown = pictures(pdf, out);
        ASSERT_EQ(int(shown.size()), kind.pages);
        if (kind.profiled) {
            const QString plain = out + "/plain.pdf";
            ASSERT_EQ(runProgram("qpdf", {"--qdf", "--object-streams=disable", pdf, plain}).exitCode, 0);
            QFile f(plain);
            EXPECT_TRUE(f.open(QIODevice::ReadOnly) && f.readAll().contains("/ICCBased"));
        }
        // Turned right (orientation 6): the stripes run across the page.
        const bool turned = kind.orientation == 6;
        for (const RgbImage& img : shown) {
            ASSERT_EQ(img.w, turned ? kH : kW);
            ASSERT_EQ(img.h, turned ? kW : kH);
            for (int s = 0; s < 4; ++s) {
                // Inside the stripe, away from JPEG's block edges.
                const uint8_t* p = turned ? img.at(kH / 2, 16 * s + 8) : img.at(16 * s + 8, kH / 2);
                const Rgb want = kind.expected[size_t(s)];
                EXPECT_NEAR(p[0], want.r, kind.tolerance) << "stripe " << s;
                EXPECT_NEAR(p[1], want.g, kind.tolerance) << "stripe " << s;
                EXPECT_NEAR(p[2], want.b, kind.tolerance) << "stripe " << s;
            }
        }
    }
}

} // namespace
