#pragma once

#include "engine/picture/PictureTraits.h"

#include <qpdf/QPDF.hh>
#include <qpdf/QPDFObjectHandle.hh>

// A JPEG picture's own coded data as the page's image (DCTDecode), where
// re-coding cannot make the page better. The page maker's temporary bitmap
// and drawing call stay as they are: the decode step names the JPEG in the
// bitmap's traits after decoding it in full without a warning, and the
// drawing layer stores the JPEG's bytes instead of coding the bitmap anew.
class JpegPassThrough {
public:
    // What the page asks of its picture.
    struct Ask {
        int compression = 2; // property 31: 0 (lossless for all) is never given a JPEG
        int quality = 75; // property 45
        // The page's picture is drawn resampled (fewer pixels than it has):
        // its own data no longer stands for it.
        bool resampled = false;
    };

    // Whether the page takes the source's own data, by what the decode step
    // learnt: the quality asked is at or above the picture's own, and the
    // picture is not resampled.
    static bool Wanted(const PictureTraits::JpegSource& source, const Ask& ask);

    // The image XObject holding the source's data, to be drawn with
    // ImageMatrix::Upright at the source's orientation; an uninitialised
    // handle when the page must be coded from its bitmap (not wanted, the
    // file changed since its decode, or the bitmap of bitmapWidth x
    // bitmapHeight is not the whole JPEG turned upright).
    static QPDFObjectHandle Image(QPDF& pdf, const PictureTraits& traits, int bitmapWidth, int bitmapHeight,
                                  const Ask& ask);
};
