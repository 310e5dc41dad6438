#pragma once
#include "engine/picture/KindReader.h"
#include "engine/picture/PictureFile.h"

#include <QByteArray>
#include <QString>

// Reads HEIC, HEIF and AVIF pictures with libheif: the primary image, turned
// and mirrored as the file says, 10- and 12-bit samples reduced to 8, alpha
// kept for the page writer to put on white, an embedded ICC profile attached
// like other pictures' (nclx colour is taken as sRGB). The size and the
// memory the decoding takes are checked from the file's boxes before any
// pixel is decoded.
class HeifReader : public KindReader {
public:
    bool Recognises(const QByteArray& head) const override { return IsHeif(head); }
    FiBitmap Decode(const Request& request, QString* error) const override { return Read(request.file.readAll(), error); }

    // Whether the file's first bytes are an ISO media file of a still-image
    // brand libheif reads (HEIF, HEIC, AVIF), whatever the file is named.
    static bool IsHeif(const QByteArray& head);

    // Null with *error (a sentence without the file name) on failure.
    static FiBitmap Read(const QByteArray& file, QString* error);
};
