// libheif loaded with the first HEIC, HEIF or AVIF picture, not at every
// start: with it come libde265, dav1d, libaom and x265, whose relocations
// and start-up code (libde265 builds its tables at load) cost every program
// that links them milliseconds at each start (docs/benchmarks.md). These
// are the calls HeifReader makes.
#include <libheif/heif.h>

#include "platform/OnDemand.h"

VELUNOR_ON_DEMAND_LIBRARY(VELUNOR_HEIF_SONAME)

namespace {

heif_error notLoaded()
{
    return {heif_error_Plugin_loading_error, heif_suberror_Unspecified, "libheif (" VELUNOR_HEIF_SONAME ") could not be loaded"};
}

} // namespace

extern "C" {

heif_context* heif_context_alloc(void)
{
    VELUNOR_FORWARD(heif_context_alloc, nullptr);
}

void heif_context_free(heif_context* ctx)
{
    VELUNOR_FORWARD_VOID(heif_context_free, ctx);
}

void heif_context_set_max_decoding_threads(heif_context* ctx, int maxThreads)
{
    VELUNOR_FORWARD_VOID(heif_context_set_max_decoding_threads, ctx, maxThreads);
}

heif_error heif_context_read_from_memory_without_copy(heif_context* ctx, const void* mem, size_t size,
                                                      const heif_reading_options* options)
{
    VELUNOR_FORWARD(heif_context_read_from_memory_without_copy, notLoaded(), ctx, mem, size, options);
}

heif_error heif_context_get_primary_image_handle(heif_context* ctx, heif_image_handle** handle)
{
    VELUNOR_FORWARD(heif_context_get_primary_image_handle, notLoaded(), ctx, handle);
}

void heif_image_handle_release(const heif_image_handle* handle)
{
    VELUNOR_FORWARD_VOID(heif_image_handle_release, handle);
}

int heif_image_handle_has_alpha_channel(const heif_image_handle* handle)
{
    VELUNOR_FORWARD(heif_image_handle_has_alpha_channel, 0, handle);
}

int heif_image_handle_get_width(const heif_image_handle* handle)
{
    VELUNOR_FORWARD(heif_image_handle_get_width, 0, handle);
}

int heif_image_handle_get_height(const heif_image_handle* handle)
{
    VELUNOR_FORWARD(heif_image_handle_get_height, 0, handle);
}

int heif_image_handle_get_luma_bits_per_pixel(const heif_image_handle* handle)
{
    VELUNOR_FORWARD(heif_image_handle_get_luma_bits_per_pixel, -1, handle);
}

heif_color_profile_type heif_image_handle_get_color_profile_type(const heif_image_handle* handle)
{
    VELUNOR_FORWARD(heif_image_handle_get_color_profile_type, heif_color_profile_type_not_present, handle);
}

size_t heif_image_handle_get_raw_color_profile_size(const heif_image_handle* handle)
{
    VELUNOR_FORWARD(heif_image_handle_get_raw_color_profile_size, 0, handle);
}

heif_error heif_image_handle_get_raw_color_profile(const heif_image_handle* handle, void* outData)
{
    VELUNOR_FORWARD(heif_image_handle_get_raw_color_profile, notLoaded(), handle, outData);
}

heif_decoding_options* heif_decoding_options_alloc()
{
    VELUNOR_FORWARD(heif_decoding_options_alloc, nullptr);
}

void heif_decoding_options_free(heif_decoding_options* options)
{
    VELUNOR_FORWARD_VOID(heif_decoding_options_free, options);
}

heif_error heif_decode_image(const heif_image_handle* handle, heif_image** out, heif_colorspace colorspace,
                             heif_chroma chroma, const heif_decoding_options* options)
{
    VELUNOR_FORWARD(heif_decode_image, notLoaded(), handle, out, colorspace, chroma, options);
}

void heif_image_release(const heif_image* image)
{
    VELUNOR_FORWARD_VOID(heif_image_release, image);
}

int heif_image_get_width(const heif_image* image, heif_channel channel)
{
    VELUNOR_FORWARD(heif_image_get_width, -1, image, channel);
}

int heif_image_get_height(const heif_image* image, heif_channel channel)
{
    VELUNOR_FORWARD(heif_image_get_height, -1, image, channel);
}

int heif_image_get_bits_per_pixel_range(const heif_image* image, heif_channel channel)
{
    VELUNOR_FORWARD(heif_image_get_bits_per_pixel_range, -1, image, channel);
}

const uint8_t* heif_image_get_plane_readonly(const heif_image* image, heif_channel channel, int* outStride)
{
    VELUNOR_FORWARD(heif_image_get_plane_readonly, nullptr, image, channel, outStride);
}

} // extern "C"
