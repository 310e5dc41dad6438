#include "engine/picture/PictureReader.h"

#include "engine/picture/ColourProfile.h"
#include "engine/picture/FreeImageDiagnostics.h"
#include "engine/picture/JpegHeader.h"
#include "engine/picture/HeifReader.h"
#include "engine/picture/JxlReader.h"
#include "engine/picture/WebpReader.h"
#include "engine/picture/PictureBytes.h"
#include "engine/picture/PictureFile.h"
#include "engine/picture/PictureTraits.h"
#include "engine/picture/TiffPages.h"
#include "engine/picture/TiffReader.h"

#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QImageReader>
#include <QLocale>

#include <algorithm>

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
    PictureFile file(path);
    if (!file.OpenForDecoding())
        return nullptr;
    QImageReader reader(&file, "bmp");
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
    if (file.ReadPastEnd()) {
        *error = PictureReader::IncompleteText();
        return nullptr;
    }
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

// Turns a decoded picture upright by its Exif orientation (1 to 8).
FiBitmap upright(FiBitmap dib, int orientation)
{
    const PictureBytes::Turn turn = PictureBytes::Upright(orientation);
    if (turn.mirror)
        FreeImage_FlipHorizontal(dib.get());
    if (turn.degrees != 0) {
        // FreeImage's turned copy has no colour profile nor resolution.
        FiBitmap turned(FreeImage_Rotate(dib.get(), turn.degrees));
        const FIICCPROFILE* icc = FreeImage_GetICCProfile(dib.get());
        if (turned && icc && icc->data && icc->size > 0)
            FreeImage_CreateICCProfile(turned.get(), icc->data, icc->size);
        if (turned && icc)
            FreeImage_GetICCProfile(turned.get())->flags = icc->flags;
        if (turned) {
            const bool across = turn.degrees % 180 != 0;
            FreeImage_SetDotsPerMeterX(turned.get(), across ? FreeImage_GetDotsPerMeterY(dib.get()) : FreeImage_GetDotsPerMeterX(dib.get()));
            FreeImage_SetDotsPerMeterY(turned.get(), across ? FreeImage_GetDotsPerMeterX(dib.get()) : FreeImage_GetDotsPerMeterY(dib.get()));
        }
        dib = std::move(turned);
    }
    if (dib && turn.flip)
        FreeImage_FlipVertical(dib.get());
    return dib;
}

bool declared(const QString& path, int format, Declared* d)
{
    if (format == FIF_GIF || format == FIF_IFF || format == FIF_JPEG) {
        QFile f(path);
        if (!f.open(QIODevice::ReadOnly))
            return false;
        if (format == FIF_JPEG) {
            JpegHeader header;
            if (!header.Read(f.readAll(), nullptr))
                return false;
            d->width = header.width;
            d->height = header.height;
            d->bitsPerPixel = header.components == 1 ? 8 : 24;
            d->pageReady = true;
            return true;
        }
        // Both are decoded to 8 bits with a palette (or 24 bits for a deep IFF).
        return format == FIF_GIF ? PictureBytes::GifSize(f, &d->width, &d->height)
                                 : PictureBytes::IffSize(f, &d->width, &d->height);
    }
    if (format == FIF_TIFF)
        return TiffReader::DeclaredSize(path, &d->width, &d->height);
    if (!readableFormat(format) || !FreeImage_FIFSupportsNoPixels(FREE_IMAGE_FORMAT(format)))
        return false;
    PictureFile file(path);
    if (!file.OpenForDecoding())
        return false;
    FiBitmap head(FreeImage_LoadFromHandle(FREE_IMAGE_FORMAT(format), PictureFile::Io(), file.Handle(),
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

} // namespace

// A JPEG read once: its size checked from libjpeg's own reading of the
// header, then decoded from memory without FreeImage seeing its Exif block,
// and turned upright.
FiBitmap PictureReader::ReadJpeg(const QByteArray& file, QString* error)
{
    int orientation = 1;
    QByteArray jpeg = PictureBytes::JpegWithoutExif(file, &orientation);
    JpegHeader header;
    if (!header.Read(jpeg, error))
        return nullptr;
    Declared d;
    d.width = header.width;
    d.height = header.height;
    d.bitsPerPixel = header.components == 1 ? 8 : header.components == 4 ? 32 : 24;
    d.pageReady = true;
    if (!PictureReader::WithinLimit(d.width, d.height, error) || !withinMemory(d, orientation == 1 ? 0 : 1, error))
        return nullptr;
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

namespace {

// The checks every decoded picture passes; null with *error when one fails.
FiBitmap accepted(FiBitmap dib, QString* error)
{
    if (!PictureReader::WithinLimit(FreeImage_GetWidth(dib.get()), FreeImage_GetHeight(dib.get()), error))
        return nullptr;
    // libtiff reports a strip or tile it cannot read and FreeImage goes on,
    // leaving garbage where the pixels should be.
    if (FreeImageDiagnostics::TiffFailed()) {
        *error = "the TIFF file is damaged or incomplete (" + FreeImageDiagnostics::Take().replace('\n', "; ") + ")";
        return nullptr;
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

QString PictureReader::IncompleteText()
{
    return QStringLiteral("the file is damaged or incomplete: it ends before the picture does");
}

int PictureReader::MaxSide() { return 65500; }

qint64 PictureReader::MaxDecodeBytes() { return 1000000000; }

bool PictureReader::WithinMemory(qint64 width, qint64 height, int bitsPerPixel, int copyBytesPerPixel, QString* error)
{
    return withinMemory(width, height, bitsPerPixel, copyBytesPerPixel, error);
}

FiBitmap PictureReader::Turned(FiBitmap dib, int orientation) { return upright(std::move(dib), orientation); }

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
    PictureFile file(path);
    if (!file.OpenForDecoding()) {
        *error = file.error() == QFileDevice::PermissionsError ? QString("the file cannot be read (permission denied)")
                                                                : "the file cannot be read: " + file.errorString();
        return nullptr;
    }
    // A JPEG, whatever its name says, is read once and decoded from memory.
    if (PictureBytes::IsJpegStart(file.peek(3))) {
        FiBitmap dib = ReadJpeg(file.readAll(), error);
        if (hasPixels(dib))
            return accepted(std::move(dib), error);
        if (error->isEmpty())
            *error = withReason(QString("the file could not be decoded as %1").arg(formatName(FIF_JPEG)));
        return nullptr;
    }
    // HEIC, HEIF, AVIF, JPEG XL and WebP, whatever their names say, go to
    // their own readers; a HEIC named .jpg is read as HEIC.
    const QByteArray head = file.peek(64);
    // TIFF goes to libtiff, never to FreeImage: every page, each by name.
    if (TiffPages::IsTiff(head)) {
        FiBitmap dib = TiffReader::Read(path, 0, error);
        if (hasPixels(dib))
            return dib;
        if (error->isEmpty())
            *error = QStringLiteral("the file could not be decoded as TIFF");
        return nullptr;
    }
    const bool heif = HeifReader::IsHeif(head), jxl = JxlReader::IsJxl(head), webp = WebpReader::IsWebp(head);
    if (heif || jxl || webp) {
        const QByteArray bytes = file.readAll();
        FiBitmap dib = heif ? HeifReader::Read(bytes, error)
                       : jxl ? JxlReader::Read(bytes, error)
                             : WebpReader::Read(bytes, error);
        if (hasPixels(dib))
            return dib;
        if (error->isEmpty())
            *error = QStringLiteral("the file could not be decoded");
        return nullptr;
    }
    // Every other picture is read through our own FreeImageIO, which notes
    // a read past the end of the file.
    FreeImageIO* io = PictureFile::Io();
    int candidates[2];
    int count = 0;
    const int detected = FreeImage_GetFileTypeFromHandle(io, file.Handle(), 0);
    file.Rewind();
    if (preferred == FIF_TIFF)
        preferred = FIF_UNKNOWN;
    if (readableFormat(preferred) && FreeImage_ValidateFromHandle(FREE_IMAGE_FORMAT(preferred), io, file.Handle()))
        candidates[count++] = preferred;
    if (readableFormat(detected) && detected != preferred && detected != FIF_TIFF)
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
            if (!WithinLimit(d.width, d.height, error) || !withinMemory(d, 0, error))
                return nullptr;
        }
        if (format == FIF_IFF && !PictureBytes::IffChunksFit(path)) {
            lastFailure = "the IFF file is damaged: its chunks do not fit in the file";
            continue;
        }
        if (format == FIF_PCX) {
            file.Rewind();
            if (!PictureBytes::PcxDataFits(file.readAll())) {
                lastFailure = IncompleteText();
                continue;
            }
        }
        // PNGs keep their raw samples, whatever gAMA says: FreeImage would
        // apply it to grey and truecolour ones but not to palette ones, and
        // other programs show the samples as they are.
        file.Rewind();
        FiBitmap dib(FreeImage_LoadFromHandle(FREE_IMAGE_FORMAT(format), io, file.Handle(),
                                              format == FIF_ICO ? ICO_MAKEALPHA : format == FIF_PNG ? PNG_IGNOREGAMMA : 0));
        // The file ended before the picture: FreeImage drew what was missing
        // as garbage or blank (BMP, IFF, ICO, PSD say nothing of it). Its
        // PCX reader reads in blocks, so PCX is judged by its data above.
        if (hasPixels(dib) && format != FIF_PCX && file.ReadPastEnd()) {
            *error = withReason(IncompleteText());
            return nullptr;
        }
        if (hasPixels(dib))
            return accepted(std::move(dib), error);
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
