#pragma once
#include "engine/picture/KindReader.h"

#include <QByteArray>
#include <QString>

#include <cstdint>
#include <vector>

struct tiff;

// The pixels of the TIFF directory libtiff stands at, read by strips or
// tiles and turned into a picture the page writer takes: 1-bit or 8-bit
// grey, 8-bit palette, 24-bit RGB, or 32-bit CMYK under its own CMYK
// profile. Alpha is put on white here, as associated (premultiplied) or
// unassociated alpha as ExtraSamples says; samples ExtraSamples does not
// call alpha are left out. Every tag missing takes the TIFF standard's
// default (libtiff's "defaulted" values).
class TiffSamples {
public:
    explicit TiffSamples(tiff* tif) : m_tif(tif) {}

    // The checks (kind, size, memory), then the pixels, with the page's ICC
    // profile attached where it describes them. Null with *error.
    FiBitmap Decode(QString* error);

private:
    enum class Model { Grey, Palette, Rgb, Cmyk, Lab, YCbCr };
    enum class Out { Bilevel, Grey, Indexed, Rgb, Cmyk };

    bool readFacts(QString* error);
    bool withinMemory(QString* error) const;
    bool readBand(uint32_t top, QString* error);
    void unpackRow(uint32_t row, uint16_t* samples) const;
    void convertRow(const uint16_t* s, uint8_t* out, void* labTransform) const;
    FiBitmap decodeBands(QString* error);
    FiBitmap decodeThroughRgba(QString* error);

    tiff* m_tif;
    uint32_t m_width = 0, m_height = 0;
    uint16_t m_bits = 1, m_spp = 1, m_format = 1, m_photometric = 0, m_compression = 1;
    bool m_planar = false, m_tiled = false, m_minIsWhite = false;
    Model m_model = Model::Grey;
    Out m_out = Out::Grey;
    int m_colours = 1;        // colour samples before the extra ones
    int m_alpha = -1;         // the alpha sample's place, -1 without one
    bool m_associated = false; // premultiplied alpha
    int m_orientation = 1;
    bool m_signedLab = true;  // CIE L*a*b* (a* and b* signed), else ICC L*a*b*
    QByteArray m_icc;
    std::vector<uint8_t> m_to8;       // a sample's value in 8 bits
    std::vector<uint8_t> m_palette;   // R, G, B for each index
    uint32_t m_bandRows = 0, m_tileWidth = 0;
    int64_t m_chunkBytes = 0, m_chunkRowBytes = 0; // a strip band's or a tile's
    int m_chunksAcross = 1;
    std::vector<std::vector<uint8_t>> m_band; // one per plane
};
