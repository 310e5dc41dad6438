#include "engine/picture/JxlReader.h"

#include "engine/picture/PictureLimits.h"
#include "engine/picture/PictureTraits.h"

#include <jxl/decode.h>
#include <jxl/decode_cxx.h>

#include <algorithm>
#include <vector>

namespace {

QString cannot(const QString& why) { return QStringLiteral("the file could not be decoded as JPEG XL (%1)").arg(why); }

bool isSrgb(const JxlColorEncoding& c)
{
    return c.color_space != JXL_COLOR_SPACE_XYB && c.color_space != JXL_COLOR_SPACE_UNKNOWN &&
           c.white_point == JXL_WHITE_POINT_D65 && c.transfer_function == JXL_TRANSFER_FUNCTION_SRGB &&
           (c.color_space == JXL_COLOR_SPACE_GRAY || c.primaries == JXL_PRIMARIES_SRGB);
}

} // namespace

bool JxlReader::IsJxl(const QByteArray& head)
{
    // The two signatures of ISO/IEC 18181-2, as libjxl's JxlSignatureCheck
    // tells them, read here so that telling a kind never loads the library:
    // a bare codestream, or the container's signature box.
    static const char container[] = {0, 0, 0, 0x0C, 'J', 'X', 'L', ' ', 0x0D, 0x0A, char(0x87), 0x0A};
    return head.startsWith(QByteArray::fromRawData("\xFF\x0A", 2)) ||
           head.startsWith(QByteArray::fromRawData(container, sizeof container));
}

FiBitmap JxlReader::Read(const QByteArray& file, QString* error)
{
    JxlDecoderPtr dec = JxlDecoderMake(nullptr);
    if (!dec) {
        *error = QStringLiteral("libjxl could not be loaded, or memory ran out");
        return nullptr;
    }
    if (JxlDecoderSubscribeEvents(dec.get(), JXL_DEC_BASIC_INFO | JXL_DEC_COLOR_ENCODING | JXL_DEC_FULL_IMAGE) !=
            JXL_DEC_SUCCESS ||
        JxlDecoderSetUnpremultiplyAlpha(dec.get(), JXL_TRUE) != JXL_DEC_SUCCESS ||
        JxlDecoderSetInput(dec.get(), reinterpret_cast<const uint8_t*>(file.constData()), size_t(file.size())) !=
            JXL_DEC_SUCCESS) {
        *error = cannot(QStringLiteral("the decoder could not be set up"));
        return nullptr;
    }
    // The input is left open: a file cut short then asks for more, which
    // says "incomplete", rather than failing as damaged data.

    JxlBasicInfo info{};
    JxlPixelFormat format{3, JXL_TYPE_UINT8, JXL_NATIVE_ENDIAN, 0};
    qint64 w = 0, h = 0;
    QByteArray icc;
    std::vector<uint8_t> pixels;
    // Each event comes once; a decoder that kept answering something we did
    // not ask for would otherwise hold the helper until its time limit.
    for (int events = 0;; ++events) {
        if (events > 64) {
            *error = cannot(QStringLiteral("the decoder did not come to the picture"));
            return nullptr;
        }
        const JxlDecoderStatus status = JxlDecoderProcessInput(dec.get());
        if (status == JXL_DEC_ERROR) {
            *error = cannot(QStringLiteral("the data is damaged"));
            return nullptr;
        }
        if (status == JXL_DEC_NEED_MORE_INPUT) {
            *error = QStringLiteral("the file is incomplete (the JPEG XL data ends too soon)");
            return nullptr;
        }
        if (status == JXL_DEC_BASIC_INFO) {
            if (JxlDecoderGetBasicInfo(dec.get(), &info) != JXL_DEC_SUCCESS) {
                *error = cannot(QStringLiteral("its header cannot be read"));
                return nullptr;
            }
            // The decoder turns the picture upright: a quarter turn swaps the sides.
            const bool swapped = info.orientation >= JXL_ORIENT_TRANSPOSE;
            w = swapped ? info.ysize : info.xsize;
            h = swapped ? info.xsize : info.ysize;
            const bool alpha = info.alpha_bits > 0;
            const bool grey = info.num_color_channels == 1;
            format.num_channels = grey && !alpha ? 1 : alpha ? 4 : 3;
            // Checked before any pixel: the decoder's working memory (about
            // 4 bytes a pixel beside its output, measured: 128 MB for a
            // 12-megapixel photo, counted here as 204 MB) and 4 more for
            // every extra channel (alpha, depth, spot colours...), its 8-bit
            // output, our copy and the page's copies.
            const int out = int(format.num_channels);
            const int extra = int(qMin<uint32_t>(info.num_extra_channels, 4096));
            if (!PictureLimits::WithinLimit(w, h, error) ||
                !PictureLimits::WithinMemory(w, h, out * 8, 4 + 4 * extra + out + 7, error))
                return nullptr;
        } else if (status == JXL_DEC_COLOR_ENCODING) {
            // A lossy (XYB) picture of an ICC original comes out in linear
            // light, which 8 bits would band: it is asked for with the sRGB
            // curve instead, in the same primaries.
            JxlColorEncoding data{};
            if (!info.uses_original_profile &&
                JxlDecoderGetColorAsEncodedProfile(dec.get(), nullptr, JXL_COLOR_PROFILE_TARGET_DATA, &data) ==
                    JXL_DEC_SUCCESS &&
                data.transfer_function == JXL_TRANSFER_FUNCTION_LINEAR) {
                data.transfer_function = JXL_TRANSFER_FUNCTION_SRGB;
                JxlDecoderSetPreferredColorProfile(dec.get(), &data);
            }
            JxlColorEncoding encoded;
            const bool plainSrgb = JxlDecoderGetColorAsEncodedProfile(dec.get(), nullptr, JXL_COLOR_PROFILE_TARGET_DATA,
                                                                      &encoded) == JXL_DEC_SUCCESS &&
                                   isSrgb(encoded);
            size_t size = 0;
            if (!plainSrgb &&
                JxlDecoderGetICCProfileSize(dec.get(), nullptr, JXL_COLOR_PROFILE_TARGET_DATA, &size) == JXL_DEC_SUCCESS &&
                size > 0 && size < (size_t(1) << 26)) {
                icc.resize(qsizetype(size));
                if (JxlDecoderGetColorAsICCProfile(dec.get(), nullptr, JXL_COLOR_PROFILE_TARGET_DATA,
                                                   reinterpret_cast<uint8_t*>(icc.data()), size) != JXL_DEC_SUCCESS)
                    icc.clear();
            }
        } else if (status == JXL_DEC_NEED_IMAGE_OUT_BUFFER) {
            size_t size = 0;
            if (JxlDecoderImageOutBufferSize(dec.get(), &format, &size) != JXL_DEC_SUCCESS ||
                size != size_t(w) * size_t(h) * format.num_channels) {
                *error = cannot(QStringLiteral("its picture size is inconsistent"));
                return nullptr;
            }
            pixels.resize(size);
            if (JxlDecoderSetImageOutBuffer(dec.get(), &format, pixels.data(), size) != JXL_DEC_SUCCESS) {
                *error = cannot(QStringLiteral("the decoder refused the picture buffer"));
                return nullptr;
            }
        } else if (status == JXL_DEC_FULL_IMAGE) {
            break; // the first frame is the picture
        } else if (status == JXL_DEC_SUCCESS) {
            *error = cannot(QStringLiteral("it holds no picture"));
            return nullptr;
        }
    }
    if (pixels.empty()) {
        *error = cannot(QStringLiteral("it holds no picture"));
        return nullptr;
    }

    const unsigned channels = format.num_channels;
    FiBitmap dib(FreeImage_Allocate(int(w), int(h), int(channels * 8)));
    if (!dib) {
        *error = QStringLiteral("out of memory");
        return nullptr;
    }
    if (channels == 1) {
        RGBQUAD* pal = FreeImage_GetPalette(dib.get());
        for (int i = 0; i < 256; ++i)
            pal[i] = RGBQUAD{BYTE(i), BYTE(i), BYTE(i), 0};
    }
    for (qint64 y = 0; y < h; ++y) {
        const uint8_t* src = pixels.data() + size_t(y) * size_t(w) * channels;
        BYTE* dst = FreeImage_GetScanLine(dib.get(), int(h - 1 - y));
        if (channels == 1) {
            std::copy(src, src + w, dst);
            continue;
        }
        for (qint64 x = 0; x < w; ++x, src += channels, dst += channels) {
            dst[FI_RGBA_RED] = src[0];
            dst[FI_RGBA_GREEN] = src[1];
            dst[FI_RGBA_BLUE] = src[2];
            if (channels == 4)
                dst[FI_RGBA_ALPHA] = src[3];
        }
    }
    if (!icc.isEmpty())
        FreeImage_CreateICCProfile(dib.get(), icc.data(), long(icc.size()));
    // XYB coding is JPEG XL's lossy one; lossless pictures keep their own colours.
    if (!info.uses_original_profile)
        PictureTraits::MarkLossy(dib.get());
    return dib;
}
