#include "engine/picture/TiffSamples.h"

#include "engine/picture/ColourProfile.h"
#include "engine/picture/PictureTraits.h"
#include "engine/picture/PictureLimits.h"

#include <lcms2.h>
#include <tiffio.h>

#include <algorithm>
#include <cstring>

namespace {

// `count` samples of `bits` each, packed from the most significant bit as
// TIFF packs them (libtiff has already put 16-bit ones in our byte order).
void unpack(const uint8_t* src, int bits, uint32_t count, uint16_t* dst, int stride)
{
    if (bits == 8) {
        for (uint32_t i = 0; i < count; ++i)
            dst[size_t(i) * stride] = src[i];
    } else if (bits == 16) {
        for (uint32_t i = 0; i < count; ++i) {
            uint16_t v;
            std::memcpy(&v, src + 2 * size_t(i), 2);
            dst[size_t(i) * stride] = v;
        }
    } else {
        uint64_t bit = 0;
        for (uint32_t i = 0; i < count; ++i) {
            uint32_t v = 0;
            for (int b = 0; b < bits; ++b, ++bit)
                v = v << 1 | ((src[bit >> 3] >> (7 - (bit & 7))) & 1);
            dst[size_t(i) * stride] = uint16_t(v);
        }
    }
}

// A colour on white: `alpha` straight or premultiplied into `c`.
inline uint8_t onWhite(int c, int alpha, bool associated)
{
    return associated ? uint8_t(std::min(255, c + 255 - alpha)) : uint8_t((c * alpha + 255 * (255 - alpha) + 127) / 255);
}

// Inks on white paper (no ink): the same, with 0 for white.
inline uint8_t inkOnWhite(int ink, int alpha, bool associated)
{
    return associated ? uint8_t(std::min(ink, alpha)) : uint8_t((ink * alpha + 127) / 255);
}

QString modelName(int photometric)
{
    return photometric == PHOTOMETRIC_ITULAB ? QStringLiteral("ITU L*a*b*")
           : photometric == PHOTOMETRIC_LOGLUV || photometric == PHOTOMETRIC_LOGL
               ? QStringLiteral("LogLuv high dynamic range")
               : QStringLiteral("colour model %1").arg(photometric);
}

struct DeleteTransform {
    void operator()(void* t) const { cmsDeleteTransform(t); }
};

} // namespace

bool TiffSamples::readFacts(QString* error)
{
    TIFF* tif = m_tif;
    if (!TIFFGetField(tif, TIFFTAG_IMAGEWIDTH, &m_width) || !TIFFGetField(tif, TIFFTAG_IMAGELENGTH, &m_height) ||
        m_width == 0 || m_height == 0) {
        *error = QStringLiteral("the TIFF page is damaged: it gives no width or height");
        return false;
    }
    uint16_t planar = PLANARCONFIG_CONTIG, orientation = ORIENTATION_TOPLEFT;
    TIFFGetFieldDefaulted(tif, TIFFTAG_BITSPERSAMPLE, &m_bits);
    TIFFGetFieldDefaulted(tif, TIFFTAG_SAMPLESPERPIXEL, &m_spp);
    TIFFGetFieldDefaulted(tif, TIFFTAG_SAMPLEFORMAT, &m_format);
    TIFFGetFieldDefaulted(tif, TIFFTAG_PLANARCONFIG, &planar);
    TIFFGetFieldDefaulted(tif, TIFFTAG_COMPRESSION, &m_compression);
    TIFFGetFieldDefaulted(tif, TIFFTAG_ORIENTATION, &orientation);
    m_orientation = orientation >= 1 && orientation <= 8 ? orientation : 1;
    m_planar = planar == PLANARCONFIG_SEPARATE && m_spp > 1;
    m_tiled = TIFFIsTiled(tif);
    // libtiff itself guesses a missing Photometric from the compression and
    // the samples, as the standard's readers do.
    if (!TIFFGetField(tif, TIFFTAG_PHOTOMETRIC, &m_photometric))
        m_photometric = m_spp >= 3 ? PHOTOMETRIC_RGB : PHOTOMETRIC_MINISBLACK;
    if (m_format == SAMPLEFORMAT_IEEEFP || m_format == SAMPLEFORMAT_COMPLEXIEEEFP) {
        *error = QStringLiteral("the TIFF page holds %1-bit floating-point samples; Velunor reads integer samples of 1 to "
                                "16 bits")
                     .arg(m_bits);
        return false;
    }
    if (m_bits > 16) {
        *error = QStringLiteral("the TIFF page holds %1-bit integer samples; Velunor reads samples of 1 to 16 bits")
                     .arg(m_bits);
        return false;
    }
    if (m_bits == 0 || m_spp == 0) {
        *error = QStringLiteral("the TIFF page is damaged: it gives %1 bits in %2 samples a pixel").arg(m_bits).arg(m_spp);
        return false;
    }
    if (!TIFFIsCODECConfigured(m_compression)) {
        *error = QStringLiteral("the TIFF page is compressed in a way Velunor cannot decode (compression %1)")
                     .arg(m_compression);
        return false;
    }
    switch (m_photometric) {
    case PHOTOMETRIC_MINISWHITE:
    case PHOTOMETRIC_MINISBLACK: m_model = Model::Grey; m_colours = 1; break;
    case PHOTOMETRIC_PALETTE: m_model = Model::Palette; m_colours = 1; break;
    case PHOTOMETRIC_RGB: m_model = Model::Rgb; m_colours = 3; break;
    case PHOTOMETRIC_YCBCR: m_model = Model::YCbCr; m_colours = 3; break;
    case PHOTOMETRIC_CIELAB:
    case PHOTOMETRIC_ICCLAB:
        m_model = Model::Lab;
        m_colours = m_spp >= 3 ? 3 : 1;
        m_signedLab = m_photometric == PHOTOMETRIC_CIELAB;
        break;
    case PHOTOMETRIC_SEPARATED: {
        uint16_t inkset = INKSET_CMYK;
        TIFFGetFieldDefaulted(tif, TIFFTAG_INKSET, &inkset);
        uint16_t extra = 0;
        uint16_t* types = nullptr;
        TIFFGetFieldDefaulted(tif, TIFFTAG_EXTRASAMPLES, &extra, &types);
        if (inkset != INKSET_CMYK || m_spp - extra != 4) {
            *error = QStringLiteral("the TIFF page is printed with %1 inks other than CMYK, which Velunor does not read")
                         .arg(m_spp - extra);
            return false;
        }
        m_model = Model::Cmyk;
        m_colours = 4;
        break;
    }
    default:
        *error = QStringLiteral("the TIFF page holds %1, which Velunor does not read").arg(modelName(m_photometric));
        return false;
    }
    const bool signedOk = m_model == Model::Lab;
    if (m_format != SAMPLEFORMAT_UINT && m_format != SAMPLEFORMAT_VOID && !(signedOk && m_format == SAMPLEFORMAT_INT)) {
        *error = QStringLiteral("the TIFF page holds signed integer samples, which Velunor does not read");
        return false;
    }
    if (m_spp < m_colours) {
        *error = QStringLiteral("the TIFF page is damaged: %1 samples a pixel are too few for its colours").arg(m_spp);
        return false;
    }
    uint16_t extra = 0;
    uint16_t* types = nullptr;
    TIFFGetField(tif, TIFFTAG_EXTRASAMPLES, &extra, &types);
    // One sample ExtraSamples does not name is an old writer's habit; more
    // are samples the file does not account for.
    if (m_spp - m_colours > extra + 1) {
        *error = QStringLiteral("the TIFF page is damaged: it has %1 samples a pixel, %2 more than its colours, "
                                "and does not say what they are")
                     .arg(m_spp)
                     .arg(m_spp - m_colours);
        return false;
    }
    if (types) {
        for (int k = 0; k < extra && m_colours + k < m_spp; ++k) {
            if (types[k] == EXTRASAMPLE_ASSOCALPHA || types[k] == EXTRASAMPLE_UNASSALPHA) {
                m_alpha = m_colours + k;
                m_associated = types[k] == EXTRASAMPLE_ASSOCALPHA;
                break;
            }
        }
    }
    if ((m_model == Model::Lab || m_model == Model::YCbCr) && m_bits != 8 && m_bits != 16) {
        *error = QStringLiteral("the TIFF page holds %1 in %2-bit samples; Velunor reads it in 8 or 16 bits")
                     .arg(m_model == Model::Lab ? "CIE L*a*b*" : "YCbCr")
                     .arg(m_bits);
        return false;
    }
    // JPEG-compressed YCbCr is turned into RGB by libjpeg itself.
    if (m_model == Model::YCbCr && m_compression == COMPRESSION_JPEG && !m_planar) {
        TIFFSetField(tif, TIFFTAG_JPEGCOLORMODE, JPEGCOLORMODE_RGB);
        m_model = Model::Rgb;
    }
    if (m_model == Model::YCbCr && m_bits != 8) {
        *error = QStringLiteral("the TIFF page holds YCbCr in 16-bit samples; Velunor reads it in 8 bits");
        return false;
    }
    uint32_t length = 0;
    void* icc = nullptr;
    if (TIFFGetField(tif, TIFFTAG_ICCPROFILE, &length, &icc) && icc && length > 0)
        m_icc = QByteArray(static_cast<const char*>(icc), qsizetype(length));

    const int alpha = m_alpha >= 0;
    if (m_model == Model::Grey)
        m_out = m_bits == 1 && m_spp == 1 ? Out::Bilevel : Out::Grey;
    else if (m_model == Model::Palette)
        m_out = m_bits <= 8 && !alpha ? Out::Indexed : Out::Rgb;
    else if (m_model == Model::Cmyk)
        m_out = ColourProfile::Channels(m_icc) == 4 ? Out::Cmyk : Out::Rgb;
    else
        m_out = Out::Rgb;
    m_minIsWhite = m_photometric == PHOTOMETRIC_MINISWHITE;

    const uint32_t top = (1u << m_bits) - 1;
    m_to8.resize(size_t(top) + 1);
    for (uint32_t v = 0; v <= top; ++v)
        m_to8[v] = uint8_t((v * 255 + top / 2) / top);
    if (m_model == Model::Palette) {
        uint16_t *r = nullptr, *g = nullptr, *b = nullptr;
        if (!TIFFGetField(tif, TIFFTAG_COLORMAP, &r, &g, &b) || !r || !g || !b) {
            *error = QStringLiteral("the TIFF page is damaged: its palette is missing");
            return false;
        }
        // Some old writers put 8-bit values in the 16-bit colour map.
        const size_t n = size_t(top) + 1;
        bool eightBit = true;
        for (size_t i = 0; i < n && eightBit; ++i)
            eightBit = r[i] < 256 && g[i] < 256 && b[i] < 256;
        m_palette.resize(3 * n);
        for (size_t i = 0; i < n; ++i) {
            const uint16_t c[3] = {r[i], g[i], b[i]};
            for (int k = 0; k < 3; ++k)
                m_palette[3 * i + k] = eightBit ? uint8_t(c[k]) : uint8_t((c[k] * 255u + 32767) / 65535);
        }
    }
    return true;
}

bool TiffSamples::withinMemory(QString* error) const
{
    const int outBits = m_out == Out::Bilevel ? 1 : m_out == Out::Grey || m_out == Out::Indexed ? 8 : m_out == Out::Rgb ? 24 : 32;
    const double pixels = double(m_width) * m_height;
    // libtiff's buffers: a band of strips or a row of tiles, each plane; or
    // its 32-bit picture for YCbCr.
    double buffers = m_model == Model::YCbCr ? 4 * pixels : double(m_chunkBytes) * m_chunksAcross * (m_planar ? m_spp : 1);
    // The page writer's own copies: a palette or CMYK page becomes RGB.
    if (m_out == Out::Indexed || m_out == Out::Cmyk)
        buffers += 3 * pixels;
    if (m_orientation != 1)
        buffers += pixels * outBits / 8;
    const int copy = int(buffers / std::max(1.0, pixels)) + 1;
    return PictureLimits::WithinLimit(m_width, m_height, error) &&
           PictureLimits::WithinMemory(m_width, m_height, outBits, copy, error);
}

bool TiffSamples::readBand(uint32_t top, QString* error)
{
    const int planes = m_planar ? m_spp : 1;
    for (int p = 0; p < planes; ++p) {
        std::vector<uint8_t>& band = m_band[size_t(p)];
        if (!m_tiled) {
            const uint32_t rows = std::min(m_bandRows, m_height - top);
            const tmsize_t want = tmsize_t(rows) * m_chunkRowBytes;
            if (TIFFReadEncodedStrip(m_tif, TIFFComputeStrip(m_tif, top, uint16_t(p)), band.data(), want) != want) {
                *error = QStringLiteral("the TIFF page is damaged or incomplete: a strip at row %1 could not be read")
                             .arg(top + 1);
                return false;
            }
            continue;
        }
        for (int t = 0; t < m_chunksAcross; ++t) {
            const uint32_t x = uint32_t(t) * m_tileWidth;
            uint8_t* at = band.data() + size_t(t) * size_t(m_chunkBytes);
            if (TIFFReadEncodedTile(m_tif, TIFFComputeTile(m_tif, x, top, 0, uint16_t(p)), at, m_chunkBytes) != m_chunkBytes) {
                *error = QStringLiteral("the TIFF page is damaged or incomplete: a tile at row %1, column %2 could not "
                                        "be read")
                             .arg(top + 1)
                             .arg(x + 1);
                return false;
            }
        }
    }
    return true;
}

void TiffSamples::unpackRow(uint32_t row, uint16_t* samples) const
{
    const int planes = m_planar ? m_spp : 1;
    const int perPlane = m_planar ? 1 : m_spp;
    const uint32_t tileWidth = m_tiled ? m_tileWidth : m_width;
    for (int p = 0; p < planes; ++p) {
        const uint8_t* band = m_band[size_t(p)].data();
        for (int t = 0; t < m_chunksAcross; ++t) {
            const uint32_t x = uint32_t(t) * tileWidth;
            const uint32_t n = std::min(tileWidth, m_width - x);
            const uint8_t* src = band + size_t(t) * size_t(m_chunkBytes) + size_t(row) * size_t(m_chunkRowBytes);
            uint16_t* dst = samples + size_t(x) * m_spp + (m_planar ? p : 0);
            unpack(src, m_bits, n * uint32_t(perPlane), dst, m_planar ? m_spp : 1);
        }
    }
}

void TiffSamples::convertRow(const uint16_t* s, uint8_t* out, void* labTransform) const
{
    const bool alpha = m_alpha >= 0;
    const bool assoc = m_associated;
    const int spp = m_spp;
    const auto to8 = [this](uint16_t v) { return int(m_to8[v]); };
    if (m_model == Model::Lab) {
        std::vector<cmsCIELab> lab(m_width);
        const double lTop = m_bits == 8 ? 255.0 : 65535.0;
        for (uint32_t x = 0; x < m_width; ++x) {
            const uint16_t* p = s + size_t(x) * spp;
            // a* and b*: signed, or ICC's offset by half their range.
            auto ab = [&](uint16_t v) {
                const double at = m_signedLab ? (m_bits == 8 ? int8_t(v) : int16_t(v)) : v - (lTop + 1) / 2;
                return m_colours == 3 ? (m_bits == 8 ? at : at / 256.0) : 0.0;
            };
            lab[x] = cmsCIELab{p[0] * 100.0 / lTop, ab(p[1 % spp]), ab(p[2 % spp])};
        }
        cmsDoTransform(labTransform, lab.data(), out, m_width);
        if (alpha) {
            for (uint32_t x = 0; x < m_width; ++x) {
                const int a = to8(s[size_t(x) * spp + m_alpha]);
                for (int k = 0; k < 3; ++k)
                    out[3 * x + k] = onWhite(out[3 * x + k], a, false);
            }
        }
        return;
    }
    for (uint32_t x = 0; x < m_width; ++x) {
        const uint16_t* p = s + size_t(x) * spp;
        const int a = alpha ? to8(p[m_alpha]) : 255;
        switch (m_out) {
        case Out::Bilevel: // tiled: packed again, MSB first
            if (x % 8 == 0)
                out[x / 8] = 0;
            out[x / 8] |= uint8_t((p[0] & 1) << (7 - x % 8));
            break;
        case Out::Grey: {
            int g = to8(p[0]);
            if (m_minIsWhite)
                g = 255 - g;
            out[x] = alpha ? onWhite(g, a, assoc) : uint8_t(g);
            break;
        }
        case Out::Indexed: out[x] = uint8_t(p[0]); break;
        case Out::Cmyk:
            for (int k = 0; k < 4; ++k)
                out[4 * x + k] = alpha ? inkOnWhite(to8(p[k]), a, assoc) : uint8_t(to8(p[k]));
            break;
        case Out::Rgb: {
            int c[3];
            if (m_model == Model::Palette) {
                for (int k = 0; k < 3; ++k)
                    c[k] = m_palette[3 * size_t(p[0]) + k];
            } else if (m_model == Model::Cmyk) {
                const int kInk = alpha ? inkOnWhite(to8(p[3]), a, assoc) : to8(p[3]);
                for (int k = 0; k < 3; ++k) {
                    const int ink = alpha ? inkOnWhite(to8(p[k]), a, assoc) : to8(p[k]);
                    c[k] = (255 - ink) * (255 - kInk) / 255;
                }
            } else {
                for (int k = 0; k < 3; ++k)
                    c[k] = to8(p[k]);
            }
            const bool composite = alpha && m_model != Model::Cmyk;
            out[3 * x + FI_RGBA_RED] = composite ? onWhite(c[0], a, assoc && m_model != Model::Palette) : uint8_t(c[0]);
            out[3 * x + FI_RGBA_GREEN] = composite ? onWhite(c[1], a, assoc && m_model != Model::Palette) : uint8_t(c[1]);
            out[3 * x + FI_RGBA_BLUE] = composite ? onWhite(c[2], a, assoc && m_model != Model::Palette) : uint8_t(c[2]);
            break;
        }
        }
    }
}

FiBitmap TiffSamples::decodeBands(QString* error)
{
    const int bpp = m_out == Out::Bilevel ? 1 : m_out == Out::Grey || m_out == Out::Indexed ? 8 : m_out == Out::Rgb ? 24 : 32;
    FiBitmap dib(FreeImage_Allocate(int(m_width), int(m_height), bpp));
    if (!dib) {
        *error = QStringLiteral("there is too little memory to decode the TIFF page");
        return nullptr;
    }
    RGBQUAD* pal = FreeImage_GetPalette(dib.get());
    if (m_out == Out::Bilevel) {
        pal[0] = m_minIsWhite ? RGBQUAD{255, 255, 255, 0} : RGBQUAD{0, 0, 0, 0};
        pal[1] = m_minIsWhite ? RGBQUAD{0, 0, 0, 0} : RGBQUAD{255, 255, 255, 0};
    } else if (m_out == Out::Grey || m_out == Out::Indexed) {
        for (int i = 0; i < 256; ++i) {
            const bool own = m_out == Out::Indexed && size_t(i) * 3 < m_palette.size();
            pal[i] = own ? RGBQUAD{m_palette[3 * i + 2], m_palette[3 * i + 1], m_palette[3 * i], 0}
                         : RGBQUAD{BYTE(i), BYTE(i), BYTE(i), 0};
        }
    }
    std::unique_ptr<void, DeleteTransform> lab;
    if (m_model == Model::Lab) {
        cmsSetLogErrorHandler(nullptr);
        cmsHPROFILE in = cmsCreateLab4Profile(nullptr), out = cmsCreate_sRGBProfile();
        lab.reset(in && out ? cmsCreateTransform(in, TYPE_Lab_DBL, out, TYPE_BGR_8, INTENT_RELATIVE_COLORIMETRIC, 0)
                            : nullptr);
        cmsCloseProfile(in);
        cmsCloseProfile(out);
        if (!lab) {
            *error = QStringLiteral("the L*a*b* colours of the TIFF page could not be converted to sRGB");
            return nullptr;
        }
    }
    std::vector<uint16_t> samples(size_t(m_width) * m_spp);
    for (uint32_t top = 0; top < m_height; top += m_bandRows) {
        if (!readBand(top, error))
            return nullptr;
        for (uint32_t r = 0; r < m_bandRows && top + r < m_height; ++r) {
            uint8_t* line = FreeImage_GetScanLine(dib.get(), int(m_height - 1 - (top + r)));
            if (m_out == Out::Bilevel && !m_tiled) {
                std::memcpy(line, m_band[0].data() + size_t(r) * size_t(m_chunkRowBytes), (m_width + 7) / 8);
                continue;
            }
            unpackRow(r, samples.data());
            convertRow(samples.data(), line, lab.get());
        }
    }
    return dib;
}

FiBitmap TiffSamples::decodeThroughRgba(QString* error)
{
    // Uncompressed or losslessly compressed YCbCr comes in subsampled
    // blocks; libtiff's RGBA interface unpacks and converts them. Its own
    // turning is switched off: the page is turned by its tag afterwards.
    char said[1024] = {};
    TIFFRGBAImage img;
    if (!TIFFRGBAImageOK(m_tif, said) || !TIFFRGBAImageBegin(&img, m_tif, 0, said)) {
        *error = QStringLiteral("the TIFF page's YCbCr pixels could not be read (%1)").arg(QString::fromUtf8(said));
        return nullptr;
    }
    img.req_orientation = ORIENTATION_TOPLEFT;
    img.orientation = ORIENTATION_TOPLEFT;
    std::vector<uint32_t> raster(size_t(m_width) * m_height);
    const int ok = TIFFRGBAImageGet(&img, raster.data(), m_width, m_height);
    TIFFRGBAImageEnd(&img);
    FiBitmap dib(ok ? FreeImage_Allocate(int(m_width), int(m_height), 24) : nullptr);
    if (!dib) {
        *error = ok ? QStringLiteral("there is too little memory to decode the TIFF page")
                    : QStringLiteral("the TIFF page is damaged or incomplete");
        return nullptr;
    }
    for (uint32_t y = 0; y < m_height; ++y) {
        uint8_t* line = FreeImage_GetScanLine(dib.get(), int(m_height - 1 - y));
        const uint32_t* p = raster.data() + size_t(y) * m_width;
        for (uint32_t x = 0; x < m_width; ++x) {
            const int a = int(TIFFGetA(p[x])); // premultiplied, 255 without alpha
            line[3 * x + FI_RGBA_RED] = onWhite(int(TIFFGetR(p[x])), a, true);
            line[3 * x + FI_RGBA_GREEN] = onWhite(int(TIFFGetG(p[x])), a, true);
            line[3 * x + FI_RGBA_BLUE] = onWhite(int(TIFFGetB(p[x])), a, true);
        }
    }
    return dib;
}

FiBitmap TiffSamples::Decode(QString* error)
{
    if (!readFacts(error))
        return nullptr;
    if (m_tiled) {
        uint32_t tw = 0, th = 0;
        TIFFGetField(m_tif, TIFFTAG_TILEWIDTH, &tw);
        TIFFGetField(m_tif, TIFFTAG_TILELENGTH, &th);
        m_chunkBytes = TIFFTileSize64(m_tif);
        m_chunkRowBytes = TIFFTileRowSize64(m_tif);
        if (tw == 0 || th == 0 || m_chunkBytes <= 0 || m_chunkRowBytes <= 0 || tmsize_t(th) * m_chunkRowBytes > m_chunkBytes) {
            *error = QStringLiteral("the TIFF page is damaged: its tiles have no size");
            return nullptr;
        }
        m_tileWidth = tw;
        m_bandRows = th;
        m_chunksAcross = int((uint64_t(m_width) + tw - 1) / tw);
    } else {
        uint32_t rows = m_height;
        TIFFGetFieldDefaulted(m_tif, TIFFTAG_ROWSPERSTRIP, &rows);
        m_bandRows = rows == 0 || rows > m_height ? m_height : rows;
        m_chunkRowBytes = TIFFScanlineSize64(m_tif);
        m_chunkBytes = int64_t(m_bandRows) * m_chunkRowBytes;
        if (m_chunkRowBytes <= 0) {
            *error = QStringLiteral("the TIFF page is damaged: its rows have no size");
            return nullptr;
        }
    }
    // The samples of a row as unpacked, at least: damage that claims less is refused before any read.
    const int perPlane = m_planar ? 1 : m_spp;
    if (m_model != Model::YCbCr && m_chunkRowBytes * 8 < int64_t(m_tiled ? m_tileWidth : m_width) * perPlane * m_bits) {
        *error = QStringLiteral("the TIFF page is damaged: its rows are shorter than its width");
        return nullptr;
    }
    if (!withinMemory(error))
        return nullptr;
    FiBitmap dib;
    if (m_model == Model::YCbCr) {
        dib = decodeThroughRgba(error);
    } else {
        m_band.assign(m_planar ? m_spp : 1, std::vector<uint8_t>(size_t(m_chunkBytes) * size_t(m_chunksAcross)));
        dib = decodeBands(error);
        m_band.clear();
    }
    // The profile goes with pixels it describes; L*a*b* pages are sRGB now,
    // and CMYK turned into RGB here had no CMYK profile.
    const bool keep = m_model != Model::Lab && !(m_model == Model::Cmyk && m_out != Out::Cmyk);
    if (dib && keep && !m_icc.isEmpty())
        FreeImage_CreateICCProfile(dib.get(), const_cast<char*>(m_icc.constData()), long(m_icc.size()));
    if (dib && m_out == Out::Cmyk)
        FreeImage_GetICCProfile(dib.get())->flags |= FIICC_COLOR_IS_CMYK;
    else if (dib && m_model == Model::Cmyk)
        PictureTraits::MarkUnprofiledCmyk(dib.get());
    return dib;
}
