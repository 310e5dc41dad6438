// Pictures whose decoders' results disagree with what the files state, made
// here byte by byte or by the formats' own writers: each page is compared
// with the pixels put in, or refused in words a user can act on.
#include "PageMakerFixture.h"
#include "PictureCheck.h"
#include "TestSupport.h"

#include <QBuffer>
#include <QImage>
#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <array>
#include <bit>
#include <functional>

using namespace testsupport;

namespace {

constexpr int kW = 24, kH = 16;

// Blocks of 4 x 4 pixels in colours every coding below holds exactly
// (multiples of 17), or in grey.
RgbImage blocks(bool grey = false)
{
    RgbImage img{kW, kH, std::vector<uint8_t>(size_t(kW) * kH * 3)};
    for (int y = 0; y < kH; ++y) {
        for (int x = 0; x < kW; ++x) {
            const int b = (x / 4) + 6 * (y / 4);
            const uint8_t c[3] = {uint8_t(17 * (b % 16)), uint8_t(17 * ((b * 7) % 16)), uint8_t(17 * ((b * 11 + 3) % 16))};
            for (int k = 0; k < 3; ++k)
                img.at(x, y)[k] = grey ? c[0] : c[k];
        }
    }
    return img;
}

// The picture as shown, when stored as Exif orientation `o` says.
RgbImage shown(const RgbImage& s, int o)
{
    const bool swap = o >= 5;
    RgbImage d{swap ? s.h : s.w, swap ? s.w : s.h, std::vector<uint8_t>(s.px.size())};
    for (int y = 0; y < d.h; ++y) {
        for (int x = 0; x < d.w; ++x) {
            const int W = s.w - 1, H = s.h - 1;
            const int sx[9] = {0, x, W - x, W - x, x, y, y, W - y, W - y};
            const int sy[9] = {0, y, y, H - y, H - y, x, H - x, H - x, x};
            std::copy_n(s.at(sx[o], sy[o]), 3, d.at(x, y));
        }
    }
    return d;
}

QByteArray le16(int v) { return QByteArray(1, char(v & 0xFF)) + char((v >> 8) & 0xFF); }
QByteArray le32(quint32 v) { return le16(int(v & 0xFFFF)) + le16(int(v >> 16)); }
QByteArray be32(quint32 v) { return QByteArray(1, char(v >> 24)) + char(v >> 16) + char(v >> 8) + char(v); }

// A BMP of `img` with the given header size, bits and channel masks
// (compression 3 when any mask is given, 6 with alpha in a 40-byte header);
// `fourth` fills the spare bits of a 32-bit pixel without masks.
QByteArray bmp(const RgbImage& img, int infoSize, int bpp, std::array<quint32, 4> masks, quint8 fourth = 0)
{
    const bool masked = masks[0] != 0;
    const int compression = !masked ? 0 : (masks[3] && infoSize == 40) ? 6 : 3;
    QByteArray info = le32(quint32(infoSize)) + le32(quint32(img.w)) + le32(quint32(img.h)) + le16(1) + le16(bpp);
    if (infoSize > 16)
        info += le32(quint32(compression)) + QByteArray(20, '\0');
    QByteArray after;
    for (int k = 0; k < (masks[3] ? 4 : 3) && masked; ++k)
        (infoSize >= 52 ? info : after) += le32(masks[size_t(k)]);
    info = info.leftJustified(infoSize, '\0');
    QByteArray rows;
    for (int y = img.h - 1; y >= 0; --y) {
        QByteArray row;
        for (int x = 0; x < img.w; ++x) {
            const uint8_t* p = img.at(x, y);
            if (bpp == 24) {
                row += char(p[2]) + QByteArray(1, char(p[1])) + char(p[0]);
                continue;
            }
            quint32 v = masked ? 0 : quint32(fourth) << 24 | quint32(p[0]) << 16 | quint32(p[1]) << 8 | p[2];
            for (int k = 0; k < 4 && masked; ++k) {
                const quint32 m = masks[size_t(k)];
                const int shift = m ? std::countr_zero(m) : 0;
                const quint32 top = m >> shift, c = k == 3 ? 255 : p[k];
                v |= ((c * top + 127) / 255) << shift & m;
            }
            row += bpp == 16 ? le16(int(v)) : le32(v);
        }
        rows += row.leftJustified((row.size() + 3) / 4 * 4, '\0');
    }
    const quint32 offset = quint32(14 + info.size() + after.size());
    return "BM" + le32(offset + quint32(rows.size())) + le32(0) + le32(offset) + info + after + rows;
}

// A GIF of one frame of `img` (four colours at most: the first four block
// colours), at (left, top) on a screen of sw x sh.
QByteArray gif(const RgbImage& img, int sw, int sh, int left, int top)
{
    QByteArray g = "GIF89a" + le16(sw) + le16(sh) + QByteArray("\x81\0\0", 3);
    std::vector<std::array<uint8_t, 3>> palette;
    QByteArray lzw;
    unsigned acc = 0;
    int bits = 0;
    // A clear code before each index keeps every code 3 bits wide.
    const auto put = [&](unsigned code) {
        acc |= code << bits;
        for (bits += 3; bits >= 8; bits -= 8, acc >>= 8)
            lzw += char(acc & 0xFF);
    };
    for (int y = 0; y < img.h; ++y) {
        for (int x = 0; x < img.w; ++x) {
            const std::array<uint8_t, 3> c{img.at(x, y)[0], img.at(x, y)[1], img.at(x, y)[2]};
            auto at = std::find(palette.begin(), palette.end(), c);
            if (at == palette.end())
                at = palette.insert(palette.end(), c);
            put(4);
            put(unsigned(at - palette.begin()));
        }
    }
    put(5);
    if (bits)
        lzw += char(acc & 0xFF);
    palette.resize(4);
    for (const auto& c : palette)
        g += QByteArray(reinterpret_cast<const char*>(c.data()), 3);
    g += "," + le16(left) + le16(top) + le16(img.w) + le16(img.h) + QByteArray("\0\x02", 2);
    for (int at = 0; at < lzw.size(); at += 255)
        g += char(qMin<qsizetype>(255, lzw.size() - at)) + lzw.mid(at, 255);
    return g + QByteArray("\0;", 2);
}

// A big-endian Exif block holding only the orientation.
QByteArray exif(int orientation)
{
    return QByteArray("MM\0*\0\0\0\x08\0\x01\x01\x12\0\x03\0\0\0\x01", 18) + char(0) + char(orientation) +
           QByteArray(6, '\0');
}

QByteArray pngChunk(const QByteArray& type, const QByteArray& data)
{
    const QByteArray body = type + data;
    return be32(quint32(data.size())) + body + be32(quint32(crc32(0, reinterpret_cast<const Bytef*>(body.data()), uInt(body.size()))));
}

QByteArray pngBytes(const RgbImage& img)
{
    QImage q(img.px.data(), img.w, img.h, 3 * img.w, QImage::Format_RGB888);
    QByteArray out;
    QBuffer buffer(&out);
    buffer.open(QIODevice::WriteOnly);
    q.save(&buffer, "PNG");
    return out;
}

// A PNG whose eXIf chunk, after IHDR, says orientation `o`.
QByteArray pngTurned(const RgbImage& img, int o)
{
    const QByteArray png = pngBytes(img);
    return png.left(33) + pngChunk("eXIf", exif(o)) + png.mid(33);
}

// A lossless WebP (cwebp's) rewrapped as an extended file, `o` in its Exif
// chunk, on a canvas of cw x ch.
QByteArray webpExtended(const QString& png, const QString& folder, int o, int cw, int ch)
{
    const QString out = folder + "/plain.webp";
    if (runProgram("cwebp", {"-quiet", "-lossless", png, "-o", out}).exitCode != 0)
        return {};
    const QByteArray bitstream = readAll(out).mid(12);
    const QByteArray vp8x = QByteArray("VP8X", 4) + le32(10) + char(0x08) + QByteArray(3, '\0') +
                            le32(quint32(cw - 1)).left(3) + le32(quint32(ch - 1)).left(3);
    const QByteArray exifChunk = QByteArray("EXIF") + le32(26) + exif(o);
    const QByteArray body = "WEBP" + vp8x + bitstream + exifChunk;
    return "RIFF" + le32(quint32(body.size())) + body;
}

using Maker = std::function<QByteArray(const QString& folder)>;

// `make`'s bytes with every `what` overwritten by `with`, `at` bytes in.
Maker patched(Maker make, QByteArray what, int at, QByteArray with)
{
    return [=](const QString& folder) {
        QByteArray b = make(folder);
        for (qsizetype i = b.indexOf(what); i >= 0; i = b.indexOf(what, i + 1))
            b.replace(i + at, with.size(), with);
        return b.contains(with) ? b : QByteArray();
    };
}

struct Row {
    const char* name;
    const char* file;
    Maker make;
    RgbImage expected;      // the page as shown, when the picture is read
    const char* refusal = nullptr;  // words the refusal holds, when it is refused
    const char* storedAs = nullptr; // "colour encoding" of the page's image, when it matters
};

class PictureChecks : public PageMakerFixture {};

TEST_F(PictureChecks, EachPageIsWhatTheFileStates)
{
    const RgbImage colour = blocks(), grey = blocks(true);
    const QString source = pic("source.png");
    ASSERT_TRUE(writeFile(source, pngBytes(colour)));
    ASSERT_TRUE(writeFile(pic("grey.png"), pngBytes(grey)));
    // AVIF grid tiles are 64 pixels a side at least.
    ASSERT_EQ(runProgram("convert", {"-size", "128x128", "gradient:", pic("tiles.png")}).exitCode, 0);
    RgbImage fourColours = colour; // the GIF's palette: the first four blocks
    for (int y = 0; y < kH; ++y)
        for (int x = 0; x < kW; ++x)
            std::copy_n(colour.at((x / 4 % 4) * 4, 0), 3, fourColours.at(x, y));
    RgbImage gifClipped{kW / 2, kH / 2, {}};
    for (int y = 0; y < kH / 2; ++y)
        gifClipped.px.insert(gifClipped.px.end(), fourColours.at(0, y), fourColours.at(kW / 2, y));
    const auto shell = [&](const QString& command, const char* out) {
        return [=](const QString& folder) {
            return runProgram("sh", {"-c", "cd '" + folder + "' && " + command}).exitCode == 0 ? readAll(folder + "/" + out)
                                                                                            : QByteArray();
        };
    };
    std::vector<Row> rows = {
        {"BMP 32-bit, masks 11-11-10", "masked32.bmp",
         [&](const QString&) { return bmp(colour, 40, 32, {0xFFE00000, 0x001FFC00, 0x000003FF, 0}); }, colour},
        {"BMP 16-bit, masks 4-4-4", "masked16.bmp",
         [&](const QString&) { return bmp(colour, 40, 16, {0x0F00, 0x00F0, 0x000F, 0}); }, colour},
        {"BMP 32-bit, no masks, spare byte set", "spare.bmp",
         [&](const QString&) { return bmp(colour, 40, 32, {0, 0, 0, 0}, 0x40); }, colour},
        {"BMP 16-byte header", "os2.bmp", [&](const QString&) { return bmp(colour, 16, 24, {0, 0, 0, 0}); }, colour},
        {"BMP 52-byte header, masks", "v2.bmp",
         [&](const QString&) { return bmp(colour, 52, 32, {0x0000FF00, 0x00FF0000, 0xFF000000, 0}); }, colour},
        {"BMP 56-byte header, opaque alpha mask", "v3.bmp",
         [&](const QString&) { return bmp(colour, 56, 32, {0x00FF0000, 0x0000FF00, 0x000000FF, 0xFF000000}); }, colour},
        {"GIF frame past its screen", "past.gif",
         [&](const QString&) { return gif(fourColours, kW / 2, kH / 2, 0, 0); }, gifClipped},
        {"DDS", "texture.dds",
         [](const QString&) {
             // Magic, header and pixel format sizes, then 3 bytes of pixels.
             return QByteArray("DDS ") + le32(124) + le32(0x1007) + le32(4) + le32(4) + QByteArray(56, '\0') + le32(32) +
                    QByteArray(51, '\0');
         },
         {}, "is not a picture kind Velunor reads (DDS)"},
        {"WebP picture larger than its canvas", "big.webp",
         [&](const QString& folder) { return webpExtended(source, folder, 1, kW / 2, kH); }, {}, "larger than its canvas"},
        {"grey AVIF photo", "grey.avif", shell("avifenc --yuv 400 --min 10 --max 10 grey.png grey.avif", "grey.avif"),
         grey, nullptr, "gray jpeg"},
        // Grids of 64-pixel tiles (the least AVIF allows): the grid item
        // (version, flags, rows and columns minus one, 16-bit width and
        // height) asks for 4000 x 4000 pixels, or the grid's size box for
        // 240 x 160; a plain picture's size boxes for 40,000 x 100.
        {"AVIF grid larger than its tiles", "grid.avif",
         patched(shell("avifenc --grid 2x2 tiles.png g.avif", "g.avif"), QByteArray("\0\0\x01\x01\0\x80\0\x80", 8), 4,
                 QByteArray("\x0F\xA0\x0F\xA0", 4)),
         {}, "its 2 x 2 tiles of 64 x 64"},
        {"AVIF grid and size box disagree", "box.avif",
         patched(shell("avifenc --grid 2x2 tiles.png b.avif", "b.avif"), "ispe" + QByteArray(4, '\0') + be32(128) + be32(128), 8,
                 be32(240) + be32(160)),
         {}, "its size box 240 x 160"},
        {"AVIF beyond libheif's own limit", "wide.avif",
         patched(shell("avifenc source.png w.avif", "w.avif"), "ispe" + QByteArray(4, '\0') + be32(kW) + be32(kH), 8,
                 be32(40000) + be32(100)),
         {}, "beyond a limit of libheif, its decoder: image size 40000x100 exceeds"},
        // avifenc writes no layers: its pixel-information box, renamed lsel,
        // makes the picture one layer (0) of a layered AV1 stream.
        {"layered AVIF", "layered.avif", patched(shell("avifenc source.png l.avif", "l.avif"), "pixi", 0, "lsel"), {},
         "a layered AVIF"},
    };
    for (int o = 2; o <= 8; ++o) {
        rows.push_back({"PNG eXIf orientation", "turned.png", [&, o](const QString&) { return pngTurned(colour, o); },
                        shown(colour, o)});
        rows.push_back({"WebP Exif orientation", "turned.webp",
                        [&, o](const QString& folder) { return webpExtended(source, folder, o, kW, kH); },
                        shown(colour, o)});
    }
    for (int i = 0; i < int(rows.size()); ++i) {
        const Row& row = rows[size_t(i)];
        SCOPED_TRACE(std::string(row.name) + " (row " + std::to_string(i) + ")");
        QByteArray bytes = row.make(dir.path());
        ASSERT_FALSE(bytes.isEmpty());
        ASSERT_TRUE(writeFile(pic(row.file), bytes));
        const PageResult page = maker.MakePage(i, pic(row.file), 100);
        if (row.refusal) {
            EXPECT_FALSE(page.ok());
            EXPECT_TRUE(page.message.contains(row.refusal)) << page.message.toStdString();
            EXPECT_FALSE(page.message.contains("memory")) << page.message.toStdString();
            continue;
        }
        const Rendered r = renderPoppler(folders.pageFile(i), 200);
        if (!page.ok() || !r.ok) {
            ADD_FAILURE() << page.message.toStdString();
            continue;
        }
        const double diff = meanAbsDiff(row.expected, r.image); // -1: another size
        EXPECT_TRUE(diff >= 0 && diff < (row.storedAs ? 4.0 : 0.5)) << diff;
        if (row.storedAs) {
            const auto images = pdfImages(folders.pageFile(i));
            EXPECT_EQ(images.empty() ? QString() : images[0].value(5) + " " + images[0].value(8), row.storedAs);
        }
    }
}

} // namespace
