#include "engine/PictureReader.h"

#include "engine/ColourProfile.h"
#include "engine/FreeImageDiagnostics.h"
#include "engine/PictureTraits.h"

#include <QBuffer>
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QImageReader>
#include <QLocale>

#include <algorithm>
#include <cstring>

namespace {

QString formatName(int format)
{
    const char* name = FreeImage_GetFormatFromFIF(FREE_IMAGE_FORMAT(format));
    return name ? QString::fromLatin1(name) : QString("format %1").arg(format);
}

bool readableFormat(int format)
{
    return format >= 0 && format < FreeImage_GetFIFCount() &&
           FreeImage_FIFSupportsReading(FREE_IMAGE_FORMAT(format));
}

QString withReason(const QString& sentence)
{
    const QString said = FreeImageDiagnostics::Take();
    return said.isEmpty() ? sentence : sentence + " (" + QString(said).replace('\n', "; ") + ")";
}

// What FreeImage will allocate for a picture, learnt from its header.
struct Declared {
    qint64 width = 0, height = 0;
    int bitsPerPixel = 32; // as FreeImage allocates it; 32 when the header does not say
    bool pageReady = false; // no 8-bit copy follows
};

// A copy of one 32-bit and one 24-bit picture at most follows the decoding
// (Normalise: conversion, then compositing onto white).
constexpr int kCopyBytesPerPixel = 7;

bool withinMemory(qint64 w, qint64 h, int bitsPerPixel, int copyBytesPerPixel, QString* error)
{
    const double bytes = double(w) * double(h) * (bitsPerPixel / 8.0 + copyBytesPerPixel);
    if (bytes <= double(PictureReader::MaxDecodeBytes()))
        return true;
    const QLocale c(QLocale::English, QLocale::UnitedStates);
    *error = QString("the picture is %1 x %2 pixels of %3 bits: decoding it would take %4 GB of memory, "
                     "more than the limit of %5 GB")
                 .arg(c.toString(w), c.toString(h), QString::number(bitsPerPixel),
                      QString::number(bytes / 1e9, 'f', 1), QString::number(PictureReader::MaxDecodeBytes() / 1e9, 'f', 1));
    return false;
}

bool withinMemory(const Declared& d, int extraCopies, QString* error)
{
    const int copy = d.pageReady ? 0 : kCopyBytesPerPixel;
    return withinMemory(d.width, d.height, d.bitsPerPixel, copy + extraCopies * d.bitsPerPixel / 8, error);
}

quint32 be32(const unsigned char* p) { return quint32(p[0]) << 24 | quint32(p[1]) << 16 | quint32(p[2]) << 8 | p[3]; }
quint16 be16(const unsigned char* p) { return quint16(p[0] << 8 | p[1]); }
quint16 le16(const unsigned char* p) { return quint16(p[1] << 8 | p[0]); }

// GIF: the logical screen and the first frame each declare a size; FreeImage
// allocates by the larger of what it meets, so both count.
bool gifSize(QFile& f, qint64* width, qint64* height)
{
    unsigned char head[13];
    if (f.read(reinterpret_cast<char*>(head), 13) != 13 || std::memcmp(head, "GIF8", 4) != 0)
        return false;
    qint64 w = le16(head + 6), h = le16(head + 8);
    if (head[10] & 0x80)
        f.seek(f.pos() + 3 * (qint64(2) << (head[10] & 7)));
    for (int guard = 0; guard < 10000; ++guard) {
        char kind = 0;
        if (!f.getChar(&kind))
            break;
        if (static_cast<unsigned char>(kind) == 0x2C) {
            unsigned char desc[8];
            if (f.read(reinterpret_cast<char*>(desc), 8) == 8) {
                w = std::max<qint64>(w, le16(desc + 4));
                h = std::max<qint64>(h, le16(desc + 6));
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
bool iffSize(QFile& f, qint64* width, qint64* height)
{
    unsigned char head[12];
    if (f.read(reinterpret_cast<char*>(head), 12) != 12 || std::memcmp(head, "FORM", 4) != 0)
        return false;
    for (int guard = 0; guard < 64; ++guard) {
        unsigned char chunk[8];
        if (f.read(reinterpret_cast<char*>(chunk), 8) != 8)
            return false;
        const quint32 size = be32(chunk + 4);
        if (std::memcmp(chunk, "BMHD", 4) == 0) {
            unsigned char bmhd[4];
            if (size < 4 || f.read(reinterpret_cast<char*>(bmhd), 4) != 4)
                return false;
            *width = be16(bmhd);
            *height = be16(bmhd + 2);
            return true;
        }
        if (!f.seek(f.pos() + size + (size & 1)))
            return false;
    }
    return false;
}

// FreeImage walks the chunks up to BODY subtracting each size from the FORM
// size, and loops for ever once a size runs past it (its count is unsigned)
// or past the end of the file. Walked here the same way first, with checks.
bool iffChunksFit(const QString& path)
{
    QFile f(path);
    unsigned char head[12];
    if (!f.open(QIODevice::ReadOnly) || f.read(reinterpret_cast<char*>(head), 12) != 12)
        return false;
    const qint64 fileSize = f.size();
    qint64 remaining = qint64(be32(head + 4)) - 4;
    qint64 pos = 12;
    while (remaining >= 8 && pos + 8 <= fileSize) {
        unsigned char chunk[8];
        if (!f.seek(pos) || f.read(reinterpret_cast<char*>(chunk), 8) != 8)
            return false;
        if (std::memcmp(chunk, "BODY", 4) == 0)
            return true;
        const qint64 size = be32(chunk + 4);
        if (size + 8 > remaining || pos + 8 + size > fileSize)
            return false;
        remaining -= size + 8;
        pos += size + 8;
    }
    return false;
}

// JPEG: the frame header (SOFn) holds the size and the number of colour
// components. FreeImage's header-only load reads a whole progressive JPEG, so
// the markers are walked here instead.
bool jpegSize(QIODevice& f, qint64* width, qint64* height, int* components = nullptr)
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
        const quint16 length = be16(m);
        if (length < 2)
            return false;
        const bool frame = marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC;
        if (frame) {
            unsigned char sof[6];
            if (length < 8 || f.read(reinterpret_cast<char*>(sof), 6) != 6)
                return false;
            *height = be16(sof + 1);
            *width = be16(sof + 3);
            if (components)
                *components = sof[5];
            return true;
        }
        if (!f.seek(f.pos() + length - 2))
            return false;
    }
    return false;
}

bool isAllGrey(FIBITMAP* dib)
{
    const RGBQUAD* pal = FreeImage_GetPalette(dib);
    const unsigned n = FreeImage_GetColorsUsed(dib);
    if (!pal || n == 0)
        return false;
    for (unsigned i = 0; i < n; ++i) {
        if (pal[i].rgbRed != pal[i].rgbGreen || pal[i].rgbGreen != pal[i].rgbBlue)
            return false;
    }
    return true;
}

bool alphaAllZero(FIBITMAP* dib)
{
    const unsigned w = FreeImage_GetWidth(dib), h = FreeImage_GetHeight(dib);
    for (unsigned y = 0; y < h; ++y) {
        const BYTE* line = FreeImage_GetScanLine(dib, int(y));
        for (unsigned x = 0; x < w; ++x) {
            if (line[4 * x + FI_RGBA_ALPHA] != 0)
                return false;
        }
    }
    return true;
}

bool allGrey24(FIBITMAP* dib)
{
    const unsigned w = FreeImage_GetWidth(dib), h = FreeImage_GetHeight(dib);
    for (unsigned y = 0; y < h; ++y) {
        const BYTE* p = FreeImage_GetScanLine(dib, int(y));
        for (unsigned x = 0; x < w; ++x, p += 3) {
            if (p[0] != p[1] || p[1] != p[2])
                return false;
        }
    }
    return true;
}

FiBitmap onWhite(FIBITMAP* dib32)
{
    RGBQUAD white{255, 255, 255, 0};
    return FiBitmap(FreeImage_Composite(dib32, FALSE, &white, nullptr));
}

// FreeImage here takes only BMPs with the 40-byte header (or the OS/2 one);
// the BITMAPV4/V5 headers that ImageMagick and GIMP write, and RLE BMPs whose
// last row ends with an end-of-line code, it refuses as invalid. Qt's reader
// takes them; palettes and 1-bit pictures are kept as such.
FiBitmap readBmpWithQt(const QString& path, QString* error)
{
    QImageReader reader(path, "bmp");
    // A top-down BMP reports a negative height here.
    const QSize size = reader.size();
    // Qt's 32-bit picture, FreeImage's copy of it and a 24-bit one.
    if (size.width() != -1 && (!PictureReader::WithinLimit(qAbs(size.width()), qAbs(size.height()), error) ||
                               !withinMemory(qAbs(size.width()), qAbs(size.height()), 32, 4 + 3, error)))
        return nullptr;
    // Qt's own guard, raised to our limit at 4 bytes a pixel.
    reader.setAllocationLimit(int((PictureReader::MaxPixels() * 4 >> 20) + 1));
    QImage img = reader.read();
    if (img.isNull())
        return nullptr;
    int bpp = 32;
    if (img.format() == QImage::Format_Mono || img.format() == QImage::Format_MonoLSB) {
        img = img.convertToFormat(QImage::Format_Mono);
        bpp = 1;
    } else if (img.format() == QImage::Format_Indexed8) {
        bpp = 8;
    } else {
        img = img.convertToFormat(img.hasAlphaChannel() ? QImage::Format_ARGB32 : QImage::Format_RGB32);
    }
    // QImage's 32-bit pixels are B, G, R, A in memory, as FreeImage's are.
    FiBitmap dib(FreeImage_ConvertFromRawBits(img.bits(), img.width(), img.height(), int(img.bytesPerLine()), unsigned(bpp),
                                              FI_RGBA_RED_MASK, FI_RGBA_GREEN_MASK, FI_RGBA_BLUE_MASK, TRUE));
    if (!dib)
        return nullptr;
    if (bpp <= 8) {
        RGBQUAD* pal = FreeImage_GetPalette(dib.get());
        const QList<QRgb> table = img.colorTable();
        for (int i = 0; i < (1 << bpp) && i < table.size(); ++i)
            pal[i] = RGBQUAD{BYTE(qBlue(table[i])), BYTE(qGreen(table[i])), BYTE(qRed(table[i])), 0};
    } else if (!img.hasAlphaChannel()) {
        FiBitmap rgb(FreeImage_ConvertTo24Bits(dib.get()));
        return rgb;
    }
    return dib;
}

// Float RGB(A) pictures whose values all lie in 0..1 are display values, as
// other programs show them: scaled to 0..255. (FreeImage here has no such
// conversion; tone mapping them would wash the picture out.) Null when some
// value is outside 0..1: that is a high-dynamic-range picture.
FiBitmap floatToEightBits(FIBITMAP* dib)
{
    const bool alpha = FreeImage_GetImageType(dib) == FIT_RGBAF;
    const unsigned channels = alpha ? 4 : 3;
    const unsigned w = FreeImage_GetWidth(dib), h = FreeImage_GetHeight(dib);
    for (unsigned y = 0; y < h; ++y) {
        const float* line = reinterpret_cast<const float*>(FreeImage_GetScanLine(dib, int(y)));
        for (unsigned k = 0; k < w * channels; ++k) {
            if (!(line[k] >= 0.0f && line[k] <= 1.0f)) // NaN too
                return nullptr;
        }
    }
    FiBitmap out(FreeImage_Allocate(int(w), int(h), alpha ? 32 : 24));
    if (!out)
        return nullptr;
    const unsigned step = alpha ? 4 : 3;
    for (unsigned y = 0; y < h; ++y) {
        const float* src = reinterpret_cast<const float*>(FreeImage_GetScanLine(dib, int(y)));
        BYTE* dst = FreeImage_GetScanLine(out.get(), int(y));
        for (unsigned x = 0; x < w; ++x, src += channels, dst += step) {
            dst[FI_RGBA_RED] = BYTE(src[0] * 255.0f + 0.5f);
            dst[FI_RGBA_GREEN] = BYTE(src[1] * 255.0f + 0.5f);
            dst[FI_RGBA_BLUE] = BYTE(src[2] * 255.0f + 0.5f);
            if (alpha)
                dst[FI_RGBA_ALPHA] = BYTE(src[3] * 255.0f + 0.5f);
        }
    }
    return out;
}

// FreeImage's own Exif reader trusts the counts and offsets in the file: a
// photo whose Exif block claims more entries than it holds crashes it. So a
// JPEG reaches FreeImage without its Exif segments, and the one value we
// need, the orientation, is read here with every offset checked.
int exifOrientation(const QByteArray& tiff)
{
    const auto* p = reinterpret_cast<const unsigned char*>(tiff.constData());
    const qsizetype n = tiff.size();
    if (n < 8 || !((p[0] == 'I' && p[1] == 'I') || (p[0] == 'M' && p[1] == 'M')))
        return 1;
    const bool le = p[0] == 'I';
    auto rd16 = [&](qsizetype at) { return le ? le16(p + at) : be16(p + at); };
    auto rd32 = [&](qsizetype at) {
        return le ? quint32(le16(p + at)) | quint32(le16(p + at + 2)) << 16 : be32(p + at);
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
int tiffOrientation(const QString& path)
{
    QFile f(path);
    unsigned char head[8];
    if (!f.open(QIODevice::ReadOnly) || f.read(reinterpret_cast<char*>(head), 8) != 8)
        return 1;
    const bool le = head[0] == 'I';
    const quint32 ifd = le ? quint32(le16(head + 4)) | quint32(le16(head + 6)) << 16 : be32(head + 4);
    unsigned char count[2];
    if (!f.seek(ifd) || f.read(reinterpret_cast<char*>(count), 2) != 2)
        return 1;
    const int entries = le ? le16(count) : be16(count);
    // Header and directory as one small TIFF for exifOrientation.
    QByteArray tiff(reinterpret_cast<const char*>(head), 4);
    tiff += le ? QByteArray("\x08\0\0\0", 4) : QByteArray("\0\0\0\x08", 4);
    tiff += QByteArray(reinterpret_cast<const char*>(count), 2) + f.read(qint64(12) * qMin(entries, 4096));
    return exifOrientation(tiff);
}

// The JPEG without its Exif (APP1 "Exif") segments; *orientation from the first.
QByteArray jpegWithoutExif(const QByteArray& jpeg, int* orientation)
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
        const qsizetype length = be16(p + pos + 2);
        if (length < 2 || pos + 2 + length > n) {
            if (marker == 0xE1) // a cut-off APP1 that might be Exif: no image follows anyway
                return out;
            break;
        }
        const bool exif = marker == 0xE1 && length >= 8 && std::memcmp(p + pos + 4, "Exif\0\0", 6) == 0;
        if (exif) {
            if (first)
                *orientation = exifOrientation(jpeg.mid(pos + 10, length - 8));
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

// Turns a decoded picture upright by its Exif orientation (1 to 8).
FiBitmap upright(FiBitmap dib, int orientation)
{
    switch (orientation) {
    case 2:
        FreeImage_FlipHorizontal(dib.get());
        return dib;
    case 3:
        return FiBitmap(FreeImage_Rotate(dib.get(), 180));
    case 4:
        FreeImage_FlipVertical(dib.get());
        return dib;
    case 5: {
        FiBitmap r(FreeImage_Rotate(dib.get(), 90));
        if (r)
            FreeImage_FlipVertical(r.get());
        return r;
    }
    case 6:
        return FiBitmap(FreeImage_Rotate(dib.get(), -90));
    case 7: {
        FiBitmap r(FreeImage_Rotate(dib.get(), -90));
        if (r)
            FreeImage_FlipVertical(r.get());
        return r;
    }
    case 8:
        return FiBitmap(FreeImage_Rotate(dib.get(), 90));
    default:
        return dib;
    }
}

bool declared(const QString& path, int format, Declared* d)
{
    if (format == FIF_GIF || format == FIF_IFF || format == FIF_JPEG) {
        QFile f(path);
        if (!f.open(QIODevice::ReadOnly))
            return false;
        if (format == FIF_JPEG) {
            int components = 3;
            if (!jpegSize(f, &d->width, &d->height, &components))
                return false;
            d->bitsPerPixel = components == 1 ? 8 : 24;
            d->pageReady = true;
            return true;
        }
        // Both are decoded to 8 bits with a palette (or 24 bits for a deep IFF).
        return format == FIF_GIF ? gifSize(f, &d->width, &d->height) : iffSize(f, &d->width, &d->height);
    }
    if (!readableFormat(format) || !FreeImage_FIFSupportsNoPixels(FREE_IMAGE_FORMAT(format)))
        return false;
    FiBitmap head(FreeImage_Load(FREE_IMAGE_FORMAT(format), QFile::encodeName(path).constData(),
                                 FIF_LOAD_NOPIXELS));
    if (!head)
        return false;
    d->width = FreeImage_GetWidth(head.get());
    d->height = FreeImage_GetHeight(head.get());
    d->bitsPerPixel = int(FreeImage_GetBPP(head.get()));
    // As Normalise leaves it: 24-bit, 1-bit, or 8-bit grey, none transparent.
    const int bpp = d->bitsPerPixel;
    d->pageReady = FreeImage_GetImageType(head.get()) == FIT_BITMAP && !FreeImage_IsTransparent(head.get()) &&
                   (bpp == 24 || bpp == 1 || (bpp == 8 && FreeImage_GetColorType(head.get()) == FIC_MINISBLACK));
    return true;
}

bool isJpegStart(const QByteArray& head)
{
    return head.size() >= 3 && head[0] == '\xFF' && head[1] == '\xD8' && head[2] == '\xFF';
}

// A JPEG read once: its size checked from the frame header, then decoded
// from memory without FreeImage seeing its Exif block, and turned upright.
FiBitmap loadJpeg(const QByteArray& file, QString* error)
{
    int orientation = 1;
    QByteArray jpeg = jpegWithoutExif(file, &orientation);
    QBuffer buffer(&jpeg);
    buffer.open(QIODevice::ReadOnly);
    Declared d;
    int components = 3;
    if (jpegSize(buffer, &d.width, &d.height, &components)) {
        d.bitsPerPixel = components == 1 ? 8 : components == 4 ? 32 : 24;
        d.pageReady = true;
        if (!PictureReader::WithinLimit(d.width, d.height, error) || !withinMemory(d, orientation == 1 ? 0 : 1, error))
            return nullptr;
    }
    FIMEMORY* mem = FreeImage_OpenMemory(reinterpret_cast<BYTE*>(jpeg.data()), DWORD(jpeg.size()));
    if (!mem)
        return nullptr;
    // CMYK under a profile stays CMYK here, so Normalise can take it
    // through the profile; other CMYK JPEGs are converted by FreeImage.
    const int cmyk = PictureTraits::IsProfiledCmykJpeg(jpeg) ? JPEG_CMYK : 0;
    FiBitmap dib(FreeImage_LoadFromMemory(FIF_JPEG, mem, JPEG_ACCURATE | cmyk));
    FreeImage_CloseMemory(mem);
    if (!dib || orientation == 1)
        return dib;
    return upright(std::move(dib), orientation);
}

bool tooLarge(qint64 w, qint64 h, QString* error) { return !PictureReader::WithinLimit(w, h, error); }

// The checks every decoded picture passes; null with *error when one fails.
FiBitmap accepted(FiBitmap dib, int format, const QString& path, QString* error)
{
    if (tooLarge(FreeImage_GetWidth(dib.get()), FreeImage_GetHeight(dib.get()), error))
        return nullptr;
    // libtiff reports a strip or tile it cannot read and FreeImage goes on,
    // leaving garbage where the pixels should be.
    if (FreeImageDiagnostics::TiffFailed()) {
        *error = "the TIFF file is damaged or incomplete (" + FreeImageDiagnostics::Take().replace('\n', "; ") + ")";
        return nullptr;
    }
    if (format == FIF_TIFF) {
        const int orientation = tiffOrientation(path);
        if (orientation != 1) {
            dib = upright(std::move(dib), orientation);
            if (!dib) {
                *error = withReason("the picture could not be turned upright");
                return nullptr;
            }
        }
    }
    // libjpeg fills a cut-off JPEG with grey and only warns: a page
    // that is mostly grey is not what the user asked for.
    const QString said = FreeImageDiagnostics::Take();
    if (said.contains("Premature end", Qt::CaseInsensitive)) {
        *error = "the file is incomplete (" + QString(said).replace('\n', "; ") + ")";
        return nullptr;
    }
    return dib;
}

bool hasPixels(const FiBitmap& dib)
{
    return dib && FreeImage_HasPixels(dib.get()) && FreeImage_GetWidth(dib.get()) > 0 &&
           FreeImage_GetHeight(dib.get()) > 0;
}

} // namespace

qint64 PictureReader::MaxPixels() { return qint64(20000) * 20000; }

int PictureReader::MaxSide() { return 65500; }

qint64 PictureReader::MaxDecodeBytes() { return 1000000000; }

bool PictureReader::DeclaredSize(const QString& path, int format, qint64* width, qint64* height)
{
    Declared d;
    if (!declared(path, format, &d))
        return false;
    *width = d.width;
    *height = d.height;
    return true;
}

bool PictureReader::WithinLimit(qint64 w, qint64 h, QString* error)
{
    if (w * h <= MaxPixels() && w <= MaxSide() && h <= MaxSide())
        return true;
    const QLocale c(QLocale::English, QLocale::UnitedStates); // 20,000
    *error = QString("the picture is %1 x %2 pixels, larger than the limit of %3 pixels "
                     "(%4 x %4) or %5 pixels a side")
                 .arg(c.toString(w), c.toString(h), c.toString(PictureReader::MaxPixels()),
                      c.toString(20000), c.toString(PictureReader::MaxSide()));
    return false;
}

FiBitmap PictureReader::Read(const QString& path, int preferred, QString* error)
{
    FreeImageDiagnostics::Collect();
    const QFileInfo info(path);
    if (!info.exists()) {
        *error = "the file does not exist";
        return nullptr;
    }
    if (info.isDir()) {
        *error = "it is a folder, not a picture file";
        return nullptr;
    }
    // A pipe or device has no size to check and may never end: not opened.
    if (!info.isFile()) {
        *error = "it is not a regular file but a pipe, device or socket";
        return nullptr;
    }
    if (info.size() == 0) {
        *error = "the file is empty";
        return nullptr;
    }
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        *error = file.error() == QFileDevice::PermissionsError ? QString("the file cannot be read (permission denied)")
                                                                : "the file cannot be read: " + file.errorString();
        return nullptr;
    }
    // A JPEG, whatever its name says, is read once and decoded from memory.
    if (isJpegStart(file.peek(3))) {
        FiBitmap dib = loadJpeg(file.readAll(), error);
        if (hasPixels(dib))
            return accepted(std::move(dib), FIF_JPEG, path, error);
        if (error->isEmpty())
            *error = withReason(QString("the file could not be decoded as %1").arg(formatName(FIF_JPEG)));
        return nullptr;
    }
    file.close();
    const QByteArray p8 = QFile::encodeName(path);
    int candidates[2];
    int count = 0;
    const int detected = FreeImage_GetFileType(p8.constData(), 0);
    if (readableFormat(preferred) && FreeImage_Validate(FREE_IMAGE_FORMAT(preferred), p8.constData()))
        candidates[count++] = preferred;
    if (readableFormat(detected) && detected != preferred)
        candidates[count++] = detected;
    if (count == 0) {
        *error = withReason("the file is not a picture in a format that can be read");
        return nullptr;
    }
    QString lastFailure;
    for (int k = 0; k < count; ++k) {
        const int format = candidates[k];
        FreeImageDiagnostics::Collect();
        Declared d;
        if (declared(path, format, &d)) {
            const int turned = format == FIF_TIFF && tiffOrientation(path) != 1 ? 1 : 0;
            if (tooLarge(d.width, d.height, error) || !withinMemory(d, turned, error))
                return nullptr;
        }
        if (format == FIF_IFF && !iffChunksFit(path)) {
            lastFailure = "the IFF file is damaged: its chunks do not fit in the file";
            continue;
        }
        // PNGs keep their raw samples, whatever gAMA says: FreeImage would
        // apply it to grey and truecolour ones but not to palette ones, and
        // other programs show the samples as they are.
        FiBitmap dib(FreeImage_Load(FREE_IMAGE_FORMAT(format), p8.constData(),
                                    format == FIF_ICO ? ICO_MAKEALPHA : format == FIF_PNG ? PNG_IGNOREGAMMA : 0));
        if (hasPixels(dib))
            return accepted(std::move(dib), format, path, error);
        lastFailure = withReason(QString("the file could not be decoded as %1").arg(formatName(format)));
        if (format == FIF_BMP) {
            QString limit;
            FiBitmap fromQt = readBmpWithQt(path, &limit);
            if (fromQt)
                return fromQt;
            if (!limit.isEmpty()) {
                *error = limit;
                return nullptr;
            }
        }
    }
    *error = lastFailure;
    return nullptr;
}

FiBitmap PictureReader::Normalise(FiBitmap dib, QString* error)
{
    if (!dib) {
        *error = "there is no picture";
        return nullptr;
    }
    FreeImageDiagnostics::Collect();
    // Pixel types a BMP cannot hold become 8 bits per channel.
    switch (FreeImage_GetImageType(dib.get())) {
    case FIT_BITMAP:
        break;
    case FIT_UINT16:
        dib.reset(FreeImage_ConvertTo8Bits(dib.get()));
        break;
    case FIT_RGB16:
        dib.reset(FreeImage_ConvertTo24Bits(dib.get()));
        break;
    case FIT_RGBA16:
        dib.reset(FreeImage_ConvertTo32Bits(dib.get()));
        break;
    case FIT_RGBF:
    case FIT_RGBAF: {
        FiBitmap eight = floatToEightBits(dib.get());
        if (!eight)
            eight.reset(FreeImage_ConvertTo24Bits(dib.get()));
        if (!eight)
            eight.reset(FreeImage_ToneMapping(dib.get(), FITMO_DRAGO03));
        dib = std::move(eight);
        break;
    }
    default: // integer, float and complex grey: stretched over 0..255
        dib.reset(FreeImage_ConvertToStandardType(dib.get(), TRUE));
        break;
    }
    if (!dib) {
        *error = withReason("the picture's pixel type could not be converted to 8 bits per channel");
        return nullptr;
    }
    if (FreeImage_GetColorType(dib.get()) == FIC_CMYK) {
        FiBitmap rgb = ColourProfile::CmykToSrgb(dib.get());
        if (!rgb)
            rgb.reset(FreeImage_ConvertTo24Bits(dib.get()));
        if (!rgb) {
            *error = withReason("the CMYK picture could not be converted to RGB");
            return nullptr;
        }
        return rgb;
    }
    const unsigned bpp = FreeImage_GetBPP(dib.get());
    const bool palette = bpp <= 8;
    FiBitmap out;
    if (bpp == 24) {
        return dib;
    } else if (bpp == 32) {
        out = alphaAllZero(dib.get()) ? FiBitmap(FreeImage_ConvertTo24Bits(dib.get())) : onWhite(dib.get());
        // Grey with alpha (FreeImage gives it as RGBA) stays grey on white.
        if (out && allGrey24(out.get()))
            out.reset(FreeImage_ConvertToGreyscale(out.get()));
    } else if (palette && FreeImage_IsTransparent(dib.get()) && FreeImage_GetTransparencyCount(dib.get()) > 0) {
        const bool grey = isAllGrey(dib.get());
        FiBitmap rgba(FreeImage_ConvertTo32Bits(dib.get()));
        out = rgba ? onWhite(rgba.get()) : nullptr;
        if (out && grey)
            out.reset(FreeImage_ConvertToGreyscale(out.get()));
    } else if (bpp == 1) {
        return dib;
    } else if (palette && isAllGrey(dib.get())) {
        if (bpp == 8 && FreeImage_GetColorType(dib.get()) == FIC_MINISBLACK)
            return dib;
        out.reset(FreeImage_ConvertToGreyscale(dib.get()));
    } else {
        out.reset(FreeImage_ConvertTo24Bits(dib.get()));
    }
    if (!out) {
        *error = withReason("the picture could not be converted to 8 bits per channel");
        return nullptr;
    }
    return out;
}
