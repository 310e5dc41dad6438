#pragma once
#include <QByteArray>
#include <QString>

// What a HEIF or AVIF file's boxes say of its primary picture, read before
// libheif sees the file. A grid's declared size must be what its tiles make,
// agree with the picture's size box, and lie within the size limits: libheif
// takes the grid's word alone and allocates it whole before the first tile,
// so a file of two kilobytes could ask for gigabytes. A layered picture
// (AV1 layers: a1lx, lsel) is refused by name; libheif gives no whole
// picture of it.
class HeifBoxes {
public:
    // False, with *error in words a user can act on, when the grid and its
    // tiles or its size box disagree, the grid is over the limits or the
    // picture is layered. True for a sound grid, a plain picture, and boxes
    // that cannot be read here (libheif then says what is wrong).
    static bool Check(const QByteArray& file, const char* kind, QString* error);
};
