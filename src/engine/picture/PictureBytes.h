#pragma once
#include <QByteArray>
#include <QString>
#include <QtGlobal>

class QIODevice;

// What a picture file's bytes say before any decoder sees them: sizes from
// the headers, the orientation tags, and a JPEG without its Exif block. Every
// count and offset is checked against the bytes there are, so a damaged file
// gives "unknown" rather than a wrong read.
class PictureBytes {
public:
    static quint16 Le16(const unsigned char* p);
    static quint16 Be16(const unsigned char* p);
    static quint32 Be32(const unsigned char* p);

    // Sizes a header declares, read from the device's current position.
    // GIF: the larger of the logical screen and the first frame.
    static bool GifSize(QIODevice& f, qint64* width, qint64* height);
    // IFF ILBM/PBM: the BMHD chunk.
    static bool IffSize(QIODevice& f, qint64* width, qint64* height);
    // JPEG: the frame header, with its number of colour components.
    static bool JpegSize(QIODevice& f, qint64* width, qint64* height, int* components = nullptr);

    // False when an IFF file's chunks up to BODY do not fit in its FORM
    // size or in the file (read from the start).
    static bool IffChunksFit(QIODevice& f);
    static bool IffChunksFit(const QString& path);

    // False when a PCX file ends before its pixels do: its run-length data
    // is walked until it gives every row of every plane (and an 8-bit
    // picture's palette must follow it). FreeImage reads PCX in blocks, so a
    // short read there is no sign of a cut, and it draws a cut file's
    // missing rows from whatever its buffer holds.
    static bool PcxDataFits(const QByteArray& pcx);

    // The Orientation tag (1 to 8) of a TIFF structure's first directory,
    // 1 when absent or unreadable.
    static int ExifOrientation(const QByteArray& tiff);
    static int TiffOrientation(QIODevice& f);
    static int TiffOrientation(const QString& path);

    // The JPEG without its Exif (APP1 "Exif") segments; *orientation from the first.
    static QByteArray JpegWithoutExif(const QByteArray& jpeg, int* orientation);

    // How a picture is turned upright by its orientation tag (1 to 8):
    // mirrored left to right first, then rotated anticlockwise by
    // `degrees`, then flipped top to bottom.
    struct Turn {
        bool mirror = false;
        int degrees = 0;
        bool flip = false;
    };
    static Turn Upright(int orientation);

    static bool IsJpegStart(const QByteArray& head);
};
