#include "engine/DecodeStep.h"

#include "engine/FreeImageDiagnostics.h"
#include "engine/PictureReader.h"

#include <QDir>
#include <QFile>

bool DecodeStep::WriteTempBitmap(const QString& picture, int format, const QString& bitmap, int* width, int* height,
                                 QString* error)
{
    FiBitmap dib = PictureReader::Read(picture, format, error);
    if (!dib)
        return false;
    // A BMP holds 8 bits per channel at most, and no transparency that
    // other programs agree on.
    dib = PictureReader::Normalise(std::move(dib), error);
    if (!dib)
        return false;
    FreeImageDiagnostics::Collect();
    if (!FreeImage_Save(FIF_BMP, dib.get(), QFile::encodeName(bitmap).constData(), BMP_DEFAULT)) {
        QString said = FreeImageDiagnostics::Take();
        *error = QString("the temporary bitmap \"%1\" could not be written").arg(QDir::toNativeSeparators(bitmap)) +
                 (said.isEmpty() ? QString() : " (" + said.replace('\n', "; ") + ")");
        QFile::remove(bitmap);
        return false;
    }
    *width = int(FreeImage_GetWidth(dib.get()));
    *height = int(FreeImage_GetHeight(dib.get()));
    return true;
}
