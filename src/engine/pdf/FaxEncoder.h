#pragma once
#include <string>

// CCITT Group 4 (T.6) coding of a bilevel picture, as PDF's CCITTFaxDecode
// with K -1 reads it, by libtiff's codec: scanned text pages come out a
// third smaller than under Flate.
class FaxEncoder {
public:
    // `bits`: `height` rows of `rowBytes` bytes, the top row first, one bit
    // a pixel, the first pixel in the highest bit, 1 for black. The coded
    // data in *out; false when libtiff could not code it.
    static bool EncodeG4(const unsigned char* bits, int width, int height, int rowBytes, std::string* out);
};
