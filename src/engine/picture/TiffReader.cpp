#include "engine/picture/TiffReader.h"

#include "engine/picture/PictureLimits.h"
#include "engine/picture/PictureTraits.h"
#include "engine/picture/TiffPages.h"
#include "engine/picture/TiffSamples.h"

#include <QFile>
#include <QStringList>

#include <cstdarg>
#include <cstdio>
#include <sys/stat.h>
#include <tiffio.h>

namespace {

int onError(TIFF*, void* said, const char* module, const char* fmt, va_list ap)
{
    char text[512];
    std::vsnprintf(text, sizeof text, fmt, ap);
    auto* lines = static_cast<QStringList*>(said);
    const QString line = (module && *module ? QString::fromUtf8(module) + ": " : QString()) + QString::fromUtf8(text);
    if (lines->size() < 3 && !lines->contains(line))
        lines->append(line);
    return 1; // not passed on to the process-wide handler
}

int onWarning(TIFF*, void*, const char*, const char*, va_list) { return 1; }

struct TiffClose {
    void operator()(TIFF* t) const { TIFFClose(t); }
};
using Tiff = std::unique_ptr<TIFF, TiffClose>;

// The page list of the file last read, so that reading a file of n pages
// page by page walks its directory chain once, not n times. It belongs to
// the same file only while the file's identity and time stay the same.
struct ListedFile {
    QString path;
    struct stat st {};
    QList<TiffPages::Page> pages;
};

bool sameFile(const struct stat& a, const struct stat& b)
{
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino && a.st_size == b.st_size &&
           a.st_mtim.tv_sec == b.st_mtim.tv_sec && a.st_mtim.tv_nsec == b.st_mtim.tv_nsec;
}

const QList<TiffPages::Page>& pagesOf(const QString& path)
{
    static ListedFile listed;
    struct stat st {};
    if (::stat(QFile::encodeName(path).constData(), &st) != 0) {
        listed = ListedFile();
        return listed.pages;
    }
    if (listed.path != path || !sameFile(listed.st, st)) {
        listed.path = path;
        listed.st = st;
        listed.pages = TiffPages::List(path);
    }
    return listed.pages;
}

QString withSaid(const QString& sentence, const QStringList& said)
{
    return said.isEmpty() ? sentence : sentence + " (" + said.join("; ") + ")";
}

// The page's resolution, as FreeImage keeps it (dots per metre).
void setResolution(TIFF* tif, FIBITMAP* dib)
{
    float x = 0, y = 0;
    uint16_t unit = RESUNIT_INCH;
    TIFFGetFieldDefaulted(tif, TIFFTAG_RESOLUTIONUNIT, &unit);
    if (unit == RESUNIT_NONE || !TIFFGetField(tif, TIFFTAG_XRESOLUTION, &x) || !(x > 0 && x < 1e6f))
        return;
    if (!TIFFGetField(tif, TIFFTAG_YRESOLUTION, &y) || !(y > 0 && y < 1e6f))
        y = x;
    const double perMetre = unit == RESUNIT_CENTIMETER ? 100.0 : 1 / 0.0254;
    FreeImage_SetDotsPerMeterX(dib, unsigned(x * perMetre + 0.5));
    FreeImage_SetDotsPerMeterY(dib, unsigned(y * perMetre + 0.5));
}

// Opened for reading, not mapped (a file cut while it is read fails by
// name), libtiff's messages gathered in *said instead of printed.
Tiff open(const QString& path, QStringList* said)
{
    TIFFOpenOptions* options = TIFFOpenOptionsAlloc();
    TIFFOpenOptionsSetErrorHandlerExtR(options, onError, said);
    TIFFOpenOptionsSetWarningHandlerExtR(options, onWarning, nullptr);
    // No single buffer of libtiff's may pass our own memory limit.
    TIFFOpenOptionsSetMaxSingleMemAlloc(options, tmsize_t(PictureLimits::MaxDecodeBytes()));
    Tiff tif(TIFFOpenExt(QFile::encodeName(path).constData(), "rm", options));
    TIFFOpenOptionsFree(options);
    return tif;
}

} // namespace

bool TiffReader::Recognises(const QByteArray& head) const { return TiffPages::IsTiff(head); }

bool TiffReader::DeclaredSize(const QString& path, qint64* width, qint64* height)
{
    QStringList said;
    Tiff tif = open(path, &said);
    uint32_t w = 0, h = 0;
    if (!tif || !TIFFGetField(tif.get(), TIFFTAG_IMAGEWIDTH, &w) || !TIFFGetField(tif.get(), TIFFTAG_IMAGELENGTH, &h))
        return false;
    *width = w;
    *height = h;
    return true;
}

FiBitmap TiffReader::Read(const QString& path, int page, QString* error)
{
    const QList<TiffPages::Page>& pages = pagesOf(path);
    if (pages.size() > TiffPages::MaxPages()) {
        *error = TiffPages::TooManyPagesText();
        return nullptr;
    }
    if (page < 0 || page >= pages.size()) {
        *error = pages.isEmpty() ? QStringLiteral("the file could not be read as TIFF")
                                 : QStringLiteral("the TIFF file has no page %1").arg(page + 1);
        return nullptr;
    }
    const TiffPages::Page where = pages.at(page);
    QStringList said;
    Tiff tif = open(path, &said);
    if (!tif || (where.directory != 0 && !TIFFSetSubDirectory(tif.get(), where.offset))) {
        *error = withSaid(QStringLiteral("the TIFF file is damaged: its page could not be read"), said);
        return nullptr;
    }
    TiffSamples samples(tif.get());
    FiBitmap dib = samples.Decode(error);
    if (!dib) {
        if (!said.isEmpty() && !error->contains('('))
            *error = withSaid(*error, said);
        return nullptr;
    }
    // A strip or tile that libtiff could not read leaves no picture.
    if (!said.isEmpty()) {
        *error = withSaid(QStringLiteral("the TIFF page is damaged or incomplete"), said);
        return nullptr;
    }
    setResolution(tif.get(), dib.get());
    // Its coded data may stand for a bilevel page: the drawing layer checks.
    uint16_t compression = COMPRESSION_NONE;
    TIFFGetFieldDefaulted(tif.get(), TIFFTAG_COMPRESSION, &compression);
    if (compression == COMPRESSION_CCITTFAX4 && FreeImage_GetBPP(dib.get()) == 1)
        PictureTraits::MarkFaxCoded(dib.get(), where.offset);
    uint16_t orientation = ORIENTATION_TOPLEFT;
    TIFFGetFieldDefaulted(tif.get(), TIFFTAG_ORIENTATION, &orientation);
    if (orientation > ORIENTATION_TOPLEFT && orientation <= ORIENTATION_LEFTBOT) {
        dib = Upright(std::move(dib), orientation);
        if (!dib)
            *error = QStringLiteral("the TIFF page could not be turned upright: too little memory");
    }
    return dib;
}
