#pragma once
#include "engine/picture/KindReader.h"

#include <QByteArray>

// The little colour management the pages need, through lcms2.
class ColourProfile {
public:
    // Colour components of the pictures an embedded ICC profile describes:
    // 3 for an RGB, 1 for a grey and 4 for a CMYK input, display or output
    // profile, 0 for any other kind and for bytes lcms2 cannot read (such a
    // profile is not passed on).
    static int Channels(const QByteArray& icc);

    // A CMYK picture (FreeImage's 32-bit CMYK, 0 = no ink) converted through
    // its embedded profile to 24-bit sRGB. Null when it has no usable CMYK
    // profile; the caller then converts it plainly.
    static FiBitmap CmykToSrgb(FIBITMAP* cmyk);
};
