#pragma once
#include <QString>

// Straightens a page scanned or photographed askew: Leptonica's skew finder
// measures how far its lines of text run off the level, and a page more
// than kMinDegrees off is resampled level, its size kept, the corners
// brought in white. The one step that codes a picture anew: the temporary
// bitmap is rewritten, and a JPEG source beside it is no longer its pixels.
class PageStraightener {
public:
    static constexpr double kMinDegrees = 0.5;

    // Straightens the temporary bitmap `bitmap` of width x height pixels in
    // place when it is askew; *degrees, the turn it was given (0: none).
    // False with *error when it could not be read or written back.
    static bool Straighten(const QString& bitmap, int width, int height, double* degrees, QString* error);
};
