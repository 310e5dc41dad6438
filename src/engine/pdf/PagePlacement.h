#pragma once
#include <array>
#include <string>

// Where one picture lies on its page, as the drawing layer needs it: the
// page's size and the picture's rectangle in points (1/72 inch, from the
// page's bottom-left corner, as PDF measures), and the pixels the page's
// image is coded at. Made by PageLayout::Place.
struct PagePlacement {
    struct Rect {
        double x = 0, y = 0, width = 0, height = 0;
    };
    // A PDF matrix [a b c d e f].
    using Matrix = std::array<double, 6>;

    double pageWidth = 0; // points
    double pageHeight = 0;
    Rect picture; // one scale for x and y: the picture's own proportions
    int pixelWidth = 0; // the upright picture as decoded
    int pixelHeight = 0;
    int codedWidth = 0; // the page's image: the picture's pixels, or fewer
    int codedHeight = 0;
    // The designed page: the picture's own size at 200 pixels per inch,
    // drawn by the designed calls (page in tenths of a millimetre).
    bool designed = false;

    // The picture is resampled to codedWidth x codedHeight before coding.
    bool Resampled() const { return codedWidth != pixelWidth || codedHeight != pixelHeight; }

    // Maps an image's unit square onto the picture's rectangle.
    Matrix PictureMatrix() const { return {picture.width, 0, 0, picture.height, picture.x, picture.y}; }
    // The matrix as a content-stream operator: "a b c d e f cm".
    static std::string Cm(const Matrix& m);
};
