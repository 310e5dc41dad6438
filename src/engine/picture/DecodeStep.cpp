#include "engine/picture/DecodeStep.h"

#include "engine/picture/FreeImageDiagnostics.h"
#include "engine/picture/JpegCoefficientCheck.h"
#include "engine/picture/JpegSourceCheck.h"
#include "engine/picture/PictureReader.h"
#include "engine/picture/PictureResolution.h"
#include "engine/picture/PictureTraits.h"

#include <QDir>
#include <QFile>

#include <cerrno>
#include <cmath>
#include <cstring>
#include <fcntl.h>
#include <sys/uio.h>
#include <unistd.h>

namespace {

void put16(unsigned char*& p, unsigned v)
{
    *p++ = (unsigned char)(v);
    *p++ = (unsigned char)(v >> 8);
}
void put32(unsigned char*& p, quint32 v)
{
    put16(p, v & 0xFFFF);
    put16(p, v >> 16);
}

// Writes all of `parts` at the start of `fd`; false with errno.
bool writeAll(int fd, iovec* parts, int count)
{
    off_t at = 0;
    while (count > 0) {
        const ssize_t n = ::pwritev(fd, parts, count, at);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        at += n;
        for (size_t left = size_t(n); count > 0 && left > 0;) {
            const size_t take = qMin(left, parts->iov_len);
            parts->iov_base = static_cast<char*>(parts->iov_base) + take;
            parts->iov_len -= take;
            left -= take;
            if (parts->iov_len == 0) {
                ++parts;
                --count;
            }
        }
        while (count > 0 && parts->iov_len == 0) {
            ++parts;
            --count;
        }
    }
    return true;
}

// Writes the BMP over the previous temporary bitmap in place, cut to its new
// length, rather than replacing it: the file's pages stay in the page cache
// from one page to the next. FreeImage's rows are already a BMP's (bottom
// up, each padded to 4 bytes), so header, palette and pixels go in one
// write instead of one per row: together a third of the cost of writing it.
// False with errno on failure.
bool saveBmpInPlace(FIBITMAP* dib, const QString& path)
{
    const unsigned bpp = FreeImage_GetBPP(dib);
    if (FreeImage_GetImageType(dib) != FIT_BITMAP || (bpp != 1 && bpp != 8 && bpp != 24)) {
        errno = EINVAL; // Normalise gives nothing else
        return false;
    }
    const quint32 colours = bpp == 24 ? 0 : 1u << bpp;
    const quint32 pixels = FreeImage_GetPitch(dib) * FreeImage_GetHeight(dib);
    const quint32 offset = 14 + 40 + 4 * colours;
    unsigned char head[54];
    unsigned char* p = head;
    *p++ = 'B';
    *p++ = 'M';
    put32(p, offset + pixels);
    put32(p, 0);
    put32(p, offset);
    put32(p, 40);
    put32(p, FreeImage_GetWidth(dib));
    put32(p, FreeImage_GetHeight(dib));
    put16(p, 1);
    put16(p, bpp);
    put32(p, 0); // BI_RGB
    put32(p, pixels);
    put32(p, FreeImage_GetDotsPerMeterX(dib));
    put32(p, FreeImage_GetDotsPerMeterY(dib));
    put32(p, 0); // all 2^bpp colours
    put32(p, 0);
    iovec parts[3] = {{head, sizeof head},
                      {FreeImage_GetPalette(dib), 4 * colours},
                      {FreeImage_GetBits(dib), pixels}};

    const int fd = ::open(QFile::encodeName(path).constData(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0)
        return false;
    bool ok = writeAll(fd, parts, 3) && ::ftruncate(fd, off_t(offset) + pixels) == 0;
    const int saved = errno;
    ok = ::close(fd) == 0 && ok;
    if (!ok && saved)
        errno = saved;
    return ok;
}

} // namespace

bool DecodeStep::WriteTempBitmap(const QString& picture, int format, const QString& bitmap, int* width, int* height,
                                 QString* error, int page)
{
    // The previous picture's bitmap is overwritten, or removed when this
    // picture fails: it can never stand in for this one.
    PictureTraits::Remove(bitmap);
    const JpegSourceCheck jpeg(picture);
    FiBitmap dib = PictureReader::Read(picture, format, error, page);
    // The profile and subsampling are read before Normalise converts the
    // pixels; they go beside the bitmap, which cannot hold them.
    PictureTraits traits = dib ? PictureTraits::Of(dib.get(), picture) : PictureTraits();
    // A JPEG decoded in full without a warning may be stored as it is.
    if (dib)
        traits.jpegSource = jpeg.After(FreeImageDiagnostics::Quiet());
    // A BMP holds 8 bits per channel at most, and no transparency that
    // other programs agree on.
    if (dib)
        dib = PictureReader::Normalise(std::move(dib), error);
    // A grey photo from lossy coding, given as RGB (libheif, libwebp), goes
    // on as grey: a DeviceGray JPEG, a third of the work. A colour profile
    // keeps it as it is, since grey would drop the profile's tones.
    if (dib && traits.lossySource && traits.iccProfile.isEmpty() && FreeImage_GetBPP(dib.get()) == 24 &&
        PictureReader::AllGrey24(dib.get())) {
        FiBitmap grey(FreeImage_ConvertToGreyscale(dib.get()));
        if (grey)
            dib = std::move(grey);
    }
    if (!dib) {
        QFile::remove(bitmap);
        return false;
    }
    // The bitmap carries the resolution the file states, as we read it:
    // none when it states none (FreeImage would say 72 ppi).
    const PictureResolution::Ppi ppi =
        PictureResolution::Stated(picture, page, int(FreeImage_GetWidth(dib.get())), int(FreeImage_GetHeight(dib.get())));
    FreeImage_SetDotsPerMeterX(dib.get(), unsigned(std::lround(ppi.x / 0.0254)));
    FreeImage_SetDotsPerMeterY(dib.get(), unsigned(std::lround(ppi.y / 0.0254)));
    if (!saveBmpInPlace(dib.get(), bitmap)) {
        *error = QString("the temporary bitmap \"%1\" could not be written (%2)")
                     .arg(QDir::toNativeSeparators(bitmap), QString::fromLocal8Bit(std::strerror(errno)));
        QFile::remove(bitmap);
        return false;
    }
    *width = int(FreeImage_GetWidth(dib.get()));
    *height = int(FreeImage_GetHeight(dib.get()));
    if (!traits.Write(bitmap, *width, *height)) {
        *error = QString("the file \"%1\" beside the temporary bitmap could not be written")
                     .arg(QDir::toNativeSeparators(PictureTraits::SideFile(bitmap)));
        QFile::remove(bitmap);
        return false;
    }
    return true;
}

bool DecodeStep::KeepOrWriteTempBitmap(const QString& picture, int format, int quality, const QString& bitmap, int* width,
                                       int* height, bool* kept, QString* error)
{
    // The rule the drawing layer keeps a JPEG by: asked at or above its own quality.
    const auto wanted = [quality](const PictureTraits& found, int, int) {
        return found.jpegSource.quality >= 1 && quality >= found.jpegSource.quality;
    };
    PictureTraits::Remove(bitmap);
    const PictureTraits traits = JpegCoefficientCheck::Check(picture, width, height, wanted);
    *kept = !traits.jpegSource.path.isEmpty() && traits.Write(bitmap, *width, *height);
    return *kept || WriteTempBitmap(picture, format, bitmap, width, height, error);
}
