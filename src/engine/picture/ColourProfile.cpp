#include "engine/picture/ColourProfile.h"

#include <lcms2.h>

#include <memory>

namespace {

struct CloseProfile {
    void operator()(void* p) const { cmsCloseProfile(p); }
};
using Profile = std::unique_ptr<void, CloseProfile>;

struct DeleteTransform {
    void operator()(void* t) const { cmsDeleteTransform(t); }
};
using Transform = std::unique_ptr<void, DeleteTransform>;

Profile open(const void* data, size_t size)
{
    if (!data || size < 128 || size > 0x7FFFFFFF)
        return nullptr;
    return Profile(cmsOpenProfileFromMem(data, cmsUInt32Number(size)));
}

bool picturesProfile(cmsHPROFILE p)
{
    const cmsProfileClassSignature kind = cmsGetDeviceClass(p);
    return kind == cmsSigInputClass || kind == cmsSigDisplayClass || kind == cmsSigOutputClass ||
           kind == cmsSigColorSpaceClass;
}

} // namespace

int ColourProfile::Channels(const QByteArray& icc)
{
    cmsSetLogErrorHandler(nullptr);
    Profile p = open(icc.constData(), size_t(icc.size()));
    if (!p || !picturesProfile(p.get()))
        return 0;
    // A profile that cannot turn its colours into the connection space
    // would fail in every renderer.
    if (!cmsIsIntentSupported(p.get(), INTENT_PERCEPTUAL, LCMS_USED_AS_INPUT) &&
        !cmsIsIntentSupported(p.get(), INTENT_RELATIVE_COLORIMETRIC, LCMS_USED_AS_INPUT))
        return 0;
    switch (cmsGetColorSpace(p.get())) {
    case cmsSigRgbData: return 3;
    case cmsSigGrayData: return 1;
    case cmsSigCmykData: return 4;
    default: return 0;
    }
}

FiBitmap ColourProfile::CmykToSrgb(FIBITMAP* cmyk)
{
    FIICCPROFILE* icc = FreeImage_GetICCProfile(cmyk);
    if (!icc || FreeImage_GetBPP(cmyk) != 32)
        return nullptr;
    cmsSetLogErrorHandler(nullptr);
    Profile in = open(icc->data, size_t(icc->size));
    if (!in || !picturesProfile(in.get()) || cmsGetColorSpace(in.get()) != cmsSigCmykData)
        return nullptr;
    Profile out(cmsCreate_sRGBProfile());
    // Relative colorimetric: what PDF renderers use for pictures unless told
    // otherwise, so the page looks as the profile would have it drawn.
    Transform t(cmsCreateTransform(in.get(), TYPE_CMYK_8, out.get(), TYPE_BGR_8, INTENT_RELATIVE_COLORIMETRIC, 0));
    if (!t)
        return nullptr;
    const unsigned w = FreeImage_GetWidth(cmyk), h = FreeImage_GetHeight(cmyk);
    FiBitmap rgb(FreeImage_Allocate(int(w), int(h), 24));
    if (!rgb)
        return nullptr;
    // FreeImage keeps the bytes C, M, Y, K in that order; TYPE_BGR_8 is its
    // byte order for 24-bit pictures.
    for (unsigned y = 0; y < h; ++y)
        cmsDoTransform(t.get(), FreeImage_GetScanLine(cmyk, int(y)), FreeImage_GetScanLine(rgb.get(), int(y)), w);
    FreeImage_SetDotsPerMeterX(rgb.get(), FreeImage_GetDotsPerMeterX(cmyk));
    FreeImage_SetDotsPerMeterY(rgb.get(), FreeImage_GetDotsPerMeterY(cmyk));
    return rgb;
}
