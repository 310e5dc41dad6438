#pragma once
#include "engine/picture/KindReader.h"

#include <QString>
#include <QtGlobal>

// Reads picture files safely: the file is checked first (there, a regular
// file, not empty, readable), then the reader of its kind, picked by its
// content, decodes it (KindReader): its size checked before any pixel is
// decoded, turned upright by its own orientation, and the decoder's own
// messages the reason of a failure.
class PictureReader {
public:
    // Decodes page `page` (0 is the first; only a TIFF has more) of `path`.
    // FREE_IMAGE_FORMAT `preferred` is the format its name suggests, tried
    // first among FreeImage's kinds when the content agrees. On failure
    // returns null and sets *error to a sentence (without the file name).
    static FiBitmap Read(const QString& path, int preferred, QString* error, int page = 0);

    // Brings any picture to one of the three kinds the page writer takes:
    // 1 bit with a two-colour palette, 8-bit grey (black = 0), or 24-bit BGR.
    // Transparent pictures are put on white. Null with *error on failure.
    static FiBitmap Normalise(FiBitmap dib, QString* error);

    // Whether every pixel of a 24-bit picture is grey (stops at the first
    // that is not).
    static bool AllGrey24(FIBITMAP* dib);

    // Width and height a file declares, read without decoding pixels; false
    // when the format gives no cheap way to know.
    static bool DeclaredSize(const QString& path, int format, qint64* width, qint64* height);
};
