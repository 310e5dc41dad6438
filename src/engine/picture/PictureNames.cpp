#include "engine/picture/PictureNames.h"

#include <FreeImage.h>

namespace {

// In the page maker's designed order, then the kinds added beside it.
// `listed`: taken by the folder search and drops (the designed seven and the
// new kinds). `added`: not in the designed tables.
struct Row {
    const char* ext;
    int format;
    bool listed;
    bool added;
};
constexpr Row kTable[] = {
    {"bmp", FIF_BMP, true, false},
    {"dib", FIF_BMP, false, false},
    {"jpg", FIF_JPEG, true, false},
    {"jpeg", FIF_JPEG, true, false},
    {"gif", FIF_GIF, true, false},
    {"png", FIF_PNG, true, false},
    {"ico", FIF_ICO, false, false},
    {"tif", FIF_TIFF, true, false},
    {"tiff", FIF_TIFF, true, false},
    {"iff", FIF_IFF, false, false},
    {"pcx", FIF_PCX, false, false},
    {"psd", FIF_PSD, false, false},
    {"heic", PictureNames::FormatHeif, true, true},
    {"heif", PictureNames::FormatHeif, true, true},
    {"avif", PictureNames::FormatAvif, true, true},
    {"webp", FIF_WEBP, true, true},
    {"jxl", PictureNames::FormatJxl, true, true},
    // What scanners (scanimage) and older programs write.
    {"pbm", FIF_PBMRAW, true, true},
    {"pgm", FIF_PGMRAW, true, true},
    {"ppm", FIF_PPMRAW, true, true},
    {"pnm", FIF_PPMRAW, true, true},
    {"tga", FIF_TARGA, true, true},
};

// The kinds FreeImage may decode for us, whatever their names: the table's.
// Its other readers (DDS, EXR, RAW, ...) never see a file.
constexpr int kReadByFreeImage[] = {FIF_BMP, FIF_JPEG, FIF_GIF,    FIF_PNG, FIF_ICO, FIF_TIFF, FIF_IFF,
                                    FIF_PCX, FIF_PSD,  FIF_WEBP,   FIF_PBM, FIF_PBMRAW, FIF_PGM, FIF_PGMRAW,
                                    FIF_PPM, FIF_PPMRAW, FIF_TARGA};

} // namespace

int PictureNames::FormatForExtension(const QString& path, int current)
{
    const int dot = path.lastIndexOf(QLatin1Char('.'));
    const QString ext = (dot < 0 ? path : path.mid(dot + 1)).toLower();
    for (const Row& row : kTable) {
        if (ext == QLatin1String(row.ext))
            return row.format;
    }
    return current;
}

bool PictureNames::IsSearchName(const QString& name)
{
    for (const Row& row : kTable) {
        if (row.listed && name.endsWith(QLatin1Char('.') + QLatin1String(row.ext), Qt::CaseInsensitive))
            return true;
    }
    return false;
}

bool PictureNames::IsDropPath(const QString& path)
{
    for (const Row& row : kTable) {
        if (row.listed && path.endsWith(QLatin1String(row.ext), Qt::CaseInsensitive))
            return true;
    }
    return false;
}

QStringList PictureNames::ListedExtensions()
{
    QStringList out;
    for (const Row& row : kTable) {
        if (row.listed)
            out << QLatin1String(row.ext);
    }
    return out;
}

QStringList PictureNames::NewExtensions()
{
    QStringList out;
    for (const Row& row : kTable) {
        if (row.added)
            out << QLatin1String(row.ext);
    }
    return out;
}

QStringList PictureNames::AllExtensions()
{
    QStringList out;
    for (const Row& row : kTable)
        out << QLatin1String(row.ext);
    return out;
}

bool PictureNames::IsOurKind(int format)
{
    for (const int f : kReadByFreeImage) {
        if (f == format)
            return true;
    }
    return false;
}
