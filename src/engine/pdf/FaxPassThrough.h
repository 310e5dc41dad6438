#pragma once

#include "engine/picture/PictureTraits.h"

#include <string>

// A bilevel TIFF page's own CCITT Group 4 data as the page's image, instead
// of coding its bitmap anew: taken only where PDF's CCITTFaxDecode can read
// it as it stands (one strip, bits in the order PDF reads them, no
// uncompressed mode) and where libtiff decodes it, without a word of
// complaint, to exactly the bitmap's pixels. Anything else, and the bitmap
// is coded as before.
class FaxPassThrough {
public:
    // `bits`: the bitmap's `height` rows of `rowBytes` bytes, the top row
    // first, one bit a pixel (its palette index), the first pixel in the
    // highest bit. The page's coded strip in *coded, and in *inverted
    // whether its decoded 1s (the coded black) are the bitmap's 0s.
    static bool Strip(const PictureTraits::FaxSource& source, const unsigned char* bits, int width, int height,
                      int rowBytes, std::string* coded, bool* inverted);
};
