#pragma once
#include <FreeImage.h>
#include <QByteArray>
#include <QString>

#include <memory>

class PictureFile;

struct FreeImageUnload {
    void operator()(FIBITMAP* dib) const { FreeImage_Unload(dib); }
};
using FiBitmap = std::unique_ptr<FIBITMAP, FreeImageUnload>;

// One kind of picture file and its decoder. PictureReader asks the readers
// in turn whether a file's first bytes are their kind, and the first that
// says so decodes it: the content decides, never the name.
class KindReader {
public:
    struct Request {
        PictureFile& file;   // open for decoding, at its start
        int preferredFormat; // the FREE_IMAGE_FORMAT the file's name suggests
        int page;            // 0 is the first (only TIFF has more)
    };

    virtual ~KindReader() = default;

    // Whether `head`, the file's first 64 bytes (fewer in a shorter file),
    // starts a file of this kind.
    virtual bool Recognises(const QByteArray& head) const = 0;

    // The picture, its size and memory checked before any pixel is decoded.
    // Null with *error (a sentence without the file name) on failure.
    virtual FiBitmap Decode(const Request& request, QString* error) const = 0;

    // A decoded picture turned upright by its orientation tag (1 to 8), its
    // colour profile and resolution kept. Null when memory runs out.
    static FiBitmap Upright(FiBitmap dib, int orientation);
    // Whether a decoder gave a picture with pixels.
    static bool HasPixels(const FiBitmap& dib);
};
