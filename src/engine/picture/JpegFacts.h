#pragma once
#include <QByteArray>
#include <QtGlobal>

// What a JPEG's markers say about how it is coded, read from its bytes alone
// (no pixel is decoded): enough to tell whether a PDF reader can be handed
// the coded data as it is, and those bytes without what no reader needs.
// Every length is checked against the bytes there are; a damaged or cut
// file gives `whole` false.
class JpegFacts {
public:
    // The colour model libjpeg decodes the components to, where every reader
    // agrees on it; Unknown where they may not (a reader would guess).
    enum class Colour { Unknown, Grey, YCbCr, Rgb, Cmyk, Ycck };

    bool whole = false; // SOI, one frame, its scans and EOI, all in the bytes
    int frameMarker = 0; // 0xC0 baseline, 0xC2 progressive, ...
    int precision = 0; // bits per sample
    int width = 0;
    int height = 0;
    int components = 0;
    Colour colour = Colour::Unknown;
    bool adobe = false; // Adobe's APP14, which says the colour transform
    bool huffmanTables = false; // a DHT segment (no reader's defaults needed)
    bool unusualMarkers = false; // DNL, DHP, EXP or JPG extensions
    // libjpeg's quality (1..100) whose scaled standard luminance table is
    // nearest the first component's table; 0 when there is none.
    int quality = 0;
    int orientation = 1; // the first Exif block's Orientation, 1..8
    QByteArray iccProfile; // the APP2 ICC chunks joined in order; empty if none or incomplete

    // Reads the markers; with `stripped`, also gives the file without Exif,
    // XMP, comments, thumbnails and every APPn but Adobe's APP14, and without
    // anything after EOI (empty unless `whole`).
    static JpegFacts Of(const QByteArray& jpeg, QByteArray* stripped = nullptr);

    // Whether the coded data may go to a PDF reader as it is (DCTDecode):
    // whole, Huffman-coded baseline or progressive, 8 bits, and 1, 3 or 4
    // components whose colour model every reader agrees on.
    bool Passable() const;

    // The quality estimate of a luminance table in natural (row) order.
    static int QualityOf(const int table[64]);
};
