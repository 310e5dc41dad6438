#pragma once
#include <QString>
#include <QtGlobal>

#include <cstddef>

// libjpeg-turbo's compressor for one picture at a time, with Huffman tables
// made for the picture (a few per cent smaller than the standard tables; the
// decoded pixels are the same). The encoded bytes stay owned by the encoder
// until the next Encode or its destruction.
class JpegEncoder {
public:
    enum class Pixels { Bgr, Bgrx, Gray };

    // Luma sampling factors of a colour JPEG (chroma is sampled once per
    // h x v luma block): 1 x 1 is 4:4:4, 2 x 2 is 4:2:0. The quality sets
    // them (4:4:4 from 90 up, 4:2:0 below); a source JPEG's own factors,
    // when given, are a floor: chroma it never had is not added.
    struct Sampling {
        int h;
        int v;
    };

    JpegEncoder() = default;
    ~JpegEncoder();
    JpegEncoder(const JpegEncoder&) = delete;
    JpegEncoder& operator=(const JpegEncoder&) = delete;

    // rows: first row in memory; bottomUp when the last picture row comes
    // first (FreeImage's order). Quality is clamped to 1..100.
    bool Encode(const unsigned char* rows, int width, int pitch, int height, Pixels pixels,
                int quality, bool bottomUp, Sampling source = Sampling{0, 0});

    // Optimised tables keep the whole picture's coefficients in memory; a
    // picture whose coefficients would take more than this gets the
    // standard tables, so a huge page stays within the memory bound.
    static constexpr qint64 MaxTableBufferBytes = 256 * 1024 * 1024;
    // Whether a picture of that size, components (1 or 3) and luma samples
    // per chroma sample (h x v) is coded with optimised tables.
    static bool OptimisesTables(qint64 width, qint64 height, int components, int lumaPerChroma);

    const unsigned char* Data() const { return m_data; }
    std::size_t Size() const { return m_size; }
    QString Error() const { return m_error; }

private:
    unsigned char* m_data = nullptr;
    std::size_t m_size = 0;
    QString m_error;
};
