#pragma once
#include "engine/picture/PictureReader.h"

#include <QByteArray>
#include <QString>

// Our own reader of the BMPs FreeImage gets wrong or refuses: channel masks
// (BI_BITFIELDS, BI_ALPHABITFIELDS) and every uncompressed 16- or 32-bit
// picture, whose masks it ignores, and the 16-, 52- and 56-byte headers. The
// masks and header come from BmpFileView; a picture is transparent only
// where a mask gives an alpha channel.
class BmpReader {
public:
    // Whether the file (its bytes) is one of those BMPs.
    static bool Wants(const QByteArray& file);
    // Null with *error (a limit, or damage) on failure.
    static FiBitmap Read(const QByteArray& file, QString* error);
};
