#include "engine/picture/BmpFileView.h"

#include "engine/picture/PictureBytes.h"

#include <cstdlib>

namespace {

quint32 le32(const uchar* p) { return quint32(p[0]) | quint32(p[1]) << 8 | quint32(p[2]) << 16 | quint32(p[3]) << 24; }

} // namespace

bool BmpFileView::Open(const QString& path)
{
    m_file.setFileName(path);
    if (!m_file.open(QIODevice::ReadOnly))
        return false;
    const qint64 size = m_file.size();
    if (size < 54)
        return false;
    const uchar* data = m_file.map(0, size);
    if (!data)
        return false;
    const quint32 offset = le32(data + 10);
    const quint32 infoSize = le32(data + 14);
    const qint32 width = qint32(le32(data + 18));
    const qint32 height = qint32(le32(data + 22));
    const quint16 planes = PictureBytes::Le16(data + 26), bpp = PictureBytes::Le16(data + 28);
    const quint32 compression = le32(data + 30);
    if (data[0] != 'B' || data[1] != 'M' || infoSize < 40 || planes != 1 || compression != 0 ||
        (bpp != 24 && bpp != 8) || width <= 0 || height == 0 || height == INT32_MIN)
        return false;
    if (bpp == 8) {
        // Only a palette that is exactly black to white, in order.
        const quint32 used = le32(data + 46);
        if ((used != 0 && used != 256) || qint64(14) + infoSize + 1024 > offset)
            return false;
        const uchar* pal = data + 14 + infoSize;
        for (int i = 0; i < 256; ++i) {
            if (pal[4 * i] != i || pal[4 * i + 1] != i || pal[4 * i + 2] != i)
                return false;
        }
    }
    const qint64 pitch = ((qint64(width) * bpp + 31) / 32) * 4;
    const qint64 rows = std::abs(qint64(height));
    if (qint64(offset) + pitch * rows > size || pitch > INT32_MAX || rows > INT32_MAX)
        return false;
    m_rows = data + offset;
    m_width = width;
    m_height = int(rows);
    m_pitch = int(pitch);
    m_grey = bpp == 8;
    m_bottomUp = height > 0;
    return true;
}
