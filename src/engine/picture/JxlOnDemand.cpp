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
    VELUNOR_FORWARD(JxlDecoderCreate, nullptr, memoryManager);
}

void JxlDecoderDestroy(JxlDecoder* dec)
{
    VELUNOR_FORWARD_VOID(JxlDecoderDestroy, dec);
}

// A decoder exists only where the library was loaded: the calls below are
// never reached without it, and answer an error if they were.
JxlDecoderStatus JxlDecoderSubscribeEvents(JxlDecoder* dec, int eventsWanted)
{
    VELUNOR_FORWARD(JxlDecoderSubscribeEvents, JXL_DEC_ERROR, dec, eventsWanted);
}

JxlDecoderStatus JxlDecoderSetUnpremultiplyAlpha(JxlDecoder* dec, JXL_BOOL unpremulAlpha)
{
    VELUNOR_FORWARD(JxlDecoderSetUnpremultiplyAlpha, JXL_DEC_ERROR, dec, unpremulAlpha);
}

JxlDecoderStatus JxlDecoderSetInput(JxlDecoder* dec, const uint8_t* data, size_t size)
{
    VELUNOR_FORWARD(JxlDecoderSetInput, JXL_DEC_ERROR, dec, data, size);
}

JxlDecoderStatus JxlDecoderProcessInput(JxlDecoder* dec)
{
    VELUNOR_FORWARD(JxlDecoderProcessInput, JXL_DEC_ERROR, dec);
}

JxlDecoderStatus JxlDecoderGetBasicInfo(const JxlDecoder* dec, JxlBasicInfo* info)
{
    VELUNOR_FORWARD(JxlDecoderGetBasicInfo, JXL_DEC_ERROR, dec, info);
}

JxlDecoderStatus JxlDecoderGetColorAsEncodedProfile(const JxlDecoder* dec, const JxlPixelFormat* unusedFormat,
                                                    JxlColorProfileTarget target, JxlColorEncoding* encoding)
{
    VELUNOR_FORWARD(JxlDecoderGetColorAsEncodedProfile, JXL_DEC_ERROR, dec, unusedFormat, target, encoding);
}

JxlDecoderStatus JxlDecoderSetPreferredColorProfile(JxlDecoder* dec, const JxlColorEncoding* encoding)
{
    VELUNOR_FORWARD(JxlDecoderSetPreferredColorProfile, JXL_DEC_ERROR, dec, encoding);
}

JxlDecoderStatus JxlDecoderGetICCProfileSize(const JxlDecoder* dec, const JxlPixelFormat* unusedFormat,
                                             JxlColorProfileTarget target, size_t* size)
{
    VELUNOR_FORWARD(JxlDecoderGetICCProfileSize, JXL_DEC_ERROR, dec, unusedFormat, target, size);
}

JxlDecoderStatus JxlDecoderGetColorAsICCProfile(const JxlDecoder* dec, const JxlPixelFormat* unusedFormat,
                                                JxlColorProfileTarget target, uint8_t* profile, size_t size)
{
    VELUNOR_FORWARD(JxlDecoderGetColorAsICCProfile, JXL_DEC_ERROR, dec, unusedFormat, target, profile, size);
}

JxlDecoderStatus JxlDecoderImageOutBufferSize(const JxlDecoder* dec, const JxlPixelFormat* format, size_t* size)
{
    VELUNOR_FORWARD(JxlDecoderImageOutBufferSize, JXL_DEC_ERROR, dec, format, size);
}

JxlDecoderStatus JxlDecoderSetImageOutBuffer(JxlDecoder* dec, const JxlPixelFormat* format, void* buffer, size_t size)
{
    VELUNOR_FORWARD(JxlDecoderSetImageOutBuffer, JXL_DEC_ERROR, dec, format, buffer, size);
}

} // extern "C"
