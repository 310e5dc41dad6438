#pragma once
#include <optional>

// Where a picture lands when it is fitted into a surface, keeping its aspect
// ratio and centring it along the direction with room to spare. All values
// in the same unit (twips).
struct PictureFit {
    int X = 0;
    int Y = 0;
    int W = 0;
    int H = 0;
    bool operator==(const PictureFit&) const = default;
};

// Nearest whole number, halves to the even neighbour (2.5 -> 2, 3.5 -> 4).
int NearestEven(double v);

// The fit of a pw x ph picture in a bw x bh surface; nothing when either has
// no area (there is nothing sensible to paint then).
std::optional<PictureFit> FitPicture(int pw, int ph, int bw, int bh);
