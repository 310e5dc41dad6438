#pragma once
#include <array>
#include <string>

// Where a page's image goes: the `cm` matrix that maps the image's unit
// square onto a placement rectangle, turned and mirrored by an Exif
// orientation, so that a picture stored on its side or mirrored shows
// upright without touching its pixels.
class ImageMatrix {
public:
    // In points, PDF's way: origin at the bottom left, y upwards.
    struct Rect {
        double x, y, width, height;
    };
    using Matrix = std::array<double, 6>;

    // The operands a b c d e f of `cm` that draw a stored image upright
    // over `place`; orientation 1..8 as Exif numbers them (else 1).
    static Matrix Upright(const Rect& place, int orientation);
    // `placed` (a matrix that maps the unit square onto the picture's place)
    // with the turn of an Exif orientation put first.
    static Matrix Turned(const Matrix& placed, int orientation);
};
