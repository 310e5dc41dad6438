#pragma once
#include <QString>

// The page maker's decode step: one picture in, the temporary bitmap out.
// The same function runs in the page maker's own process (JPEGs) and in
// the velunor-decode helper (every other format), so both give the same
// bitmap and the same reasons.
class DecodeStep {
public:
    // How velunor-decode ends. Decoded: it printed "width height"; Refused:
    // it printed the reason; OutOfMemory: its memory limit was reached.
    // Kept: (an answer, not an exit) the JPEG is kept as it is, its traits
    // written and no bitmap.
    enum HelperExit { Decoded = 0, Refused = 1, Usage = 2, OutOfMemory = 3, ParentGone = 4, Kept = 5 };

    // Decodes `picture` (FREE_IMAGE_FORMAT `format` first, see
    // PictureReader::Read) and writes it to `bitmap` as a BMP of 1, 8 or 24
    // bits. True with the bitmap's size; false with *error, a sentence
    // without the picture's name, and no bitmap left behind. `page` > 0
    // takes that page of a multi-page TIFF.
    static bool WriteTempBitmap(const QString& picture, int format, const QString& bitmap, int* width, int* height,
                                QString* error, int page = 0);

    // WriteTempBitmap, unless `picture` is a JPEG that a page at `quality`
    // keeps as it is: that is checked without its pixels
    // (JpegCoefficientCheck) and only its traits are written beside `bitmap`
    // (*kept; the bitmap is left alone). The page still judges the traits.
    static bool KeepOrWriteTempBitmap(const QString& picture, int format, int quality, const QString& bitmap, int* width,
                                      int* height, bool* kept, QString* error);
};
