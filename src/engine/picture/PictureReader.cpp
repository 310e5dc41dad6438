#include "engine/picture/PictureReader.h"

#include "engine/picture/BmpReader.h"
#include "engine/picture/ColourProfile.h"
#include "engine/picture/FreeImageDiagnostics.h"
#include "engine/picture/FreeImageKinds.h"
#include "engine/picture/HeifReader.h"
#include "engine/picture/JpegReader.h"
#include "engine/picture/JxlReader.h"
#include "engine/picture/PictureFile.h"
#include "engine/picture/TiffReader.h"
#include "engine/picture/WebpReader.h"

#include <QFileInfo>

namespace {

// The readers, asked in this order whether a file is their kind: JPEG
// first, the photos that make most pages; FreeImage last, which takes what
// none of the others recognised. Our own BMP reader comes before it, for
// the BMPs FreeImage gets wrong.
const KindReader& readerFor(const QByteArray& head)
{
    static const JpegReader jpeg;
    static const TiffReader tiff;
    static const HeifReader heif;
    static const JxlReader jxl;
    static const WebpReader webp;
    static const BmpReader bmp;
    static const FreeImageKinds freeImage;
    static const KindReader* const readers[] = {&jpeg, &tiff, &heif, &jxl, &webp, &bmp};
    for (const KindReader* r : readers) {
        if (r->Recognises(head))
            return *r;
    }
    return freeImage;
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

} // namespace

bool PictureReader::AllGrey24(FIBITMAP* dib)
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

namespace {

FiBitmap onWhite(FIBITMAP* dib32)
{
    RGBQUAD white{255, 255, 255, 0};
    return FiBitmap(FreeImage_Composite(dib32, FALSE, &white, nullptr));
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

} // namespace

bool PictureReader::DeclaredSize(const QString& path, int format, qint64* width, qint64* height)
{
    if (format == FIF_TIFF)
        return TiffReader::DeclaredSize(path, width, height);
    FreeImageKinds::Declared d;
    if (!FreeImageKinds::DeclaredOf(path, format, &d))
        return false;
    *width = d.width;
    *height = d.height;
    return true;
}

FiBitmap PictureReader::Read(const QString& path, int preferred, QString* error, int page)
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
    // The content decides, whatever the name says: a HEIC named .jpg is
    // read as HEIC.
    const QByteArray head = file.peek(64);
    const KindReader& reader = readerFor(head);
    if (page > 0 && !dynamic_cast<const TiffReader*>(&reader)) {
        *error = QStringLiteral("the file has no page %1").arg(page + 1);
        return nullptr;
    }
    FiBitmap dib = reader.Decode({file, preferred, page}, error);
    if (KindReader::HasPixels(dib))
        return dib;
    if (error->isEmpty())
        *error = QStringLiteral("the file could not be decoded");
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
        *error = FreeImageDiagnostics::WithReason("the picture's pixel type could not be converted to 8 bits per channel");
        return nullptr;
    }
    if (FreeImage_GetColorType(dib.get()) == FIC_CMYK) {
        FiBitmap rgb = ColourProfile::CmykToSrgb(dib.get());
        if (!rgb)
            rgb.reset(FreeImage_ConvertTo24Bits(dib.get()));
        if (!rgb) {
            *error = FreeImageDiagnostics::WithReason("the CMYK picture could not be converted to RGB");
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
        if (out && AllGrey24(out.get()))
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
        *error = FreeImageDiagnostics::WithReason("the picture could not be converted to 8 bits per channel");
        return nullptr;
    }
    return out;
}
