#include "engine/picture/JpegHeader.h"
#include "engine/picture/JpegErrorManager.h"

#include <csetjmp>
#include <cstdio>

#include <jpeglib.h>

namespace {

// The libjpeg part on its own: nothing here may need a destructor, because
// an error leaves it by longjmp.
bool readHeader(jpeg_decompress_struct* cinfo, JpegErrorManager* err, const unsigned char* data, unsigned long size)
{
    cinfo->err = err->Install();
    if (setjmp(err->jump)) {
        jpeg_destroy_decompress(cinfo);
        return false;
    }
    jpeg_create_decompress(cinfo);
    jpeg_mem_src(cinfo, data, size);
    jpeg_read_header(cinfo, TRUE);
    return true;
}

} // namespace

bool JpegHeader::Read(const QByteArray& jpeg, QString* error)
{
    jpeg_decompress_struct cinfo{};
    JpegErrorManager err{};
    if (jpeg.isEmpty() || !readHeader(&cinfo, &err, reinterpret_cast<const unsigned char*>(jpeg.constData()),
                                      (unsigned long)(jpeg.size()))) {
        if (error)
            *error = QStringLiteral("the JPEG header cannot be read (%1)")
                         .arg(jpeg.isEmpty() ? QStringLiteral("no data") : QString::fromLocal8Bit(err.message));
        return false;
    }
    width = cinfo.image_width;
    height = cinfo.image_height;
    components = cinfo.num_components;
    jpeg_destroy_decompress(&cinfo);
    return true;
}
