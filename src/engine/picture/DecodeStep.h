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
    enum HelperExit { Decoded = 0, Refused = 1, Usage = 2, OutOfMemory = 3, ParentGone = 4 };

    // Decodes `picture` (FREE_IMAGE_FORMAT `format` first, see
    // PictureReader::Read) and writes it to `bitmap` as a BMP of 1, 8 or 24
    // bits. True with the bitmap's size; false with *error, a sentence
    // without the picture's name, and no bitmap left behind. `page` > 0
    // takes that page of a multi-page TIFF.
    static bool WriteTempBitmap(const QString& picture, int format, const QString& bitmap, int* width, int* height,
                                QString* error, int page = 0);

    // A JPEG to be kept as it is, checked without its pixels
    // (JpegCoefficientCheck): true with its size and its traits written
    // beside `bitmap` (the bitmap itself is left alone); false with *error
    // when the picture must be decoded after all.
    static bool WriteKeptTraits(const QString& picture, const QString& bitmap, int* width, int* height, QString* error);
    // The helper's request for WriteKeptTraits, in place of a format.
    static constexpr const char* CheckRequest = "check";
};
