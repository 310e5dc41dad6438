#include "engine/picture/PageStraightener.h"

// Before FreeImage's header, whose IFF_DEFAULT macro would break Leptonica's
// enumeration of the same name.
#include <leptonica/allheaders.h>

#include "engine/picture/PictureTraits.h"

#include <QFile>

#include <cmath>
#include <memory>

namespace {

struct PixFree {
    void operator()(Pix* p) const { pixDestroy(&p); }
};
using PixPtr = std::unique_ptr<Pix, PixFree>;

// Below this the skew finder has not seen lines enough to believe it
// (Leptonica's own deskew takes the same).
constexpr float kMinConfidence = 3.0f;

} // namespace

bool PageStraightener::Straighten(const QString& bitmap, int width, int height, double* degrees, QString* error)
{
    *degrees = 0;
    // Leptonica's notes would land on our standard error; our words say it.
    setMsgSeverity(L_SEVERITY_NONE);
    const QByteArray path = QFile::encodeName(bitmap);
    PixPtr pix(pixRead(path.constData()));
    if (!pix || pixGetWidth(pix.get()) != width || pixGetHeight(pix.get()) != height) {
        *error = QStringLiteral("its temporary bitmap could not be read to straighten it");
        return false;
    }
    // The skew of the ink: measured on a black and white copy.
    PixPtr ink(pixConvertTo1(pix.get(), 128));
    l_float32 angle = 0, confidence = 0;
    if (!ink || pixFindSkew(ink.get(), &angle, &confidence) != 0 || confidence < kMinConfidence ||
        std::fabs(angle) <= kMinDegrees)
        return true;
    // About its centre, in a picture of its own size (0, 0: not enlarged).
    PixPtr level(pixRotate(pix.get(), angle * float(M_PI / 180), L_ROTATE_AREA_MAP, L_BRING_IN_WHITE, 0, 0));
    const PictureTraits traits = PictureTraits::Read(bitmap, width, height);
    // Leptonica writes 32-bit pixels as a 24-bit BMP, without the
    // resolution; that is put back into its header.
    QFile file(bitmap);
    const QByteArray resolution = file.open(QIODevice::ReadOnly) && file.seek(38) ? file.read(8) : QByteArray();
    file.close();
    if (!level || pixGetWidth(level.get()) != width || pixGetHeight(level.get()) != height ||
        pixWrite(path.constData(), level.get(), IFF_BMP) != 0 || resolution.size() != 8 ||
        !file.open(QIODevice::ReadWrite) || !file.seek(38) || file.write(resolution) != 8 || !file.flush()) {
        QFile::remove(bitmap);
        *error = QStringLiteral("its straightened picture could not be written");
        return false;
    }
    file.close();
    // Its profile still describes the pixels; its JPEG or Group 4 strip no
    // longer shows them.
    PictureTraits kept = traits;
    kept.jpegSource = {};
    kept.faxSource = {};
    if (!kept.Write(bitmap, width, height)) {
        *error = QStringLiteral("the file beside its straightened picture could not be written");
        return false;
    }
    *degrees = angle;
    return true;
}
