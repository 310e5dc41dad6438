#pragma once
#include <QString>
#include <QtGlobal>

// The limits every reader checks from a picture's header, before any pixel
// is decoded, and the words a refusal gives.
class PictureLimits {
public:
    // Largest picture accepted: 400,000,000 pixels (20,000 x 20,000), and no
    // side above 65,500 pixels (the most a JPEG can hold).
    static qint64 MaxPixels();
    static int MaxSide();
    // False, with *error saying why, for a size above those limits.
    static bool WithinLimit(qint64 width, qint64 height, QString* error);
    // Most memory the decoding of one picture may take: the picture as the
    // decoder allocates it (16-bit and float samples included) and the
    // 8-bit or turned copies made after.
    static qint64 MaxDecodeBytes();
    // False, with *error saying why, when a w x h picture of bitsPerPixel,
    // with copyBytesPerPixel more for the copies and the decoder's own
    // buffers, would take more than MaxDecodeBytes.
    static bool WithinMemory(qint64 width, qint64 height, int bitsPerPixel, int copyBytesPerPixel, QString* error);

    // The reason given for a picture whose file ends before its pixels do.
    static QString IncompleteText();
};
