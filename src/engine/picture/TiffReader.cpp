#include "engine/picture/TiffReader.h"

#include "engine/picture/PictureLimits.h"
#include "engine/picture/PictureTraits.h"
#include "engine/picture/TiffPages.h"
#include "engine/picture/TiffSamples.h"

#include <QFile>
#include <QStringList>

#include <cstdarg>
#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <tiffio.h>
#include <unistd.h>

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

// The file as libtiff reads it, with the header's pointer to the first
// directory made to point at `first`: the page's directory is then read as
// the file's first, at once. (libtiff's own TIFFSetSubDirectory walks the
// whole chain of directories on each call, which made a page of a file of
// n pages cost n.) What that walk would have noticed of the page's
// neighbours, TiffPages checks instead.
struct Source {
    int fd = -1;
    quint64 at = 0, size = 0, first = 0;
    bool littleEndian = true;
};

tmsize_t readAt(thandle_t h, void* buffer, tmsize_t n)
{
    auto* s = static_cast<Source*>(h);
    ssize_t got = 0;
    do
        got = ::pread(s->fd, buffer, size_t(n), off_t(s->at));
    while (got < 0 && errno == EINTR);
    if (got <= 0)
        return got < 0 ? -1 : 0;
    // Bytes 4 to 7 of a classic TIFF's header: the first directory's place.
    for (quint64 k = 4; s->first != 0 && k < 8; ++k) {
        if (k >= s->at && k < s->at + quint64(got)) {
            const int shift = 8 * int(s->littleEndian ? k - 4 : 7 - k);
            static_cast<uint8_t*>(buffer)[k - s->at] = uint8_t(s->first >> shift);
        }
    }
    s->at += quint64(got);
    return got;
}

tmsize_t writeNone(thandle_t, void*, tmsize_t) { return -1; }

toff_t seekTo(thandle_t h, toff_t offset, int whence)
{
    auto* s = static_cast<Source*>(h);
    s->at = whence == SEEK_SET ? offset : whence == SEEK_CUR ? s->at + offset : s->size + offset;
    return s->at;
}

int closeSource(thandle_t h)
{
    auto* s = static_cast<Source*>(h);
    const int rc = ::close(s->fd);
    delete s;
    return rc;
}

toff_t sizeOf(thandle_t h) { return static_cast<Source*>(h)->size; }

int mapNone(thandle_t, void**, toff_t*) { return 0; }
void unmapNone(thandle_t, void*, toff_t) {}

// Opened for reading, never mapped (a file cut while it is read fails by
// name), with the directory at `directory` (0: the file's own first) as its
// first, libtiff's messages gathered in *said instead of printed.
Tiff open(const QString& path, quint64 directory, QStringList* said)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC);
    struct stat st {};
    unsigned char head[2] = {};
    if (fd < 0 || ::fstat(fd, &st) != 0 || ::pread(fd, head, 2, 0) != 2) {
        if (fd >= 0)
            ::close(fd);
        return nullptr;
    }
    auto* source = new Source{fd, 0, quint64(st.st_size), directory, head[0] == 'I'};
    TIFFOpenOptions* options = TIFFOpenOptionsAlloc();
    TIFFOpenOptionsSetErrorHandlerExtR(options, onError, said);
    TIFFOpenOptionsSetWarningHandlerExtR(options, onWarning, nullptr);
    // No single buffer of libtiff's may pass our own memory limit.
    TIFFOpenOptionsSetMaxSingleMemAlloc(options, tmsize_t(PictureLimits::MaxDecodeBytes()));
    // TIFFClose closes the source; a failed open leaves it to us.
    Tiff tif(TIFFClientOpenExt(QFile::encodeName(path).constData(), "rm", source, readAt, writeNone, seekTo,
                               closeSource, sizeOf, mapNone, unmapNone, options));
    TIFFOpenOptionsFree(options);
    if (!tif)
        closeSource(source);
    return tif;
}

// Where the page's pixel data lies, as the file states it and as libtiff
// will read it (its guess for a size the file gets wrong included): inside
// the file and clear of every directory, or the page is damaged.
QString placeProblem(const QString& path, TIFF* tif, const TiffPages::Listing& listing, int page)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return QStringLiteral("the TIFF file could not be opened again");
    const QString stated = TiffPages::DataProblem(f, listing, page);
    if (!stated.isEmpty())
        return stated;
    const uint32_t chunks = TIFFNumberOfStrips(tif);
    for (uint32_t k = 0; k < chunks; ++k) {
        const QString problem =
            TiffPages::SpanProblem(listing, TIFFGetStrileOffset(tif, k), TIFFGetStrileByteCount(tif, k));
        if (!problem.isEmpty())
            return problem;
    }
    return {};
}

} // namespace

bool TiffReader::Recognises(const QByteArray& head) const { return TiffPages::IsTiff(head); }

bool TiffReader::DeclaredSize(const QString& path, qint64* width, qint64* height)
{
    QStringList said;
    Tiff tif = open(path, 0, &said);
    uint32_t w = 0, h = 0;
    if (!tif || !TIFFGetField(tif.get(), TIFFTAG_IMAGEWIDTH, &w) || !TIFFGetField(tif.get(), TIFFTAG_IMAGELENGTH, &h))
        return false;
    *width = w;
    *height = h;
    return true;
}

FiBitmap TiffReader::Read(const QString& path, int page, QString* error)
{
    const TiffPages::Listing listing = TiffPages::Listed(path);
    const QList<TiffPages::Page>& pages = listing.pages;
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
    Tiff tif = open(path, where.directory != 0 ? where.offset : 0, &said);
    if (!tif) {
        *error = withSaid(QStringLiteral("the TIFF file is damaged: its page could not be read"), said);
        return nullptr;
    }
    *error = placeProblem(path, tif.get(), listing, page);
    if (!error->isEmpty())
        return nullptr;
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
