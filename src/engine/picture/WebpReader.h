#pragma once
#include "engine/picture/KindReader.h"
#include "engine/picture/PictureFile.h"

#include <QByteArray>
#include <QString>

// Reads WebP pictures (lossy, lossless, with alpha) through FreeImage's WebP
// reader; an animated one gives its first frame, because it is one picture.
// The size comes from our own reading of the RIFF header (the canvas of an
// extended file), checked before any pixel is decoded: FreeImage gives no
// size without decoding.
class WebpReader : public KindReader {
public:
    bool Recognises(const QByteArray& head) const override { return IsWebp(head); }
    FiBitmap Decode(const Request& request, QString* error) const override { return Read(request.file.readAll(), error); }

    static bool IsWebp(const QByteArray& head);

    // The size the header declares (the canvas for an extended file) and
    // whether it has alpha; false when the header cannot be read.
    static bool DeclaredSize(const QByteArray& file, qint64* width, qint64* height, bool* alpha);

    // Whether its picture is coded lossy (a VP8 bitstream, not VP8L).
    static bool IsLossy(const QByteArray& file);

    // Null with *error (a sentence without the file name) on failure.
    static FiBitmap Read(const QByteArray& file, QString* error);
};
