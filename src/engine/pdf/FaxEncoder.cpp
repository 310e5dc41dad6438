#include "engine/pdf/FaxEncoder.h"

#include <tiffio.h>

#include <algorithm>
#include <cstdarg>
#include <cstring>
#include <memory>

namespace {

// A TIFF in memory: libtiff writes the coded strip into it and reads it back.
struct MemoryFile {
    std::string data;
    toff_t at = 0;
};

MemoryFile* memoryOf(thandle_t h) { return static_cast<MemoryFile*>(h); }

tmsize_t readMemory(thandle_t h, void* buf, tmsize_t n)
{
    MemoryFile* f = memoryOf(h);
    if (f->at >= f->data.size())
        return 0;
    const tmsize_t take = std::min<tmsize_t>(n, tmsize_t(f->data.size() - f->at));
    std::memcpy(buf, f->data.data() + f->at, size_t(take));
    f->at += toff_t(take);
    return take;
}

tmsize_t writeMemory(thandle_t h, void* buf, tmsize_t n)
{
    MemoryFile* f = memoryOf(h);
    if (f->data.size() < f->at + toff_t(n))
        f->data.resize(size_t(f->at) + size_t(n));
    std::memcpy(f->data.data() + f->at, buf, size_t(n));
    f->at += toff_t(n);
    return n;
}

toff_t seekMemory(thandle_t h, toff_t offset, int whence)
{
    MemoryFile* f = memoryOf(h);
    const toff_t base = whence == SEEK_CUR ? f->at : whence == SEEK_END ? toff_t(f->data.size()) : 0;
    f->at = base + offset;
    return f->at;
}

int closeMemory(thandle_t) { return 0; }
toff_t sizeOfMemory(thandle_t h) { return toff_t(memoryOf(h)->data.size()); }
int noMap(thandle_t, void**, toff_t*) { return 0; }
void noUnmap(thandle_t, void*, toff_t) {}

// libtiff's notes go nowhere: a failure is told by its result.
int quiet(TIFF*, void*, const char*, const char*, va_list) { return 1; }

struct TiffClose {
    void operator()(TIFF* t) const { TIFFClose(t); }
};
using Tiff = std::unique_ptr<TIFF, TiffClose>;

Tiff open(MemoryFile* f, const char* mode)
{
    TIFFOpenOptions* options = TIFFOpenOptionsAlloc();
    TIFFOpenOptionsSetErrorHandlerExtR(options, quiet, nullptr);
    TIFFOpenOptionsSetWarningHandlerExtR(options, quiet, nullptr);
    f->at = 0;
    Tiff t(TIFFClientOpenExt("page", mode, f, readMemory, writeMemory, seekMemory, closeMemory, sizeOfMemory, noMap,
                             noUnmap, options));
    TIFFOpenOptionsFree(options);
    return t;
}

} // namespace

bool FaxEncoder::EncodeG4(const unsigned char* bits, int width, int height, int rowBytes, std::string* out)
{
    MemoryFile file;
    {
        Tiff t = open(&file, "w");
        if (!t || !TIFFSetField(t.get(), TIFFTAG_IMAGEWIDTH, uint32_t(width)) ||
            !TIFFSetField(t.get(), TIFFTAG_IMAGELENGTH, uint32_t(height)) ||
            !TIFFSetField(t.get(), TIFFTAG_BITSPERSAMPLE, 1) || !TIFFSetField(t.get(), TIFFTAG_SAMPLESPERPIXEL, 1) ||
            !TIFFSetField(t.get(), TIFFTAG_COMPRESSION, COMPRESSION_CCITTFAX4) ||
            !TIFFSetField(t.get(), TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISWHITE) ||
            !TIFFSetField(t.get(), TIFFTAG_FILLORDER, FILLORDER_MSB2LSB) ||
            !TIFFSetField(t.get(), TIFFTAG_ROWSPERSTRIP, uint32_t(height)))
            return false;
        // One strip, so the coded data is one T.6 stream for the whole page.
        std::string rows(reinterpret_cast<const char*>(bits), size_t(rowBytes) * size_t(height));
        if (TIFFWriteEncodedStrip(t.get(), 0, rows.data(), tmsize_t(rows.size())) < 0 || !TIFFWriteDirectory(t.get()))
            return false;
    }
    Tiff t = open(&file, "r");
    if (!t || TIFFNumberOfStrips(t.get()) != 1)
        return false;
    const uint64_t size = TIFFRawStripSize64(t.get(), 0);
    if (size == 0 || size > file.data.size())
        return false;
    out->resize(size_t(size));
    return TIFFReadRawStrip(t.get(), 0, out->data(), tmsize_t(size)) == tmsize_t(size);
}
