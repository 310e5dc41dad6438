#include "engine/picture/FreeImageKinds.h"

#include "engine/picture/DecodedCheck.h"
#include "engine/picture/FreeImageDiagnostics.h"
#include "engine/picture/JpegHeader.h"
#include "engine/picture/PictureBytes.h"
#include "engine/picture/PictureFile.h"
#include "engine/picture/PictureLimits.h"
#include "engine/picture/PictureNames.h"

#include <QFile>
#include <QImage>
#include <QImageReader>

namespace {

bool readableFormat(int format)
{
    return format >= 0 && format < FreeImage_GetFIFCount() &&
           FreeImage_FIFSupportsReading(FREE_IMAGE_FORMAT(format));
}

// A copy of one 32-bit and one 24-bit picture at most follows the decoding
// (Normalise: conversion, then compositing onto white).
constexpr int kCopyBytesPerPixel = 7;

bool withinMemory(const FreeImageKinds::Declared& d, QString* error)
{
    return PictureLimits::WithinMemory(d.width, d.height, d.bitsPerPixel, d.pageReady ? 0 : kCopyBytesPerPixel, error);
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
    if (size.width() != -1 && (!PictureLimits::WithinLimit(qAbs(size.width()), qAbs(size.height()), error) ||
                               !PictureLimits::WithinMemory(qAbs(size.width()), qAbs(size.height()), 32, 4 + 3, error)))
        return nullptr;
    // Qt's own guard, raised to our limit at 4 bytes a pixel.
    reader.setAllocationLimit(int((PictureLimits::MaxPixels() * 4 >> 20) + 1));
    QImage img = reader.read();
    if (img.isNull())
        return nullptr;
    if (file.ReadPastEnd()) {
        *error = PictureLimits::IncompleteText();
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

} // namespace

QString FreeImageKinds::FormatName(int format)
{
    const char* name = FreeImage_GetFormatFromFIF(FREE_IMAGE_FORMAT(format));
    return name ? QString::fromLatin1(name) : QString("format %1").arg(format);
}

FiBitmap FreeImageKinds::Checked(FiBitmap dib, QString* error)
{
    if (!PictureLimits::WithinLimit(FreeImage_GetWidth(dib.get()), FreeImage_GetHeight(dib.get()), error))
        return nullptr;
    // libjpeg fills a cut-off JPEG with grey and only warns: a page
    // that is mostly grey is not what the user asked for.
    const QString said = FreeImageDiagnostics::Take();
    if (said.contains("Premature end", Qt::CaseInsensitive)) {
        *error = "the file is incomplete (" + QString(said).replace('\n', "; ") + ")";
        return nullptr;
    }
    return dib;
}

bool FreeImageKinds::DeclaredOf(const QString& path, int format, Declared* d)
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

FiBitmap FreeImageKinds::Decode(const Request& request, QString* error) const
{
    PictureFile& file = request.file;
    const QString path = file.fileName();
    // Every other picture is read through our own FreeImageIO, which notes
    // a read past the end of the request.file.
    FreeImageIO* io = PictureFile::Io();
    int candidates[2];
    int count = 0;
    const int detected = FreeImage_GetFileTypeFromHandle(io, file.Handle(), 0);
    file.Rewind();
    // TIFF is libtiff's, whatever FreeImage would say.
    const int preferred = request.preferredFormat == FIF_TIFF ? FIF_UNKNOWN : request.preferredFormat;
    if (readableFormat(preferred) && FreeImage_ValidateFromHandle(FREE_IMAGE_FORMAT(preferred), io, file.Handle()))
        candidates[count++] = preferred;
    // Content of a kind we do not read goes to no decoder (a TGA's name
    // proves little: its header has no signature).
    if (readableFormat(detected) && !PictureNames::IsOurKind(detected) && (count == 0 || preferred == FIF_TARGA)) {
        *error = QString("it is not a picture kind Velunor reads (%1)").arg(FormatName(detected));
        return nullptr;
    }
    if (readableFormat(detected) && detected != preferred && detected != FIF_TIFF)
        candidates[count++] = detected;
    if (count == 0) {
        *error = FreeImageDiagnostics::WithReason("the file is not a picture in a format that can be read");
        return nullptr;
    }
    QString lastFailure;
    for (int k = 0; k < count; ++k) {
        const int format = candidates[k];
        FreeImageDiagnostics::Collect();
        Declared d;
        if (DeclaredOf(path, format, &d)) {
            if (!PictureLimits::WithinLimit(d.width, d.height, error) || !withinMemory(d, error))
                return nullptr;
        }
        if (format == FIF_IFF && !PictureBytes::IffChunksFit(path)) {
            lastFailure = "the IFF file is damaged: its chunks do not fit in the file";
            continue;
        }
        if (format == FIF_PCX) {
            file.Rewind();
            if (!PictureBytes::PcxDataFits(file.readAll())) {
                lastFailure = PictureLimits::IncompleteText();
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
        if (HasPixels(dib) && format != FIF_PCX && file.ReadPastEnd()) {
            *error = FreeImageDiagnostics::WithReason(PictureLimits::IncompleteText());
            return nullptr;
        }
        if (HasPixels(dib))
            dib = DecodedCheck::Checked(std::move(dib), format, path, error);
        if (HasPixels(dib))
            return Checked(std::move(dib), error);
        if (!error->isEmpty())
            return nullptr;
        lastFailure = FreeImageDiagnostics::WithReason(QString("the file could not be decoded as %1").arg(FormatName(format)));
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
