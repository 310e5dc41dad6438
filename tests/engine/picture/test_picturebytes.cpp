#include "engine/picture/PictureBytes.h"

#include <QBuffer>
#include <gtest/gtest.h>

namespace {

QByteArray bytes(std::initializer_list<int> list)
{
    QByteArray out;
    for (int b : list)
        out.append(char(b));
    return out;
}

// A little-endian TIFF header and one directory holding an Orientation entry
// of the given type and value; `count` entries are claimed.
QByteArray tiff(int type, int value, int count = 1)
{
    return bytes({'I', 'I', 42, 0, 8, 0, 0, 0, count, 0, 0x12, 0x01, type, 0, 1, 0, 0, 0, value, 0, 0, 0});
}

QByteArray segment(int marker, const QByteArray& payload)
{
    const int length = int(payload.size()) + 2;
    return bytes({0xFF, marker, length >> 8, length & 0xFF}) + payload;
}

QByteArray sof(int width, int height, int components)
{
    return segment(0xC0, bytes({8, height >> 8, height & 0xFF, width >> 8, width & 0xFF, components}));
}

struct Sized {
    const char* name;
    QByteArray file;
    bool found;
    qint64 width, height;
};

template <typename Read>
void expectSizes(const std::vector<Sized>& cases, Read read)
{
    for (const Sized& c : cases) {
        QByteArray data = c.file;
        QBuffer buffer(&data);
        buffer.open(QIODevice::ReadOnly);
        qint64 w = -1, h = -1;
        EXPECT_EQ(read(buffer, &w, &h), c.found) << c.name;
        if (c.found) {
            EXPECT_EQ(w, c.width) << c.name;
            EXPECT_EQ(h, c.height) << c.name;
        }
    }
}

} // namespace

TEST(PictureBytes, EndianReaders)
{
    const auto p = reinterpret_cast<const unsigned char*>("\x12\x34\x56\x78");
    EXPECT_EQ(PictureBytes::Le16(p), 0x3412);
    EXPECT_EQ(PictureBytes::Be16(p), 0x1234);
    EXPECT_EQ(PictureBytes::Be32(p), 0x12345678u);
}

TEST(PictureBytes, JpegSizeFromTheFrameHeaderPastOtherSegments)
{
    const QByteArray soi = bytes({0xFF, 0xD8});
    expectSizes({{"baseline", soi + sof(640, 480, 3), true, 640, 480},
                 {"after APP0 and fill bytes", soi + segment(0xE0, "JFIF") + bytes({0xFF}) + sof(7, 9, 1), true, 7, 9},
                 {"progressive", soi + segment(0xC2, bytes({8, 0, 2, 0, 3, 3})), true, 3, 2},
                 {"huffman table is no frame", soi + segment(0xC4, "x") + sof(5, 6, 3), true, 5, 6},
                 {"scan before any frame", soi + segment(0xDA, "x"), false, 0, 0},
                 {"cut-off frame header", soi + bytes({0xFF, 0xC0, 0, 8, 8, 0}), false, 0, 0},
                 {"not a JPEG", "GIF89a", false, 0, 0}},
                [](QIODevice& f, qint64* w, qint64* h) { return PictureBytes::JpegSize(f, w, h); });
    QByteArray grey = bytes({0xFF, 0xD8}) + sof(4, 4, 1);
    QBuffer buffer(&grey);
    buffer.open(QIODevice::ReadOnly);
    qint64 w = 0, h = 0;
    int components = 0;
    ASSERT_TRUE(PictureBytes::JpegSize(buffer, &w, &h, &components));
    EXPECT_EQ(components, 1);
}

TEST(PictureBytes, GifSizeIsTheLargerOfScreenAndFirstFrame)
{
    const QByteArray screen = QByteArray("GIF89a") + bytes({10, 0, 20, 0, 0, 0, 0});
    const QByteArray frame = bytes({0x2C, 0, 0, 0, 0, 30, 0, 5, 0});
    const QByteArray extension = bytes({0x21, 0xF9, 4, 0, 0, 0, 0, 0});
    const QByteArray withPalette = QByteArray("GIF89a") + bytes({10, 0, 20, 0, 0x80, 0, 0}) + QByteArray(6, '\0');
    expectSizes({{"screen only", screen, true, 10, 20},
                 {"wider frame", screen + frame, true, 30, 20},
                 {"frame after an extension", screen + extension + frame, true, 30, 20},
                 {"frame after a global palette", withPalette + frame, true, 30, 20},
                 {"not a GIF", "GIF7", false, 0, 0}},
                [](QIODevice& f, qint64* w, qint64* h) { return PictureBytes::GifSize(f, w, h); });
}

TEST(PictureBytes, IffSizeAndChunksThatFit)
{
    const QByteArray bmhd = QByteArray("BMHD") + bytes({0, 0, 0, 4, 1, 0x40, 0, 0xF0});
    const QByteArray body = QByteArray("BODY") + bytes({0, 0, 0, 0});
    const QByteArray other = QByteArray("CMAP") + bytes({0, 0, 0, 4, 1, 2, 3, 4});
    const QByteArray odd = QByteArray("ANNO") + bytes({0, 0, 0, 3, 'a', 'b', 'c', 0}); // padded to even
    auto form = [](const QByteArray& chunks, int size) {
        return QByteArray("FORM") + bytes({0, 0, size >> 8, size & 0xFF}) + "ILBM" + chunks;
    };
    const QByteArray good = form(other + bmhd + body, 4 + 12 + 12 + 8);
    expectSizes({{"BMHD after another chunk", good, true, 320, 240},
                 {"BMHD after an odd-sized chunk", form(odd + bmhd + body, 36), true, 320, 240},
                 {"no BMHD", form(body, 12), false, 0, 0},
                 {"not IFF", "RIFF....WAVE", false, 0, 0}},
                [](QIODevice& f, qint64* w, qint64* h) { return PictureBytes::IffSize(f, w, h); });

    const struct {
        const char* name;
        QByteArray file;
        bool fits;
    } chunks[] = {{"chunks up to BODY", good, true},
                  {"a 9-byte CMAP and its pad byte before BODY",
                   form(QByteArray("CMAP") + bytes({0, 0, 0, 9, 0, 0, 0, 255, 255, 255, 9, 9, 9, 0}) + bmhd + body, 42), true},
                  {"an odd-sized chunk padded to even", form(odd + bmhd + body, 36), true},
                  {"chunk past the FORM size", form(bmhd + body, 12), false},
                  {"chunk past the end of the file", form(bmhd.left(10), 40), false},
                  {"no BODY", form(bmhd, 16), false}};
    for (const auto& c : chunks) {
        QByteArray data = c.file;
        QBuffer buffer(&data);
        buffer.open(QIODevice::ReadOnly);
        EXPECT_EQ(PictureBytes::IffChunksFit(buffer), c.fits) << c.name;
    }
}

TEST(PictureBytes, OrientationTagReadWithEveryOffsetChecked)
{
    const QByteArray bigEndian = bytes({'M', 'M', 0, 42, 0, 0, 0, 8, 0, 1, 0x01, 0x12, 0, 3, 0, 0, 0, 1, 0, 6, 0, 0});
    const struct {
        const char* name;
        QByteArray tiff;
        int orientation;
    } cases[] = {{"short, little-endian", tiff(3, 8), 8},
                 {"long", tiff(4, 3), 3},
                 {"big-endian", bigEndian, 6},
                 {"out of range", tiff(3, 9), 1},
                 {"more entries claimed than held", tiff(3, 6, 200).left(14), 1},
                 {"directory past the end", bytes({'I', 'I', 42, 0, 0xFF, 0, 0, 0}), 1},
                 {"not a TIFF", "JFIF\0\0\0\0\0\0", 1}};
    for (const auto& c : cases) {
        EXPECT_EQ(PictureBytes::ExifOrientation(c.tiff), c.orientation) << c.name;
        QByteArray data = c.tiff;
        QBuffer file(&data);
        file.open(QIODevice::ReadOnly);
        EXPECT_EQ(PictureBytes::TiffOrientation(file), c.orientation) << c.name;
    }
    EXPECT_EQ(PictureBytes::TiffOrientation(QString("/nonexistent/picture.tif")), 1);
}

TEST(PictureBytes, JpegWithoutExifKeepsEverythingElse)
{
    const QByteArray soi = bytes({0xFF, 0xD8});
    const QByteArray app0 = segment(0xE0, "JFIF\0");
    const QByteArray scan = segment(0xDA, "scan") + bytes({1, 2, 3, 0xFF, 0xD9});
    const QByteArray exif6 = segment(0xE1, QByteArray("Exif\0\0", 6) + tiff(3, 6));
    const QByteArray exif3 = segment(0xE1, QByteArray("Exif\0\0", 6) + tiff(3, 3));
    const QByteArray xmp = segment(0xE1, "http://ns.adobe.com/xap/1.0/");
    const struct {
        const char* name;
        QByteArray in, out;
        int orientation;
    } cases[] = {{"no Exif", soi + app0 + scan, soi + app0 + scan, 1},
                 {"Exif removed, orientation from it", soi + app0 + exif6 + scan, soi + app0 + scan, 6},
                 {"the first Exif counts", soi + exif6 + exif3 + xmp + scan, soi + xmp + scan, 6},
                 {"cut-off APP1", soi + app0 + exif6.left(10), soi + app0, 1},
                 {"not a JPEG", "GIF89a", "GIF89a", 1}};
    for (const auto& c : cases) {
        int orientation = 0;
        EXPECT_EQ(PictureBytes::JpegWithoutExif(c.in, &orientation), c.out) << c.name;
        EXPECT_EQ(orientation, c.orientation) << c.name;
    }
    EXPECT_TRUE(PictureBytes::IsJpegStart(soi + bytes({0xFF})));
    EXPECT_FALSE(PictureBytes::IsJpegStart(soi));
}
