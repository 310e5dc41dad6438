#pragma once
#include "engine/picture/KindReader.h"
#include "engine/picture/PictureFile.h"

#include <QByteArray>
#include <QString>

// Reads JPEG XL pictures with libjxl: the first frame, turned upright by the
// orientation in its header, 8 bits per channel, alpha kept for the page
// writer to put on white, its colour as sRGB or with its ICC profile
// attached. The size and the memory the decoding takes are checked from the
// header before any pixel is decoded.
class JxlReader : public KindReader {
public:
    bool Recognises(const QByteArray& head) const override { return IsJxl(head); }
    FiBitmap Decode(const Request& request, QString* error) const override { return Read(request.file.readAll(), error); }

    // Whether the bytes start as a JPEG XL codestream or container.
    static bool IsJxl(const QByteArray& head);

    // Null with *error (a sentence without the file name) on failure.
    static FiBitmap Read(const QByteArray& file, QString* error);
};
