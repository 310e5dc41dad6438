#include "engine/picture/JpegReader.h"

#include "engine/picture/FreeImageDiagnostics.h"
#include "engine/picture/FreeImageKinds.h"
#include "engine/picture/JpegHeader.h"
#include "engine/picture/PictureBytes.h"
#include "engine/picture/PictureFile.h"
#include "engine/picture/PictureLimits.h"
#include "engine/picture/PictureTraits.h"

bool JpegReader::Recognises(const QByteArray& head) const { return PictureBytes::IsJpegStart(head); }

FiBitmap JpegReader::Read(const QByteArray& file, QString* error)
{
    int orientation = 1;
    QByteArray jpeg = PictureBytes::JpegWithoutExif(file, &orientation);
    JpegHeader header;
    if (!header.Read(jpeg, error))
        return nullptr;
    const int bits = header.components == 1 ? 8 : header.components == 4 ? 32 : 24;
    // The picture is the page's as it comes; turned, one copy more.
    if (!PictureLimits::WithinLimit(header.width, header.height, error) ||
        !PictureLimits::WithinMemory(header.width, header.height, bits, orientation == 1 ? 0 : bits / 8, error))
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
    return Upright(std::move(dib), orientation);
}

FiBitmap JpegReader::Decode(const Request& request, QString* error) const
{
    FiBitmap dib = Read(request.file.readAll(), error);
    if (HasPixels(dib))
        return FreeImageKinds::Checked(std::move(dib), error);
    if (error->isEmpty())
        *error = FreeImageDiagnostics::WithReason(QStringLiteral("the file could not be decoded as JPEG"));
    return nullptr;
}
