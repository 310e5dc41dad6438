#pragma once
#include "engine/picture/KindReader.h"

#include <QtGlobal>

// The kinds FreeImage decodes (PNG, BMP, GIF, PCX, PSD, IFF, ICO...), safely:
// the declared size is checked before any pixel is decoded, a wrong or
// missing format is corrected from the file's content, and FreeImage's own
// messages become the reason of a failure. The last reader asked: it takes
// whatever the others did not recognise.
class FreeImageKinds : public KindReader {
public:
    bool Recognises(const QByteArray&) const override { return true; }
    FiBitmap Decode(const Request& request, QString* error) const override;

    // What FreeImage will allocate for a picture, learnt from its header.
    struct Declared {
        qint64 width = 0, height = 0;
        int bitsPerPixel = 32; // as FreeImage allocates it; 32 when the header does not say
        bool pageReady = false; // no 8-bit copy follows
    };
    // False when the format gives no cheap way to know.
    static bool DeclaredOf(const QString& path, int format, Declared* d);

    // The checks every picture FreeImage decoded passes (its size, and no
    // warning of a cut file); null with *error when one fails.
    static FiBitmap Checked(FiBitmap dib, QString* error);
    // The name FreeImage gives a format ("PNG").
    static QString FormatName(int format);
};
