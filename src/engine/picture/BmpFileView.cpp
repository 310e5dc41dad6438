#include "engine/picture/BmpFileView.h"

#include "engine/picture/PictureBytes.h"

#include <cstdlib>

namespace {

quint32 le32(const uchar* p) { return quint32(p[0]) | quint32(p[1]) << 8 | quint32(p[2]) << 16 | quint32(p[3]) << 24; }

} // namespace

bool BmpFileView::ReadHeader(const uchar* data, qint64 size, Header* h)
{
    if (size < 30 || data[0] != 'B' || data[1] != 'M')
        return false;
    h->offset = le32(data + 10);
    h->infoSize = le32(data + 14);
    // The OS/2 1.x header (12 bytes, 16-bit sides, 3-byte palette) is
    // FreeImage's alone; 16 bytes and more give 32-bit sides.
    if (h->infoSize < 16 || qint64(14) + h->infoSize > size)
        return false;
    h->width = qint32(le32(data + 18));
    h->height = qint32(le32(data + 22));
    if (PictureBytes::Le16(data + 26) != 1)
        return false;
    h->bpp = PictureBytes::Le16(data + 28);
    h->compression = h->infoSize >= 40 ? le32(data + 30) : 0;
    quint32 after = 14 + h->infoSize;
    h->red = h->green = h->blue = h->alpha = 0;
    const bool bitfields = h->compression == 3 || h->compression == 6;
    // OS/2's 64-byte header gives 3 another meaning (Huffman coding).
    if (bitfields && h->infoSize != 64) {
        // Masks in the header from 52 bytes on, else right after it.
        const quint32 at = h->infoSize >= 52 ? 54 : after;
        const bool withAlpha = h->compression == 6 || h->infoSize >= 56;
        const quint32 end = at + (withAlpha ? 16 : 12);
        if (end > size)
            return false;
        h->red = le32(data + at);
        h->green = le32(data + at + 4);
        h->blue = le32(data + at + 8);
        h->alpha = withAlpha ? le32(data + at + 12) : 0;
        if (h->infoSize < 52)
            after = end;
    } else if (h->compression == 0 && h->bpp == 16) {
        h->red = 0x7C00, h->green = 0x03E0, h->blue = 0x001F;
    } else if (h->compression == 0 && h->bpp == 32) {
        h->red = 0xFF0000, h->green = 0xFF00, h->blue = 0xFF;
    }
    h->paletteAt = after;
    h->colours = 0;
    if (h->bpp >= 1 && h->bpp <= 8) {
        const quint32 used = h->infoSize >= 40 ? le32(data + 46) : 0;
        h->colours = used == 0 || used > (1u << h->bpp) ? 1u << h->bpp : used;
        // Fewer when the rows start before the table ends.
        if (h->offset > after && (h->offset - after) / 4 < h->colours)
            h->colours = (h->offset - after) / 4;
    }
    return true;
}

bool BmpFileView::Open(const QString& path)
{
    m_file.setFileName(path);
    if (!m_file.open(QIODevice::ReadOnly))
        return false;
    const qint64 size = m_file.size();
    if (size < 54)
        return false;
    const uchar* data = m_file.map(0, size);
    Header h;
    if (!data || !ReadHeader(data, size, &h))
        return false;
    const qint32 width = h.width, height = h.height;
    const int bpp = h.bpp;
    if (h.infoSize < 40 || h.compression != 0 || (bpp != 24 && bpp != 8) || width <= 0 || height == 0 ||
        height == INT32_MIN)
        return false;
    if (bpp == 8) {
        // Only a palette that is exactly black to white, in order.
        const quint32 used = PictureBytes::Le16(data + 46) | quint32(PictureBytes::Le16(data + 48)) << 16;
        if ((used != 0 && used != 256) || qint64(14) + h.infoSize + 1024 > h.offset)
            return false;
        const uchar* pal = data + 14 + h.infoSize;
        for (int i = 0; i < 256; ++i) {
            if (pal[4 * i] != i || pal[4 * i + 1] != i || pal[4 * i + 2] != i)
                return false;
        }
    }
    const qint64 pitch = ((qint64(width) * bpp + 31) / 32) * 4;
    const qint64 rows = std::abs(qint64(height));
    if (qint64(h.offset) + pitch * rows > size || pitch > INT32_MAX || rows > INT32_MAX)
        return false;
    m_rows = data + h.offset;
    m_width = width;
    m_height = int(rows);
    m_pitch = int(pitch);
    m_grey = bpp == 8;
    m_bottomUp = height > 0;
    return true;
}
