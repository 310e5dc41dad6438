#pragma once
#include <QString>

#include <cstddef>

// libjpeg-turbo's compressor for one picture at a time. The encoded bytes
// stay owned by the encoder until the next Encode or its destruction.
class JpegEncoder {
public:
    enum class Pixels { Bgr, Bgrx, Gray };

    JpegEncoder();
    ~JpegEncoder();
    JpegEncoder(const JpegEncoder&) = delete;
    JpegEncoder& operator=(const JpegEncoder&) = delete;

    // rows: first row in memory; bottomUp when the last picture row comes
    // first (FreeImage's order). Quality is clamped to 1..100; from 90 up,
    // colour is not subsampled (4:4:4), below it is 4:2:0.
    bool Encode(const unsigned char* rows, int width, int pitch, int height, Pixels pixels,
                int quality, bool bottomUp);

    const unsigned char* Data() const { return m_data; }
    std::size_t Size() const { return m_size; }
    QString Error() const { return m_error; }

private:
    void* m_handle = nullptr;
    unsigned char* m_data = nullptr;
    std::size_t m_size = 0;
    QString m_error;
};
