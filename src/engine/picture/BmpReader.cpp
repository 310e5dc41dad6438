#include "engine/picture/BmpReader.h"

#include "engine/picture/BmpFileView.h"
#include "engine/picture/PictureBytes.h"
#include "engine/picture/PictureLimits.h"

#include <bit>
#include <cstdlib>
#include <cstring>

namespace {

bool header(const QByteArray& file, BmpFileView::Header* h)
{
    return BmpFileView::ReadHeader(reinterpret_cast<const uchar*>(file.constData()), file.size(), h);
}

// One channel of a masked pixel, brought to 0..255.
struct Channel {
    quint32 mask = 0;
    int shift = 0;
    quint64 max = 0;
    explicit Channel(quint32 m) : mask(m)
    {
        if (m) {
            shift = std::countr_zero(m);
            max = m >> shift; // a mask with gaps still tops out at its own value
        }
    }
    BYTE operator()(quint32 px) const
    {
        return max ? BYTE(((quint64((px & mask) >> shift) * 255) + max / 2) / max) : 0;
    }
};

} // namespace

bool BmpReader::Wants(const QByteArray& head)
{
    const auto* p = reinterpret_cast<const uchar*>(head.constData());
    if (head.size() < 34 || p[0] != 'B' || p[1] != 'M')
        return false;
    const quint32 infoSize = quint32(PictureBytes::Le16(p + 14)) | quint32(PictureBytes::Le16(p + 16)) << 16;
    const int bpp = PictureBytes::Le16(p + 28);
    const quint32 compression =
        infoSize >= 40 ? quint32(PictureBytes::Le16(p + 30)) | quint32(PictureBytes::Le16(p + 32)) << 16 : 0;
    // OS/2's 64-byte header gives compression 3 another meaning.
    const bool masked = infoSize >= 40 && infoSize != 64 && (compression == 0 || compression == 3 || compression == 6) &&
                        (bpp == 16 || bpp == 32);
    const bool oddHeader = (infoSize == 16 || infoSize == 52 || infoSize == 56) && compression == 0 &&
                           (bpp == 1 || bpp == 4 || bpp == 8 || bpp == 16 || bpp == 24 || bpp == 32);
    return masked || oddHeader;
}

FiBitmap BmpReader::Read(const QByteArray& file, QString* error)
{
    BmpFileView::Header h;
    if (!header(file, &h) || h.width <= 0 || h.height == 0 || h.height == INT32_MIN) {
        *error = QStringLiteral("the BMP file is damaged: its header gives no picture size");
        return nullptr;
    }
    const qint64 w = h.width, rows = std::abs(qint64(h.height));
    const bool alpha = h.alpha != 0;
    const int outBpp = h.bpp <= 8 || h.bpp == 24 ? h.bpp : alpha ? 32 : 24;
    if (!PictureLimits::WithinLimit(w, rows, error) || !PictureLimits::WithinMemory(w, rows, outBpp, 7, error))
        return nullptr;
    const qint64 pitch = ((w * h.bpp + 31) / 32) * 4;
    if (qint64(h.offset) + pitch * rows > file.size() || qint64(h.paletteAt) + 4 * h.colours > file.size()) {
        *error = PictureLimits::IncompleteText();
        return nullptr;
    }
    FiBitmap dib(FreeImage_Allocate(int(w), int(rows), outBpp));
    if (!dib) {
        *error = QStringLiteral("out of memory");
        return nullptr;
    }
    const auto* data = reinterpret_cast<const uchar*>(file.constData());
    if (h.bpp <= 8) {
        // Entries past the file's table stay black.
        RGBQUAD* pal = FreeImage_GetPalette(dib.get());
        std::memset(pal, 0, sizeof(RGBQUAD) << h.bpp);
        for (quint32 i = 0; i < h.colours; ++i) {
            const uchar* e = data + h.paletteAt + 4 * i;
            pal[i] = RGBQUAD{e[0], e[1], e[2], 0};
        }
    }
    const Channel r(h.red), g(h.green), b(h.blue), a(h.alpha);
    const unsigned dstPitch = FreeImage_GetPitch(dib.get());
    for (qint64 y = 0; y < rows; ++y) {
        // FreeImage's rows run bottom up, as a BMP's usually do.
        const uchar* src = data + h.offset + pitch * (h.height > 0 ? y : rows - 1 - y);
        BYTE* dst = FreeImage_GetScanLine(dib.get(), int(y));
        if (h.bpp <= 8 || h.bpp == 24) {
            std::memcpy(dst, src, size_t(qMin<qint64>(pitch, dstPitch)));
            continue;
        }
        const int step = outBpp / 8;
        for (qint64 x = 0; x < w; ++x, dst += step) {
            const quint32 px = h.bpp == 16 ? PictureBytes::Le16(src + 2 * x)
                                           : quint32(src[4 * x]) | quint32(src[4 * x + 1]) << 8 |
                                                 quint32(src[4 * x + 2]) << 16 | quint32(src[4 * x + 3]) << 24;
            dst[FI_RGBA_RED] = r(px);
            dst[FI_RGBA_GREEN] = g(px);
            dst[FI_RGBA_BLUE] = b(px);
            if (alpha)
                dst[FI_RGBA_ALPHA] = a(px);
        }
    }
    return dib;
}
