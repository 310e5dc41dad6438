#pragma once
#include <QString>

// The resolution a picture file states for its pixels, read from its own
// bytes (JPEG: JFIF, else Exif; PNG: pHYs; TIFF: XResolution and
// YResolution of the page's directory; BMP: its header), every offset
// checked. The decoders' own idea of it is not taken: FreeImage, for one,
// says 72 ppi for a file that states nothing.
class PictureResolution {
public:
    // Pixels per inch along the upright picture's width and height; 0 when
    // the file states none (or only a proportion).
    struct Ppi {
        double x = 0;
        double y = 0;
    };

    // What the file at `path` states for its page `page` (a multi-page
    // TIFF's; 0 otherwise), for the upright picture of width x height
    // pixels: when that is the file's picture turned a quarter, so is the
    // resolution.
    static Ppi Stated(const QString& path, int page, int width, int height);
};
