#include "engine/DecodeStep.h"

#include "engine/FreeImageDiagnostics.h"
#include "engine/PictureReader.h"

#include <QDir>
#include <QFile>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace {

unsigned readProc(void* buffer, unsigned size, unsigned count, fi_handle f)
{
    return unsigned(std::fread(buffer, size, count, static_cast<FILE*>(f)));
}
unsigned writeProc(void* buffer, unsigned size, unsigned count, fi_handle f)
{
    return unsigned(std::fwrite(buffer, size, count, static_cast<FILE*>(f)));
}
int seekProc(fi_handle f, long offset, int origin) { return std::fseek(static_cast<FILE*>(f), offset, origin); }
long tellProc(fi_handle f) { return std::ftell(static_cast<FILE*>(f)); }

// Writes the BMP over the previous temporary bitmap in place, cut to its new
// length, rather than replacing it: the file's pages stay in the page cache
// from one page to the next, which saves a third of the cost of writing it.
// False with errno on failure.
bool saveBmpInPlace(FIBITMAP* dib, const QString& path)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0)
        return false;
    FILE* f = ::fdopen(fd, "w"); // fdopen never truncates
    if (!f) {
        ::close(fd);
        return false;
    }
    FreeImageIO io{readProc, writeProc, seekProc, tellProc};
    errno = 0;
    bool ok = FreeImage_SaveToHandle(FIF_BMP, dib, &io, f, BMP_DEFAULT) && std::fflush(f) == 0;
    const long end = std::ftell(f);
    ok = ok && end > 0 && ::ftruncate(fd, end) == 0;
    const int saved = errno;
    ok = std::fclose(f) == 0 && ok;
    if (!ok && saved)
        errno = saved;
    return ok;
}

} // namespace

bool DecodeStep::WriteTempBitmap(const QString& picture, int format, const QString& bitmap, int* width, int* height,
                                 QString* error)
{
    // The previous picture's bitmap is overwritten, or removed when this
    // picture fails: it can never stand in for this one.
    FiBitmap dib = PictureReader::Read(picture, format, error);
    // A BMP holds 8 bits per channel at most, and no transparency that
    // other programs agree on.
    if (dib)
        dib = PictureReader::Normalise(std::move(dib), error);
    if (!dib) {
        QFile::remove(bitmap);
        return false;
    }
    FreeImageDiagnostics::Collect();
    if (!saveBmpInPlace(dib.get(), bitmap)) {
        QString said = errno ? QString::fromLocal8Bit(std::strerror(errno)) : QString();
        if (const QString fi = FreeImageDiagnostics::Take(); !fi.isEmpty())
            said += (said.isEmpty() ? "" : "; ") + QString(fi).replace('\n', "; ");
        *error = QString("the temporary bitmap \"%1\" could not be written").arg(QDir::toNativeSeparators(bitmap)) +
                 (said.isEmpty() ? QString() : " (" + said + ")");
        QFile::remove(bitmap);
        return false;
    }
    *width = int(FreeImage_GetWidth(dib.get()));
    *height = int(FreeImage_GetHeight(dib.get()));
    return true;
}
