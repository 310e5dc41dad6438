#include "engine/pdf/FaxPassThrough.h"

#include <QFile>
#include <QFileInfo>

#include <cstdarg>
#include <memory>
#include <tiffio.h>
#include <vector>

namespace {

// Any error or warning of libtiff's is a reason not to keep the data.
int complained(TIFF*, void* said, const char*, const char*, va_list)
{
    *static_cast<bool*>(said) = true;
    return 1;
}

struct TiffClose {
    void operator()(TIFF* t) const { TIFFClose(t); }
};

template <typename T> bool field(TIFF* t, uint32_t tag, T want)
{
    T value{};
    return TIFFGetFieldDefaulted(t, tag, &value) == 1 && value == want;
}

} // namespace

bool FaxPassThrough::Strip(const PictureTraits::FaxSource& source, const unsigned char* bits, int width, int height,
                           int rowBytes, std::string* coded, bool* inverted)
{
    if (source.path.isEmpty() || width <= 0 || height <= 0 || rowBytes != (width + 7) / 8)
        return false;
    bool said = false;
    TIFFOpenOptions* options = TIFFOpenOptionsAlloc();
    TIFFOpenOptionsSetErrorHandlerExtR(options, complained, &said);
    TIFFOpenOptionsSetWarningHandlerExtR(options, complained, &said);
    // Not mapped: a file cut short meanwhile is a read error, not a crash.
    std::unique_ptr<TIFF, TiffClose> t(TIFFOpenExt(QFile::encodeName(source.path).constData(), "rm", options));
    TIFFOpenOptionsFree(options);
    if (!t || !TIFFSetSubDirectory(t.get(), source.directory) || said)
        return false;
    uint16_t photometric = 0, t6 = 0;
    TIFFGetFieldDefaulted(t.get(), TIFFTAG_T6OPTIONS, &t6);
    if (!field<uint32_t>(t.get(), TIFFTAG_IMAGEWIDTH, uint32_t(width)) ||
        !field<uint32_t>(t.get(), TIFFTAG_IMAGELENGTH, uint32_t(height)) ||
        !field<uint16_t>(t.get(), TIFFTAG_COMPRESSION, COMPRESSION_CCITTFAX4) ||
        !field<uint16_t>(t.get(), TIFFTAG_BITSPERSAMPLE, 1) || !field<uint16_t>(t.get(), TIFFTAG_SAMPLESPERPIXEL, 1) ||
        !field<uint16_t>(t.get(), TIFFTAG_FILLORDER, FILLORDER_MSB2LSB) ||
        !TIFFGetField(t.get(), TIFFTAG_PHOTOMETRIC, &photometric) ||
        (photometric != PHOTOMETRIC_MINISWHITE && photometric != PHOTOMETRIC_MINISBLACK) ||
        (t6 & GROUP4OPT_UNCOMPRESSED) || TIFFIsTiled(t.get()) || TIFFNumberOfStrips(t.get()) != 1)
        return false;
    const uint64_t size = TIFFRawStripSize64(t.get(), 0);
    if (size == 0 || size == uint64_t(-1) || size > uint64_t(QFileInfo(source.path).size()))
        return false;
    coded->resize(size_t(size));
    if (TIFFReadRawStrip(t.get(), 0, coded->data(), tmsize_t(size)) != tmsize_t(size))
        return false;
    const size_t all = size_t(rowBytes) * size_t(height);
    std::vector<unsigned char> decoded(all);
    if (TIFFReadEncodedStrip(t.get(), 0, decoded.data(), tmsize_t(all)) != tmsize_t(all) || said)
        return false;
    // The bits past the row's last pixel are nobody's.
    const unsigned char last = width % 8 ? (unsigned char)(0xFF << (8 - width % 8)) : 0xFF;
    bool same = true, opposite = true;
    for (int y = 0; y < height && (same || opposite); ++y)
        for (int x = 0; x < rowBytes; ++x) {
            const size_t at = size_t(y) * size_t(rowBytes) + size_t(x);
            const unsigned char mask = x == rowBytes - 1 ? last : 0xFF;
            same = same && ((decoded[at] ^ bits[at]) & mask) == 0;
            opposite = opposite && ((decoded[at] ^ bits[at] ^ 0xFF) & mask) == 0;
        }
    *inverted = opposite;
    return same || opposite;
}
