#pragma once
#include <QFile>
#include <QString>

// The pixels of a plain BMP file (uncompressed, 24-bit or 8-bit grey ramp),
// mapped from the file rather than copied: the rows in the file are already
// what the JPEG encoder takes. Also what any BMP's headers say, read once
// for the reader of the BMPs FreeImage gets wrong.
class BmpFileView {
public:
    // What the file and info headers state.
    struct Header {
        quint32 offset = 0;   // where the rows start
        quint32 infoSize = 0; // 12, 16, 40, 52, 56, 64, 108 or 124
        qint32 width = 0;
        qint32 height = 0; // negative: top row first
        int bpp = 0;
        quint32 compression = 0; // 0 RGB, 3 BITFIELDS, 6 ALPHABITFIELDS...
        // Channel masks in effect: from the header or after it, or the
        // defaults of an uncompressed 16- or 32-bit picture. No alpha mask
        // unless the file gives one.
        quint32 red = 0, green = 0, blue = 0, alpha = 0;
        quint32 paletteAt = 0; // for 1, 4 and 8 bits: 4-byte entries
        quint32 colours = 0;
    };
    // False when `data` is no BMP or its headers do not fit in `size` bytes.
    static bool ReadHeader(const uchar* data, qint64 size, Header* header);

    // False for any other BMP (or any other file); then nothing is mapped.
    bool Open(const QString& path);

    const unsigned char* Rows() const { return m_rows; }
    int Width() const { return m_width; }
    int Height() const { return m_height; }
    int Pitch() const { return m_pitch; }
    bool Grey() const { return m_grey; }
    bool BottomUp() const { return m_bottomUp; }

private:
    QFile m_file;
    const unsigned char* m_rows = nullptr;
    int m_width = 0;
    int m_height = 0;
    int m_pitch = 0;
    bool m_grey = false;
    bool m_bottomUp = true;
};
