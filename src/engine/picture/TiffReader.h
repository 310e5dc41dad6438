#pragma once
#include "engine/picture/KindReader.h"
#include "engine/picture/PictureFile.h"

#include <QString>

// Reads the pages of TIFF files with libtiff, by strips and tiles, chunky or
// planar, at 1 to 16 bits a sample: grey, palette, RGB, CMYK, YCbCr and
// CIE L*a*b* (turned into sRGB). Alpha, told associated or unassociated by
// ExtraSamples, is put on white here; the ICC profile, the resolution and
// the orientation come from the page's own tags. Tags a file leaves out take
// the TIFF standard's defaults. 32-bit and floating-point samples are
// refused with words. The page's size and the memory its decoding takes are
// checked before any pixel is decoded.
class TiffReader : public KindReader {
public:
    bool Recognises(const QByteArray& head) const override;
    FiBitmap Decode(const Request& request, QString* error) const override
    {
        return Read(request.file.fileName(), request.page, error);
    }

    // Page `page` (0 is the first) of the pages TiffPages lists. The file's
    // directory chain is walked once for all its pages (TiffPages::Listed),
    // and libtiff reads the page's directory alone, as if it were the
    // file's first; a page whose pixel data, as stated or as libtiff would
    // guess it, runs past the file or into a directory is refused as
    // damaged. Null with *error (a sentence without the file name) on
    // failure.
    static FiBitmap Read(const QString& path, int page, QString* error);

    // The first page's width and height, read without decoding pixels.
    static bool DeclaredSize(const QString& path, qint64* width, qint64* height);
};
