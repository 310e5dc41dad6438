#pragma once
#include "engine/picture/KindReader.h"

#include <QString>

// FreeImage's bitmap checked against what the file itself states, where
// FreeImage is known to leave it out: a PNG's eXIf orientation, and a GIF
// frame reaching past the logical screen, which is clipped to the screen as
// browsers show it.
class DecodedCheck {
public:
    // The bitmap as the file states it; null with *error when it cannot be
    // made so.
    static FiBitmap Checked(FiBitmap dib, int format, const QString& path, QString* error);
};
