#pragma once
#include <QByteArray>

#include <cstdint>
#include <utility>
#include <vector>

// JPEG test files made with libjpeg: the codings and colour models that
// cameras, scanners and Adobe's programs write, with the segments around them.
namespace testsupport {

struct JpegRecipe {
    enum class Model { Grey, YCbCr, Rgb, Cmyk, Ycck };
    Model model = Model::YCbCr;
    int quality = 75;
    bool progressive = false;
    bool arithmetic = false;
    bool withoutAdobeMarker = false; // drops the APP14 libjpeg writes for RGB, CMYK and YCCK
    int lumaH = 2, lumaV = 2; // sampling of the first component (YCbCr, YCCK)
    QByteArray icc; // as APP2 ICC_PROFILE chunks, as libjpeg splits it
    std::vector<std::pair<int, QByteArray>> segments; // marker and payload, after libjpeg's own
};

// w x h pixels of `samples` (1, 3 or 4 bytes a pixel: grey, R G B, or the
// CMYK values to store) coded as the recipe says.
QByteArray makeJpeg(int w, int h, const std::vector<uint8_t>& samples, const JpegRecipe& recipe);

// The payload of an Exif APP1 segment holding one Orientation tag.
QByteArray exifWithOrientation(int orientation);

} // namespace testsupport
