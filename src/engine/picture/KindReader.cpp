#include "engine/picture/KindReader.h"

#include "engine/picture/PictureBytes.h"

FiBitmap KindReader::Upright(FiBitmap dib, int orientation)
{
    const PictureBytes::Turn turn = PictureBytes::Upright(orientation);
    if (turn.mirror)
        FreeImage_FlipHorizontal(dib.get());
    if (turn.degrees != 0) {
        // FreeImage's turned copy has no colour profile, resolution nor metadata.
        FiBitmap turned(FreeImage_Rotate(dib.get(), turn.degrees));
        const FIICCPROFILE* icc = FreeImage_GetICCProfile(dib.get());
        if (turned && icc && icc->data && icc->size > 0)
            FreeImage_CreateICCProfile(turned.get(), icc->data, icc->size);
        if (turned && icc)
            FreeImage_GetICCProfile(turned.get())->flags = icc->flags;
        if (turned) {
            FreeImage_CloneMetadata(turned.get(), dib.get()); // what the reader said of the picture
            const bool across = turn.degrees % 180 != 0;
            const unsigned x = FreeImage_GetDotsPerMeterX(dib.get()), y = FreeImage_GetDotsPerMeterY(dib.get());
            FreeImage_SetDotsPerMeterX(turned.get(), across ? y : x);
            FreeImage_SetDotsPerMeterY(turned.get(), across ? x : y);
        }
        dib = std::move(turned);
    }
    if (dib && turn.flip)
        FreeImage_FlipVertical(dib.get());
    return dib;
}

bool KindReader::HasPixels(const FiBitmap& dib)
{
    return dib && FreeImage_HasPixels(dib.get()) && FreeImage_GetWidth(dib.get()) > 0 &&
           FreeImage_GetHeight(dib.get()) > 0;
}
