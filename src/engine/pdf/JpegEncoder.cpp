#include "engine/pdf/JpegEncoder.h"
#include "engine/picture/JpegErrorManager.h"

#include <algorithm>
#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include <jpeglib.h>
#include <jerror.h>

namespace {

// Output into one growing malloc'ed block that stays ours on any error
// (libjpeg's own memory destination frees blocks it has handed out).
struct MemoryDestination {
    jpeg_destination_mgr pub;
    unsigned char* data = nullptr;
    size_t size = 0;
    size_t used = 0;
};

void initDestination(j_compress_ptr cinfo)
{
    auto* d = reinterpret_cast<MemoryDestination*>(cinfo->dest);
    d->size = 64 * 1024;
    d->data = static_cast<unsigned char*>(std::malloc(d->size));
    if (!d->data)
        ERREXIT1(cinfo, JERR_OUT_OF_MEMORY, 0);
    d->pub.next_output_byte = d->data;
    d->pub.free_in_buffer = d->size;
}

boolean growDestination(j_compress_ptr cinfo)
{
    auto* d = reinterpret_cast<MemoryDestination*>(cinfo->dest);
    auto* more = static_cast<unsigned char*>(std::realloc(d->data, d->size * 2));
    if (!more)
        ERREXIT1(cinfo, JERR_OUT_OF_MEMORY, 1);
    d->data = more;
    d->pub.next_output_byte = more + d->size;
    d->pub.free_in_buffer = d->size;
    d->size *= 2;
    return TRUE;
}

void termDestination(j_compress_ptr cinfo)
{
    auto* d = reinterpret_cast<MemoryDestination*>(cinfo->dest);
    d->used = d->size - d->pub.free_in_buffer;
}

bool usable(JpegEncoder::Sampling s)
{
    return s.h >= 1 && s.h <= 4 && s.v >= 1 && s.v <= 4 && s.h * s.v <= 8 && (s.h & (s.h - 1)) == 0 &&
           (s.v & (s.v - 1)) == 0;
}

// The libjpeg part on its own: nothing here may need a destructor, because an
// error leaves it by longjmp.
bool compress(jpeg_compress_struct* cinfo, JpegErrorManager* err, JSAMPROW* rowPointers, int width, int height,
              J_COLOR_SPACE space, int components, int quality, JpegEncoder::Sampling sampling,
              MemoryDestination* dest)
{
    cinfo->err = err->Install();
    if (setjmp(err->jump)) {
        jpeg_destroy_compress(cinfo);
        return false;
    }
    jpeg_create_compress(cinfo);
    dest->pub.init_destination = initDestination;
    dest->pub.empty_output_buffer = growDestination;
    dest->pub.term_destination = termDestination;
    cinfo->dest = &dest->pub;
    cinfo->image_width = JDIMENSION(width);
    cinfo->image_height = JDIMENSION(height);
    cinfo->input_components = components;
    cinfo->in_color_space = space;
    jpeg_set_defaults(cinfo);
    jpeg_set_quality(cinfo, quality, TRUE);
    cinfo->dct_method = JDCT_ISLOW;
    cinfo->optimize_coding = JpegEncoder::OptimisesTables(width, height, space == JCS_GRAYSCALE ? 1 : 3,
                                                          space == JCS_GRAYSCALE ? 1 : sampling.h * sampling.v);
    if (space != JCS_GRAYSCALE) {
        cinfo->comp_info[0].h_samp_factor = sampling.h;
        cinfo->comp_info[0].v_samp_factor = sampling.v;
        for (int c = 1; c < 3; ++c)
            cinfo->comp_info[c].h_samp_factor = cinfo->comp_info[c].v_samp_factor = 1;
    }
    jpeg_start_compress(cinfo, TRUE);
    while (cinfo->next_scanline < cinfo->image_height)
        jpeg_write_scanlines(cinfo, rowPointers + cinfo->next_scanline, cinfo->image_height - cinfo->next_scanline);
    jpeg_finish_compress(cinfo);
    jpeg_destroy_compress(cinfo);
    return true;
}

} // namespace

bool JpegEncoder::OptimisesTables(qint64 width, qint64 height, int components, int lumaPerChroma)
{
    // Optimised tables take two passes, so libjpeg keeps every DCT
    // coefficient of the picture meanwhile: 2 bytes a luma sample, and as
    // much again for each chroma plane over its subsampling (3 bytes a pixel
    // at 4:2:0, 6 at 4:4:4). A 12-megapixel photo needs 36 MB; an 18,000 x
    // 18,000 picture would need 0.97 GB on top of its mapped bitmap, so past
    // the limit the standard tables are used (a few per cent larger).
    const double perPixel = 2.0 * (1.0 + (components - 1) / double(std::max(1, lumaPerChroma)));
    return double(width) * double(height) * perPixel <= double(MaxTableBufferBytes);
}

JpegEncoder::~JpegEncoder()
{
    std::free(m_data);
}

bool JpegEncoder::Encode(const unsigned char* rows, int width, int pitch, int height, Pixels pixels, int quality,
                         bool bottomUp, Sampling source)
{
    std::free(m_data);
    m_data = nullptr;
    m_size = 0;
    if (!rows || width <= 0 || height <= 0 || width > JPEG_MAX_DIMENSION || height > JPEG_MAX_DIMENSION) {
        m_error = QString("a %1 x %2 picture cannot be a JPEG").arg(width).arg(height);
        return false;
    }
    quality = std::clamp(quality, 1, 100);
    Sampling sampling = quality >= 90 ? Sampling{1, 1} : Sampling{2, 2};
    if (usable(source))
        sampling = Sampling{std::max(sampling.h, source.h), std::max(sampling.v, source.v)};
    J_COLOR_SPACE space = JCS_EXT_BGR;
    int components = 3;
    switch (pixels) {
    case Pixels::Bgr: break;
    case Pixels::Bgrx:
        space = JCS_EXT_BGRX;
        components = 4;
        break;
    case Pixels::Gray:
        space = JCS_GRAYSCALE;
        components = 1;
        break;
    }
    std::vector<JSAMPROW> pointers(static_cast<size_t>(height));
    for (int y = 0; y < height; ++y) {
        const int row = bottomUp ? height - 1 - y : y;
        pointers[size_t(y)] = const_cast<JSAMPROW>(rows + qptrdiff(row) * pitch);
    }
    jpeg_compress_struct cinfo{};
    JpegErrorManager err{};
    MemoryDestination dest{};
    if (!compress(&cinfo, &err, pointers.data(), width, height, space, components, quality, sampling, &dest)) {
        std::free(dest.data);
        m_error = QString::fromLocal8Bit(err.message);
        return false;
    }
    m_data = dest.data;
    m_size = dest.used;
    return true;
}
