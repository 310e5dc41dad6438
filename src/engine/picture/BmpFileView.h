#pragma once
#include <QFile>
#include <QString>

// The pixels of a plain BMP file (uncompressed, 24-bit or 8-bit grey ramp),
// mapped from the file rather than copied: the rows in the file are already
// what the JPEG encoder takes.
class BmpFileView {
public:
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
