// libjxl loaded with the first JPEG XL picture, not at every start: it
// brings libhwy, whose start-up code measures its timer in a busy loop,
// about 4 ms of CPU at each start of every program that links it, and
// libbrotli (docs/benchmarks.md). These are the calls JxlReader makes; a
// picture's kind is told by its signature without the library.
#include <jxl/decode.h>

#include "platform/OnDemand.h"

VELUNOR_ON_DEMAND_LIBRARY(VELUNOR_JXL_SONAME)

extern "C" {

JxlDecoder* JxlDecoderCreate(const JxlMemoryManager* memoryManager)
{
    VELUNOR_ON_DEMAND(JxlDecoderCreate);
    return fn ? fn(memoryManager) : nullptr;
}

void JxlDecoderDestroy(JxlDecoder* dec)
{
    VELUNOR_ON_DEMAND(JxlDecoderDestroy);
    if (fn)
        fn(dec);
}

// A decoder exists only where the library was loaded: the calls below are
// never reached without it, and answer an error if they were.
JxlDecoderStatus JxlDecoderSubscribeEvents(JxlDecoder* dec, int eventsWanted)
{
    VELUNOR_ON_DEMAND(JxlDecoderSubscribeEvents);
    return fn ? fn(dec, eventsWanted) : JXL_DEC_ERROR;
}

JxlDecoderStatus JxlDecoderSetUnpremultiplyAlpha(JxlDecoder* dec, JXL_BOOL unpremulAlpha)
{
    VELUNOR_ON_DEMAND(JxlDecoderSetUnpremultiplyAlpha);
    return fn ? fn(dec, unpremulAlpha) : JXL_DEC_ERROR;
}

JxlDecoderStatus JxlDecoderSetInput(JxlDecoder* dec, const uint8_t* data, size_t size)
{
    VELUNOR_ON_DEMAND(JxlDecoderSetInput);
    return fn ? fn(dec, data, size) : JXL_DEC_ERROR;
}

JxlDecoderStatus JxlDecoderProcessInput(JxlDecoder* dec)
{
    VELUNOR_ON_DEMAND(JxlDecoderProcessInput);
    return fn ? fn(dec) : JXL_DEC_ERROR;
}

JxlDecoderStatus JxlDecoderGetBasicInfo(const JxlDecoder* dec, JxlBasicInfo* info)
{
    VELUNOR_ON_DEMAND(JxlDecoderGetBasicInfo);
    return fn ? fn(dec, info) : JXL_DEC_ERROR;
}

JxlDecoderStatus JxlDecoderGetColorAsEncodedProfile(const JxlDecoder* dec, const JxlPixelFormat* unusedFormat,
                                                    JxlColorProfileTarget target, JxlColorEncoding* encoding)
{
    VELUNOR_ON_DEMAND(JxlDecoderGetColorAsEncodedProfile);
    return fn ? fn(dec, unusedFormat, target, encoding) : JXL_DEC_ERROR;
}

JxlDecoderStatus JxlDecoderSetPreferredColorProfile(JxlDecoder* dec, const JxlColorEncoding* encoding)
{
    VELUNOR_ON_DEMAND(JxlDecoderSetPreferredColorProfile);
    return fn ? fn(dec, encoding) : JXL_DEC_ERROR;
}

JxlDecoderStatus JxlDecoderGetICCProfileSize(const JxlDecoder* dec, const JxlPixelFormat* unusedFormat,
                                             JxlColorProfileTarget target, size_t* size)
{
    VELUNOR_ON_DEMAND(JxlDecoderGetICCProfileSize);
    return fn ? fn(dec, unusedFormat, target, size) : JXL_DEC_ERROR;
}

JxlDecoderStatus JxlDecoderGetColorAsICCProfile(const JxlDecoder* dec, const JxlPixelFormat* unusedFormat,
                                                JxlColorProfileTarget target, uint8_t* profile, size_t size)
{
    VELUNOR_ON_DEMAND(JxlDecoderGetColorAsICCProfile);
    return fn ? fn(dec, unusedFormat, target, profile, size) : JXL_DEC_ERROR;
}

JxlDecoderStatus JxlDecoderImageOutBufferSize(const JxlDecoder* dec, const JxlPixelFormat* format, size_t* size)
{
    VELUNOR_ON_DEMAND(JxlDecoderImageOutBufferSize);
    return fn ? fn(dec, format, size) : JXL_DEC_ERROR;
}

JxlDecoderStatus JxlDecoderSetImageOutBuffer(JxlDecoder* dec, const JxlPixelFormat* format, void* buffer, size_t size)
{
    VELUNOR_ON_DEMAND(JxlDecoderSetImageOutBuffer);
    return fn ? fn(dec, format, buffer, size) : JXL_DEC_ERROR;
}

} // extern "C"
