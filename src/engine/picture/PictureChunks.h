#pragma once
#include <QByteArray>
#include <QIODevice>

// What the chunks of PNG, WebP and GIF files state that their decoders do
// not apply: the Exif orientation of a PNG (eXIf) or a WebP (EXIF), and
// where a GIF's first frame lies on its logical screen. Pure, on bytes (a PNG's chunks are sought past on its device);
// every length is checked against the bytes there are.
class PictureChunks {
public:
    // The Exif orientation (1 to 8) of a PNG's eXIf chunk (read from the
    // device's start), or of a WebP's EXIF chunk; 1 when there is none or it
    // cannot be read.
    static int PngOrientation(QIODevice& png);
    static int WebpOrientation(const QByteArray& webp);

    // A GIF's logical screen and its first frame's place and size.
    struct GifLayout {
        int screenW = 0, screenH = 0;
        int left = 0, top = 0, width = 0, height = 0;
    };
    // False when the file is no GIF or ends before the first frame.
    static bool ReadGifLayout(const QByteArray& gif, GifLayout* layout);
};
