#include "engine/picture/PictureChunks.h"

#include "engine/picture/PictureBytes.h"

#include <cstring>

namespace {

const unsigned char* bytes(const QByteArray& b) { return reinterpret_cast<const unsigned char*>(b.constData()); }

quint32 le32(const unsigned char* p) { return quint32(PictureBytes::Le16(p)) | quint32(PictureBytes::Le16(p + 2)) << 16; }

// An Exif block's orientation, with or without the "Exif\0\0" some writers put first.
int exifOrientation(QByteArray exif)
{
    if (exif.startsWith(QByteArray("Exif\0\0", 6)))
        exif.remove(0, 6);
    return PictureBytes::ExifOrientation(exif);
}

} // namespace

int PictureChunks::PngOrientation(QIODevice& f)
{
    if (f.read(8) != QByteArray("\x89PNG\r\n\x1a\n", 8))
        return 1;
    // Chunks up to the pixels (eXIf must come before IDAT), skipped by seeking.
    for (int guard = 0; guard < 100000; ++guard) {
        const QByteArray h = f.read(8);
        if (h.size() != 8)
            return 1;
        const qint64 length = PictureBytes::Be32(bytes(h));
        if (h.mid(4) == "IDAT" || h.mid(4) == "IEND" || length > f.size() - f.pos())
            return 1;
        if (h.mid(4) == "eXIf")
            return exifOrientation(f.read(length));
        if (!f.seek(f.pos() + length + 4))
            return 1;
    }
    return 1;
}

int PictureChunks::WebpOrientation(const QByteArray& webp)
{
    const qsizetype n = webp.size();
    // Only an extended file (VP8X) whose flags say Exif follows has one.
    if (n < 30 || std::memcmp(webp.constData() + 12, "VP8X", 4) != 0 || !(bytes(webp)[20] & 0x08))
        return 1;
    for (qsizetype at = 12; at + 8 <= n;) {
        const qint64 length = le32(bytes(webp) + at + 4);
        if (length > n - at - 8)
            return 1;
        if (std::memcmp(webp.constData() + at, "EXIF", 4) == 0)
            return exifOrientation(webp.mid(at + 8, length));
        at += 8 + length + (length & 1);
    }
    return 1;
}

bool PictureChunks::ReadGifLayout(const QByteArray& gif, GifLayout* g)
{
    const qsizetype n = gif.size();
    const unsigned char* p = bytes(gif);
    if (n < 13 || std::memcmp(p, "GIF8", 4) != 0)
        return false;
    g->screenW = PictureBytes::Le16(p + 6);
    g->screenH = PictureBytes::Le16(p + 8);
    qsizetype at = 13 + ((p[10] & 0x80) ? 3 * (qsizetype(2) << (p[10] & 7)) : 0);
    while (at < n) {
        if (p[at] == 0x2C) {
            if (at + 9 > n)
                return false;
            g->left = PictureBytes::Le16(p + at + 1);
            g->top = PictureBytes::Le16(p + at + 3);
            g->width = PictureBytes::Le16(p + at + 5);
            g->height = PictureBytes::Le16(p + at + 7);
            return true;
        }
        if (p[at] != 0x21 || at + 2 >= n)
            return false;
        // An extension: its label, then sub-blocks up to an empty one.
        at += 2;
        while (at < n && p[at] != 0)
            at += 1 + p[at];
        ++at;
    }
    return false;
}
