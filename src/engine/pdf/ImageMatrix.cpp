#include "engine/pdf/ImageMatrix.h"

namespace {

// One coordinate of the upright picture (x rightwards, y downwards, 0..1)
// as the stored picture's column fraction s or row fraction t (from its
// top), or one minus it.
struct Axis {
    bool fromRow;
    bool reversed;
};

// Exif's eight orientations: which stored axis each upright axis runs along.
const Axis kShown[9][2] = {
    {{false, false}, {true, false}}, // (not an orientation: as 1)
    {{false, false}, {true, false}}, // 1 as stored
    {{false, true}, {true, false}},  // 2 mirrored
    {{false, true}, {true, true}},   // 3 turned half round
    {{false, false}, {true, true}},  // 4 flipped
    {{true, false}, {false, false}}, // 5 transposed
    {{true, true}, {false, false}},  // 6 turned a quarter clockwise
    {{true, true}, {false, true}},   // 7 transversed
    {{true, false}, {false, true}},  // 8 turned a quarter anticlockwise
};

// The axis in the image's unit square (u rightwards, v upwards, so the
// stored row fraction t is 1 - v): d/du, d/dv and the value at the origin.
struct Linear {
    double du, dv, at0;
};
Linear linear(const Axis& a)
{
    Linear l = a.fromRow ? Linear{0, -1, 1} : Linear{1, 0, 0};
    if (a.reversed)
        l = {-l.du, -l.dv, 1 - l.at0};
    return l;
}

} // namespace

ImageMatrix::Matrix ImageMatrix::Upright(const Rect& place, int orientation)
{
    const Axis* shown = kShown[orientation >= 1 && orientation <= 8 ? orientation : 0];
    const Linear x = linear(shown[0]), y = linear(shown[1]);
    // Page x = place.x + width * x; page y = place.y + height * (1 - y).
    auto clean = [](double v) { return v == 0 ? 0.0 : v; }; // no "-0"
    return {clean(place.width * x.du),  clean(-place.height * y.du), clean(place.width * x.dv),
            clean(-place.height * y.dv), place.x + place.width * x.at0, place.y + place.height * (1 - y.at0)};
}

ImageMatrix::Matrix ImageMatrix::Turned(const Matrix& placed, int orientation)
{
    if (orientation < 2 || orientation > 8)
        return placed;
    const Matrix t = Upright({0, 0, 1, 1}, orientation);
    const Matrix& p = placed;
    return {t[0] * p[0] + t[1] * p[2], t[0] * p[1] + t[1] * p[3], t[2] * p[0] + t[3] * p[2],
            t[2] * p[1] + t[3] * p[3], t[4] * p[0] + t[5] * p[2] + p[4], t[4] * p[1] + t[5] * p[3] + p[5]};
}
