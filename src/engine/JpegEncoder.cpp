#include "engine/JpegEncoder.h"

#include <algorithm>
#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include <jpeglib.h>

namespace {

struct ErrorManager {
    jpeg_error_mgr pub;
    std::jmp_buf jump;
    char message[JMSG_LENGTH_MAX];
};

void onError(j_common_ptr cinfo)
{
    auto* err = reinterpret_cast<ErrorManager*>(cinfo->err);
    (*cinfo->err->format_message)(cinfo, err->message);
    std::longjmp(err->jump, 1);
}

void quietly(j_common_ptr, int) {}

bool usable(JpegEncoder::Sampling s)
{
    return s.h >= 1 && s.h <= 4 && s.v >= 1 && s.v <= 4 && s.h * s.v <= 8 && (s.h & (s.h - 1)) == 0 &&
           (s.v & (s.v - 1)) == 0;
}

// The libjpeg part on its own: nothing here may need a destructor, because an
// error leaves it by longjmp.
bool compress(jpeg_compress_struct* cinfo, ErrorManager* err, JSAMPROW* rowPointers, int width, int height,
              J_COLOR_SPACE space, int components, int quality, JpegEncoder::Sampling sampling,
              unsigned char** data, unsigned long* size)
{
    cinfo->err = jpeg_std_error(&err->pub);
    err->pub.error_exit = onError;
    err->pub.emit_message = quietly;
    if (setjmp(err->jump)) {
        jpeg_destroy_compress(cinfo);
        return false;
    }
    jpeg_create_compress(cinfo);
    jpeg_mem_dest(cinfo, data, size);
    cinfo->image_width = JDIMENSION(width);
    cinfo->image_height = JDIMENSION(height);
    cinfo->input_components = components;
    cinfo->in_color_space = space;
    jpeg_set_defaults(cinfo);
    jpeg_set_quality(cinfo, quality, TRUE);
    cinfo->dct_method = JDCT_ISLOW;
    cinfo->optimize_coding = TRUE;
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

JpegEncoder::~JpegEncoder()
{
    std::free(m_data);
}

bool JpegEncoder::Encode(const unsigned char* rows, int width, int pitch, int height, Pixels pixels, int quality,
                         bool bottomUp, Sampling sampling)
{
    std::free(m_data);
    m_data = nullptr;
    m_size = 0;
    if (!rows || width <= 0 || height <= 0 || width > JPEG_MAX_DIMENSION || height > JPEG_MAX_DIMENSION) {
        m_error = QString("a %1 x %2 picture cannot be a JPEG").arg(width).arg(height);
        return false;
    }
    quality = std::clamp(quality, 1, 100);
    if (!usable(sampling))
        sampling = quality >= 90 ? Sampling{1, 1} : Sampling{2, 2};
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
    ErrorManager err{};
    unsigned char* data = nullptr;
    unsigned long size = 0;
    if (!compress(&cinfo, &err, pointers.data(), width, height, space, components, quality, sampling, &data, &size)) {
        std::free(data);
        m_error = QString::fromLocal8Bit(err.message);
        return false;
    }
    m_data = data;
    m_size = size;
    return true;
}
