#include "engine/picture/HeifReader.h"

#include "engine/picture/HeifBoxes.h"
#include "engine/picture/PictureTraits.h"
#include "engine/picture/PictureLimits.h"

#include <libheif/heif.h>

#include <cstring>
#include <memory>

namespace {

struct HeifFree {
    void operator()(heif_context* c) const { heif_context_free(c); }
    void operator()(heif_image_handle* h) const { heif_image_handle_release(h); }
    void operator()(heif_image* i) const { heif_image_release(i); }
    void operator()(heif_decoding_options* o) const { heif_decoding_options_free(o); }
};
template <typename T> using HeifPtr = std::unique_ptr<T, HeifFree>;

bool failed(const heif_error& e, const char* what, QString* error)
{
    if (e.code == heif_error_Ok)
        return false;
    // libheif files its own limits under memory errors ("Memory allocation
    // error: Security limit exceeded: Image size ..."): said as the limit alone.
    if (e.subcode == heif_suberror_Security_limit_exceeded) {
        QString limit = QString::fromUtf8(e.message ? e.message : "").trimmed();
        limit = limit.mid(limit.lastIndexOf(QLatin1String(": ")) + 1).trimmed();
        if (!limit.isEmpty())
            limit[0] = limit[0].toLower();
        *error = QStringLiteral("the %1 file goes beyond a limit of libheif, its decoder: %2").arg(QLatin1String(what), limit);
        return true;
    }
    *error = QStringLiteral("the file could not be decoded as %1 (%2)")
                 .arg(QLatin1String(what), QString::fromUtf8(e.message ? e.message : "unknown error").trimmed());
    return true;
}

// Brands of still pictures libheif decodes (HEVC and AV1 coded).
bool isStillBrand(const char* b)
{
    static const char* const brands[] = {"heic", "heix", "heim", "heis", "mif1", "avif", "msf1", "hevc", "hevx", "avis"};
    for (const char* s : brands) {
        if (std::memcmp(b, s, 4) == 0)
            return true;
    }
    return false;
}

} // namespace

bool HeifReader::IsHeif(const QByteArray& head)
{
    if (head.size() < 16 || std::memcmp(head.constData() + 4, "ftyp", 4) != 0)
        return false;
    // The major brand, or one of the compatible brands the ftyp box lists.
    const auto* p = reinterpret_cast<const unsigned char*>(head.constData());
    const quint32 boxSize = quint32(p[0]) << 24 | quint32(p[1]) << 16 | quint32(p[2]) << 8 | p[3];
    if (isStillBrand(head.constData() + 8))
        return true;
    for (qsizetype at = 16; at + 4 <= qsizetype(boxSize) && at + 4 <= head.size(); at += 4) {
        if (isStillBrand(head.constData() + at))
            return true;
    }
    return false;
}

FiBitmap HeifReader::Read(const QByteArray& file, QString* error)
{
    const char* kind = file.size() >= 12 && std::memcmp(file.constData() + 8, "avi", 3) == 0 ? "AVIF" : "HEIF";
    if (!HeifBoxes::Check(file, kind, error))
        return nullptr;
    HeifPtr<heif_context> ctx(heif_context_alloc());
    if (!ctx) {
        *error = QStringLiteral("libheif could not be loaded, or memory ran out");
        return nullptr;
    }
    // Tiles one after another on this thread: libheif's tile threads
    // deadlock under the helper's address limit, and hold a tile each.
    heif_context_set_max_decoding_threads(ctx.get(), 0);
    if (failed(heif_context_read_from_memory_without_copy(ctx.get(), file.constData(), size_t(file.size()), nullptr),
               kind, error))
        return nullptr;
    heif_image_handle* raw = nullptr;
    if (failed(heif_context_get_primary_image_handle(ctx.get(), &raw), kind, error))
        return nullptr;
    HeifPtr<heif_image_handle> handle(raw);

    // From the boxes alone: the size as shown (after a quarter turn) and
    // what the decoding holds at once per pixel, all before any pixel.
    const qint64 w = heif_image_handle_get_width(handle.get()), h = heif_image_handle_get_height(handle.get());
    const bool alpha = heif_image_handle_has_alpha_channel(handle.get()) != 0;
    const int depth = heif_image_handle_get_luma_bits_per_pixel(handle.get());
    const int sampleBytes = depth > 8 ? 2 : 1;
    const int channels = alpha ? 4 : 3;
    if (w <= 0 || h <= 0) {
        *error = QStringLiteral("the file could not be decoded as %1 (it gives no picture size)").arg(QLatin1String(kind));
        return nullptr;
    }
    // The decoded planes (4:4:4 at worst) and the decoder's own frame, the
    // interleaved picture libheif converts them to (at their depth, then 8
    // bits), then our copy and the page's copies after it. Measured on a
    // 12-megapixel photo: 145 MB for an 8-bit HEIC, 329 MB for a 10-bit AVIF
    // (counted here: 228 and 372 MB).
    const int decoderBytes = 3 * channels * sampleBytes + (sampleBytes > 1 ? channels : 0);
    if (!PictureLimits::WithinLimit(w, h, error) || !PictureLimits::WithinMemory(w, h, channels * 8, decoderBytes + 7, error))
        return nullptr;

    HeifPtr<heif_decoding_options> options(heif_decoding_options_alloc());
    heif_image* decodedRaw = nullptr;
    // libheif turns and mirrors the picture as its irot and imir boxes say,
    // and brings deeper samples to 8 bits for the interleaved forms.
    if (failed(heif_decode_image(handle.get(), &decodedRaw, heif_colorspace_RGB,
                                 alpha ? heif_chroma_interleaved_RGBA : heif_chroma_interleaved_RGB, options.get()),
               kind, error))
        return nullptr;
    HeifPtr<heif_image> decoded(decodedRaw);
    const int outW = heif_image_get_width(decoded.get(), heif_channel_interleaved);
    const int outH = heif_image_get_height(decoded.get(), heif_channel_interleaved);
    int stride = 0;
    const uint8_t* pixels = heif_image_get_plane_readonly(decoded.get(), heif_channel_interleaved, &stride);
    if (!pixels || outW <= 0 || outH <= 0 || qint64(outW) * outH > w * h * 4 ||
        heif_image_get_bits_per_pixel_range(decoded.get(), heif_channel_interleaved) != 8) {
        *error = QStringLiteral("the %1 file is damaged: its decoded picture (%2 x %3 pixels) does not match its "
                                "size box (%4 x %5)")
                     .arg(QLatin1String(kind))
                     .arg(outW)
                     .arg(outH)
                     .arg(w)
                     .arg(h);
        return nullptr;
    }
    FiBitmap dib(FreeImage_Allocate(outW, outH, channels * 8));
    if (!dib) {
        *error = QStringLiteral("out of memory");
        return nullptr;
    }
    // libheif's rows run top down in R, G, B(, A) order; FreeImage's bottom
    // up in its own channel order.
    for (int y = 0; y < outH; ++y) {
        const uint8_t* src = pixels + qsizetype(y) * stride;
        BYTE* dst = FreeImage_GetScanLine(dib.get(), outH - 1 - y);
        for (int x = 0; x < outW; ++x, src += channels, dst += channels) {
            dst[FI_RGBA_RED] = src[0];
            dst[FI_RGBA_GREEN] = src[1];
            dst[FI_RGBA_BLUE] = src[2];
            if (alpha)
                dst[FI_RGBA_ALPHA] = src[3];
        }
    }
    PictureTraits::MarkLossy(dib.get());
    // An ICC profile travels with the picture; nclx colour is sRGB's.
    const heif_color_profile_type profile = heif_image_handle_get_color_profile_type(handle.get());
    if (profile == heif_color_profile_type_prof || profile == heif_color_profile_type_rICC) {
        const size_t size = heif_image_handle_get_raw_color_profile_size(handle.get());
        if (size > 0 && size < (size_t(1) << 26)) {
            QByteArray icc(qsizetype(size), Qt::Uninitialized);
            if (heif_image_handle_get_raw_color_profile(handle.get(), icc.data()).code == heif_error_Ok)
                FreeImage_CreateICCProfile(dib.get(), icc.data(), long(icc.size()));
        }
    }
    return dib;
}
