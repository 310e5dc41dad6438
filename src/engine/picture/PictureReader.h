#pragma once
#include <FreeImage.h>
#include <QString>
#include <QtGlobal>

#include <memory>

struct FreeImageUnload {
    void operator()(FIBITMAP* dib) const { FreeImage_Unload(dib); }
};
using FiBitmap = std::unique_ptr<FIBITMAP, FreeImageUnload>;

// Reads picture files with FreeImage, safely: the declared size is checked
// before any pixel is decoded, a wrong or missing format is corrected from
// the file's content, JPEGs are turned upright by their EXIF orientation, and
// FreeImage's own messages become the reason of a failure.
class PictureReader {
public:
    // Largest picture accepted: 400,000,000 pixels (20,000 x 20,000), and no
    // side above 65,500 pixels (the most a JPEG can hold).
    static qint64 MaxPixels();
    static int MaxSide();
    // False, with *error saying why, for a size above those limits.
    static bool WithinLimit(qint64 width, qint64 height, QString* error);
    // Most memory the decoding of one picture may take: the picture as
    // FreeImage allocates it (16-bit and float samples included) and the
    // 8-bit or turned copies made after. Checked from the header, before any
    // pixel is decoded.
    static qint64 MaxDecodeBytes();
    // False, with *error saying why, when a w x h picture of bitsPerPixel,
    // with copyBytesPerPixel more for the copies and the decoder's own
    // buffers, would take more than MaxDecodeBytes.
    static bool WithinMemory(qint64 width, qint64 height, int bitsPerPixel, int copyBytesPerPixel, QString* error);
    // A decoded picture turned upright by its orientation tag (1 to 8).
    static FiBitmap Turned(FiBitmap dib, int orientation);

    // Decodes `path`, trying FREE_IMAGE_FORMAT `preferred` first when the
    // content agrees, then the format the content shows. On failure returns
    // null and sets *error to a sentence (without the file name).
    static FiBitmap Read(const QString& path, int preferred, QString* error);

    // The JPEG path of Read, on the file's bytes: size and components from
    // libjpeg's own header reading, checked against the limits before any
    // pixel is decoded; then decoded (without FreeImage seeing the Exif
    // block) and turned upright. Null with *error on failure.
    static FiBitmap ReadJpeg(const QByteArray& file, QString* error);

    // The reason given for a picture whose file ends before its pixels do.
    static QString IncompleteText();

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
