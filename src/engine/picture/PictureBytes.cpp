#include "engine/picture/PictureBytes.h"

#include <QFile>

#include <algorithm>
#include <cstring>

quint32 PictureBytes::Be32(const unsigned char* p)
{
    return quint32(p[0]) << 24 | quint32(p[1]) << 16 | quint32(p[2]) << 8 | p[3];
}
quint16 PictureBytes::Be16(const unsigned char* p) { return quint16(p[0] << 8 | p[1]); }
quint16 PictureBytes::Le16(const unsigned char* p) { return quint16(p[1] << 8 | p[0]); }

// GIF: the logical screen and the first frame each declare a size; FreeImage
// allocates by the larger of what it meets, so both count.
bool PictureBytes::GifSize(QIODevice& f, qint64* width, qint64* height)
{
    unsigned char head[13];
    if (f.read(reinterpret_cast<char*>(head), 13) != 13 || std::memcmp(head, "GIF8", 4) != 0)
        return false;
    qint64 w = Le16(head + 6), h = Le16(head + 8);
    if (head[10] & 0x80)
        f.seek(f.pos() + 3 * (qint64(2) << (head[10] & 7)));
    for (int guard = 0; guard < 10000; ++guard) {
        char kind = 0;
        if (!f.getChar(&kind))
            break;
        if (static_cast<unsigned char>(kind) == 0x2C) {
            unsigned char desc[8];
            if (f.read(reinterpret_cast<char*>(desc), 8) == 8) {
                w = std::max<qint64>(w, Le16(desc + 4));
                h = std::max<qint64>(h, Le16(desc + 6));
            }
            break;
        }
        if (static_cast<unsigned char>(kind) != 0x21 || !f.getChar(&kind))
            break;
        char len = 0;
        while (f.getChar(&len) && len != 0)
            f.seek(f.pos() + static_cast<unsigned char>(len));
    }
    *width = w;
    *height = h;
    return true;
}

// IFF ILBM/PBM: the BMHD chunk holds the size.
bool PictureBytes::IffSize(QIODevice& f, qint64* width, qint64* height)
{
    unsigned char head[12];
    if (f.read(reinterpret_cast<char*>(head), 12) != 12 || std::memcmp(head, "FORM", 4) != 0)
        return false;
    for (int guard = 0; guard < 64; ++guard) {
        unsigned char chunk[8];
        if (f.read(reinterpret_cast<char*>(chunk), 8) != 8)
            return false;
        const quint32 size = Be32(chunk + 4);
        if (std::memcmp(chunk, "BMHD", 4) == 0) {
            unsigned char bmhd[4];
            if (size < 4 || f.read(reinterpret_cast<char*>(bmhd), 4) != 4)
                return false;
            *width = Be16(bmhd);
            *height = Be16(bmhd + 2);
            return true;
        }
        if (!f.seek(f.pos() + size + (size & 1)))
            return false;
    }
    return false;
}

// FreeImage walks the chunks up to BODY subtracting each size from the FORM
// size, and loops for ever once a size runs past it (its count is unsigned)
// or past the end of the file. Walked here the same way first, with checks;
// the pad byte after an odd-length chunk is part of the walk.
bool PictureBytes::IffChunksFit(QIODevice& f)
{
    unsigned char head[12];
    if (f.read(reinterpret_cast<char*>(head), 12) != 12)
        return false;
    const qint64 fileSize = f.size();
    qint64 remaining = qint64(Be32(head + 4)) - 4;
    qint64 pos = 12;
    while (remaining >= 8 && pos + 8 <= fileSize) {
        unsigned char chunk[8];
        if (!f.seek(pos) || f.read(reinterpret_cast<char*>(chunk), 8) != 8)
            return false;
        if (std::memcmp(chunk, "BODY", 4) == 0)
            return true;
        const qint64 size = Be32(chunk + 4);
        if (size + 8 > remaining || pos + 8 + size > fileSize)
            return false;
        // A chunk of odd length is followed by one pad byte (as IFF says,
        // and as FreeImage reads it).
        const qint64 step = size + (size & 1) + 8;
        remaining -= step;
        pos += step;
    }
    return false;
}

// JPEG: the frame header (SOFn) holds the size and the number of colour
// components. FreeImage's header-only load reads a whole progressive JPEG, so
// the markers are walked here instead.
bool PictureBytes::JpegSize(QIODevice& f, qint64* width, qint64* height, int* components)
{
    unsigned char soi[2];
    if (f.read(reinterpret_cast<char*>(soi), 2) != 2 || soi[0] != 0xFF || soi[1] != 0xD8)
        return false;
    for (int guard = 0; guard < 1000; ++guard) {
        unsigned char m[4];
        if (f.read(reinterpret_cast<char*>(m), 2) != 2 || m[0] != 0xFF)
            return false;
        while (m[1] == 0xFF) { // fill bytes
            if (!f.getChar(reinterpret_cast<char*>(m + 1)))
                return false;
        }
        const unsigned char marker = m[1];
        if (marker == 0xD8 || marker == 0x01 || (marker >= 0xD0 && marker <= 0xD7))
            continue; // no length
        if (marker == 0xD9 || marker == 0xDA)
            return false; // image data before any frame header
        if (f.read(reinterpret_cast<char*>(m), 2) != 2)
            return false;
        const quint16 length = Be16(m);
        if (length < 2)
            return false;
        const bool frame = marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC;
        if (frame) {
            unsigned char sof[6];
            if (length < 8 || f.read(reinterpret_cast<char*>(sof), 6) != 6)
                return false;
            *height = Be16(sof + 1);
            *width = Be16(sof + 3);
            if (components)
                *components = sof[5];
            return true;
        }
        if (!f.seek(f.pos() + length - 2))
            return false;
    }
    return false;
}

// FreeImage's own Exif reader trusts the counts and offsets in the file: a
// photo whose Exif block claims more entries than it holds crashes it. So a
// JPEG reaches FreeImage without its Exif segments, and the one value we
// need, the orientation, is read here with every offset checked.
int PictureBytes::ExifOrientation(const QByteArray& tiff)
{
    const auto* p = reinterpret_cast<const unsigned char*>(tiff.constData());
    const qsizetype n = tiff.size();
    if (n < 8 || !((p[0] == 'I' && p[1] == 'I') || (p[0] == 'M' && p[1] == 'M')))
        return 1;
    const bool le = p[0] == 'I';
    auto rd16 = [&](qsizetype at) { return le ? Le16(p + at) : Be16(p + at); };
    auto rd32 = [&](qsizetype at) {
        return le ? quint32(Le16(p + at)) | quint32(Le16(p + at + 2)) << 16 : Be32(p + at);
    };
    if (rd16(2) != 42)
        return 1;
    const quint32 ifd = rd32(4);
    if (ifd > quint32(n - 2))
        return 1;
    const int count = rd16(ifd);
    for (int i = 0; i < count; ++i) {
        const qsizetype e = qsizetype(ifd) + 2 + 12 * qsizetype(i);
        if (e + 12 > n)
            break;
        if (rd16(e) != 0x112)
            continue;
        const int type = rd16(e + 2);
        const quint32 v = type == 3 ? rd16(e + 8) : type == 4 ? rd32(e + 8) : 1;
        return v >= 1 && v <= 8 ? int(v) : 1;
    }
    return 1;
}

// A TIFF's own Orientation tag (first directory), 1 when absent or unreadable.
// FreeImage ignores it, so a camera's TIFF would stand on its side.
int PictureBytes::TiffOrientation(QIODevice& f)
{
    unsigned char head[8];
    if (f.read(reinterpret_cast<char*>(head), 8) != 8)
        return 1;
    const bool le = head[0] == 'I';
    const quint32 ifd = le ? quint32(Le16(head + 4)) | quint32(Le16(head + 6)) << 16 : Be32(head + 4);
    unsigned char count[2];
    if (!f.seek(ifd) || f.read(reinterpret_cast<char*>(count), 2) != 2)
        return 1;
    const int entries = le ? Le16(count) : Be16(count);
    // Header and directory as one small TIFF for ExifOrientation.
    QByteArray tiff(reinterpret_cast<const char*>(head), 4);
    tiff += le ? QByteArray("\x08\0\0\0", 4) : QByteArray("\0\0\0\x08", 4);
    tiff += QByteArray(reinterpret_cast<const char*>(count), 2) + f.read(qint64(12) * qMin(entries, 4096));
    return ExifOrientation(tiff);
}

// The JPEG without its Exif (APP1 "Exif") segments; *orientation from the first.
QByteArray PictureBytes::JpegWithoutExif(const QByteArray& jpeg, int* orientation)
{
    *orientation = 1;
    const auto* p = reinterpret_cast<const unsigned char*>(jpeg.constData());
    const qsizetype n = jpeg.size();
    if (n < 4 || p[0] != 0xFF || p[1] != 0xD8)
        return jpeg;
    QByteArray out = jpeg.left(2);
    qsizetype pos = 2;
    bool first = true;
    while (pos + 4 <= n && p[pos] == 0xFF) {
        const unsigned char marker = p[pos + 1];
        if (marker == 0xFF) { // fill byte
            ++pos;
            continue;
        }
        if (marker == 0xDA || marker == 0xD9 || marker == 0x01 || (marker >= 0xD0 && marker <= 0xD7))
            break; // the image data, or a marker without length: the rest as it is
        const qsizetype length = Be16(p + pos + 2);
        if (length < 2 || pos + 2 + length > n) {
            if (marker == 0xE1) // a cut-off APP1 that might be Exif: no image follows anyway
                return out;
            break;
        }
        const bool exif = marker == 0xE1 && length >= 8 && std::memcmp(p + pos + 4, "Exif\0\0", 6) == 0;
        if (exif) {
            if (first)
                *orientation = ExifOrientation(jpeg.mid(pos + 10, length - 8));
            first = false;
        } else {
            out.append(jpeg.constData() + pos, 2 + length);
        }
        pos += 2 + length;
    }
    if (first) // no Exif: the file as it is, not a copy
        return jpeg;
    out.append(jpeg.constData() + pos, n - pos);
    return out;
}

bool PictureBytes::IsJpegStart(const QByteArray& head)
{
    return head.size() >= 3 && head[0] == '\xFF' && head[1] == '\xD8' && head[2] == '\xFF';
}

bool PictureBytes::PcxDataFits(const QByteArray& pcx)
{
    if (pcx.size() < 128 || pcx[0] != char(0x0A))
        return false;
    const auto* h = reinterpret_cast<const unsigned char*>(pcx.constData());
    const qint64 width = qint64(Le16(h + 8)) - Le16(h + 4) + 1, height = qint64(Le16(h + 10)) - Le16(h + 6) + 1;
    const qint64 bytesPerLine = Le16(h + 66), planes = h[65], bits = h[3];
    if (width <= 0 || height <= 0 || bytesPerLine <= 0 || planes <= 0)
        return false;
    const qint64 wanted = height * planes * bytesPerLine;
    qint64 got = 0, pos = 128;
    const qint64 size = pcx.size();
    if (h[2] == 0) { // not run-length coded
        got = qMin(wanted, size - pos);
        pos += got;
    }
    while (got < wanted && pos < size) {
        const unsigned char b = h[pos++];
        if ((b & 0xC0) == 0xC0) {
            if (pos >= size)
                return false;
            ++pos;
            got += b & 0x3F;
        } else {
            ++got;
        }
    }
    if (got < wanted)
        return false;
    // A 256-colour picture keeps its palette at the end: 0x0C and 768 bytes.
    if (bits == 8 && planes == 1)
        return size - pos >= 769 && h[size - 769] == 0x0C;
    return true;
}

bool PictureBytes::IffChunksFit(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) && IffChunksFit(f);
}

int PictureBytes::TiffOrientation(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? TiffOrientation(f) : 1;
}

PictureBytes::Turn PictureBytes::Upright(int orientation)
{
    switch (orientation) {
    case 2:
        return {true, 0, false};
    case 3:
        return {false, 180, false};
    case 4:
        return {false, 0, true};
    case 5:
        return {false, 90, true};
    case 6:
        return {false, -90, false};
    case 7:
        return {false, -90, true};
    case 8:
        return {false, 90, false};
    default:
        return {};
    }
}
