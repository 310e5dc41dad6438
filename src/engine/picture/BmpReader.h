#pragma once
#include "engine/picture/KindReader.h"
#include "engine/picture/PictureFile.h"

#include <QByteArray>
#include <QString>

// Our own reader of the BMPs FreeImage gets wrong or refuses: channel masks
// (BI_BITFIELDS, BI_ALPHABITFIELDS) and every uncompressed 16- or 32-bit
// picture, whose masks it ignores and whose spare byte it takes for alpha,
// and the 16-, 52- and 56-byte headers. The masks and header come from
// BmpFileView; a picture is transparent only where a mask gives an alpha
// channel. Every other BMP is FreeImage's.
class BmpReader : public KindReader {
public:
    bool Recognises(const QByteArray& head) const override { return Wants(head); }
    FiBitmap Decode(const Request& request, QString* error) const override { return Read(request.file.readAll(), error); }

    // Whether a file whose first bytes (34 at least) are `head` is one of
    // those BMPs.
    static bool Wants(const QByteArray& head);
    // Null with *error (a limit, or damage) on failure.
    static FiBitmap Read(const QByteArray& file, QString* error);
};
