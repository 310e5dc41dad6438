#pragma once
#include "engine/picture/KindReader.h"

// JPEG, whatever the file is named: read once, its size checked from
// libjpeg's own reading of the header, then decoded from memory by FreeImage
// without its Exif block, and turned upright by the Exif orientation.
class JpegReader : public KindReader {
public:
    bool Recognises(const QByteArray& head) const override;
    FiBitmap Decode(const Request& request, QString* error) const override;

    // The same on the file's bytes. Null with *error on failure.
    static FiBitmap Read(const QByteArray& file, QString* error);
};
