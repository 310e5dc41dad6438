#include "engine/picture/DecodedCheck.h"

#include "engine/picture/PictureChunks.h"

#include <QFile>

#include <algorithm>

namespace {

QByteArray head(const QString& path, qint64 most)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.read(most) : QByteArray();
}

// The part of the first frame that lies on the screen; the frame as it is
// when it fits (or the screen says no size).
FiBitmap clippedToScreen(FiBitmap dib, const QString& path, QString* error)
{
    PictureChunks::GifLayout g;
    // Extensions before the first frame are small; 1 MB holds them.
    if (!PictureChunks::ReadGifLayout(head(path, 1 << 20), &g) || g.screenW == 0 || g.screenH == 0)
        return dib;
    const int w = int(FreeImage_GetWidth(dib.get())), h = int(FreeImage_GetHeight(dib.get()));
    const int right = std::min(w, g.screenW - g.left), bottom = std::min(h, g.screenH - g.top);
    if (right >= w && bottom >= h)
        return dib;
    if (right <= 0 || bottom <= 0) {
        *error = QStringLiteral("the GIF's picture lies wholly outside its screen of %1 x %2 pixels")
                     .arg(g.screenW)
                     .arg(g.screenH);
        return nullptr;
    }
    FiBitmap cut(FreeImage_Copy(dib.get(), 0, 0, right, bottom));
    if (!cut)
        *error = QStringLiteral("out of memory");
    return cut;
}

} // namespace

FiBitmap DecodedCheck::Checked(FiBitmap dib, int format, const QString& path, QString* error)
{
    if (format == FIF_GIF)
        return clippedToScreen(std::move(dib), path, error);
    if (format == FIF_PNG) {
        QFile f(path);
        const int orientation = f.open(QIODevice::ReadOnly) ? PictureChunks::PngOrientation(f) : 1;
        if (orientation != 1) {
            dib = KindReader::Upright(std::move(dib), orientation);
            if (!dib)
                *error = QStringLiteral("the picture could not be turned upright as its Exif block says");
        }
    }
    return dib;
}
