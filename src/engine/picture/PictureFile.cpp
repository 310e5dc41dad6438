#include "engine/picture/PictureFile.h"

#include <cstdio>

namespace {

PictureFile* fileOf(fi_handle handle)
{
    return static_cast<PictureFile*>(handle);
}

unsigned DLL_CALLCONV readProc(void* buffer, unsigned size, unsigned count, fi_handle handle)
{
    if (size == 0 || count == 0)
        return 0;
    const qint64 got = fileOf(handle)->read(static_cast<char*>(buffer), qint64(size) * count);
    return got <= 0 ? 0 : unsigned(got / size);
}

unsigned DLL_CALLCONV writeProc(void*, unsigned, unsigned, fi_handle)
{
    return 0; // read-only
}

int DLL_CALLCONV seekProc(fi_handle handle, long offset, int origin)
{
    PictureFile* f = fileOf(handle);
    qint64 base = 0;
    if (origin == SEEK_CUR)
        base = f->pos();
    else if (origin == SEEK_END)
        base = f->size();
    else if (origin != SEEK_SET)
        return -1;
    const qint64 to = base + offset;
    return to >= 0 && f->seek(to) ? 0 : -1;
}

long DLL_CALLCONV tellProc(fi_handle handle)
{
    return long(fileOf(handle)->pos());
}

} // namespace

bool PictureFile::OpenForDecoding()
{
    return open(QIODevice::ReadOnly | QIODevice::Unbuffered);
}

FreeImageIO* PictureFile::Io()
{
    static FreeImageIO io{readProc, writeProc, seekProc, tellProc};
    return &io;
}

void PictureFile::Rewind()
{
    seek(0);
    m_readPastEnd = false;
}

qint64 PictureFile::readData(char* data, qint64 maxSize)
{
    const qint64 got = QFile::readData(data, maxSize);
    // Fewer bytes than asked from a regular file: the request ran past its end.
    if (maxSize > 0 && got < maxSize)
        m_readPastEnd = true;
    return got;
}
