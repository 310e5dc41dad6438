#include "JpegSamples.h"

#include <cstdio>
#include <cstdlib>
#include <jpeglib.h>

namespace testsupport {

QByteArray makeJpeg(int w, int h, const std::vector<uint8_t>& samples, const JpegRecipe& r)
{
    using Model = JpegRecipe::Model;
    jpeg_compress_struct c{};
    jpeg_error_mgr err{};
    c.err = jpeg_std_error(&err);
    jpeg_create_compress(&c);
    unsigned char* buf = nullptr;
    unsigned long size = 0;
    jpeg_mem_dest(&c, &buf, &size);
    c.image_width = JDIMENSION(w);
    c.image_height = JDIMENSION(h);
    const bool grey = r.model == Model::Grey, cmyk = r.model == Model::Cmyk || r.model == Model::Ycck;
    c.input_components = grey ? 1 : cmyk ? 4 : 3;
    c.in_color_space = grey ? JCS_GRAYSCALE : cmyk ? JCS_CMYK : JCS_RGB;
    jpeg_set_defaults(&c);
    const J_COLOR_SPACE stored[] = {JCS_GRAYSCALE, JCS_YCbCr, JCS_RGB, JCS_CMYK, JCS_YCCK}; // in Model's order
    jpeg_set_colorspace(&c, stored[int(r.model)]);
    if (r.model == Model::YCbCr || r.model == Model::Ycck) {
        c.comp_info[0].h_samp_factor = r.lumaH;
        c.comp_info[0].v_samp_factor = r.lumaV;
    }
    if (r.withoutAdobeMarker)
        c.write_Adobe_marker = FALSE;
    jpeg_set_quality(&c, r.quality, TRUE);
    c.arith_code = r.arithmetic ? TRUE : FALSE;
    c.optimize_coding = r.arithmetic ? FALSE : TRUE;
    if (r.progressive)
        jpeg_simple_progression(&c);
    jpeg_start_compress(&c, TRUE);
    if (!r.icc.isEmpty())
        jpeg_write_icc_profile(&c, reinterpret_cast<const JOCTET*>(r.icc.constData()), unsigned(r.icc.size()));
    for (const auto& [marker, payload] : r.segments)
        jpeg_write_marker(&c, marker, reinterpret_cast<const JOCTET*>(payload.constData()), unsigned(payload.size()));
    const size_t stride = size_t(w) * size_t(c.input_components);
    while (c.next_scanline < c.image_height) {
        JSAMPROW row = const_cast<JSAMPROW>(samples.data() + c.next_scanline * stride);
        jpeg_write_scanlines(&c, &row, 1);
    }
    jpeg_finish_compress(&c);
    jpeg_destroy_compress(&c);
    QByteArray out(reinterpret_cast<const char*>(buf), qsizetype(size));
    std::free(buf);
    return out;
}

QByteArray exifWithOrientation(int orientation)
{
    const char tiff[] = {'E', 'x', 'i', 'f', 0, 0, 'I', 'I', '*', 0, 8, 0, 0, 0, 1, 0,
                         0x12, 0x01, 3, 0, 1, 0, 0, 0, char(orientation), 0, 0, 0, 0, 0, 0, 0};
    return QByteArray(tiff, sizeof tiff);
}

} // namespace testsupport
