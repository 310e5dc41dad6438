#include "engine/picture/WebpReader.h"

#include "engine/picture/PictureLimits.h"

#include "engine/picture/FreeImageDiagnostics.h"
#include "engine/picture/PictureBytes.h"

#include <cstring>

namespace {

quint32 le24(const unsigned char* p) { return quint32(p[0]) | quint32(p[1]) << 8 | quint32(p[2]) << 16; }
quint32 le32(const unsigned char* p) { return le24(p) | quint32(p[3]) << 24; }

} // namespace

bool WebpReader::IsWebp(const QByteArray& head)
{
    return head.size() >= 16 && std::memcmp(head.constData(), "RIFF", 4) == 0 &&
           std::memcmp(head.constData() + 8, "WEBPVP8", 7) == 0;
}

bool WebpReader::DeclaredSize(const QByteArray& file, qint64* width, qint64* height, bool* alpha)
{
    if (!IsWebp(file) || file.size() < 30)
        return false;
    const auto* p = reinterpret_cast<const unsigned char*>(file.constData());
    const unsigned char* chunk = p + 12; // the first chunk's four letters
    const unsigned char* data = chunk + 8;
    if (std::memcmp(chunk, "VP8X", 4) == 0) {
        // The canvas every frame is drawn on, 24 bits a side, minus one.
        *alpha = (data[0] & 0x10) != 0;
        *width = qint64(le24(data + 4)) + 1;
        *height = qint64(le24(data + 7)) + 1;
        return true;
    }
    if (std::memcmp(chunk, "VP8L", 4) == 0) {
        // Signature 0x2F, then 14 bits each of width and height minus one.
        if (data[0] != 0x2F)
            return false;
        const quint32 bits = le32(data + 1);
        *width = qint64(bits & 0x3FFF) + 1;
        *height = qint64((bits >> 14) & 0x3FFF) + 1;
        *alpha = (bits >> 28) & 1;
        return true;
    }
    if (std::memcmp(chunk, "VP8 ", 4) == 0) {
        // A key frame: three bytes of frame tag, the start code 9D 01 2A,
        // then 14 bits each of width and height.
        if (data[3] != 0x9D || data[4] != 0x01 || data[5] != 0x2A)
            return false;
        *width = PictureBytes::Le16(data + 6) & 0x3FFF;
        *height = PictureBytes::Le16(data + 8) & 0x3FFF;
        *alpha = false;
        return true;
    }
    return false;
}

FiBitmap WebpReader::Read(const QByteArray& file, QString* error)
{
    qint64 w = 0, h = 0;
    bool alpha = false;
    if (!DeclaredSize(file, &w, &h, &alpha)) {
        *error = QStringLiteral("the file could not be decoded as WebP (its header cannot be read)");
        return nullptr;
    }
    // libwebp's own picture (4 bytes a pixel), FreeImage's copy of it, then
    // the page's copies.
    if (!PictureLimits::WithinLimit(w, h, error) || !PictureLimits::WithinMemory(w, h, alpha ? 32 : 24, 4 + 7, error))
        return nullptr;
    FreeImageDiagnostics::Collect();
    QByteArray bytes = file; // FreeImage's memory stream takes a non-const buffer
    FIMEMORY* mem = FreeImage_OpenMemory(reinterpret_cast<BYTE*>(bytes.data()), DWORD(bytes.size()));
    FiBitmap dib(mem ? FreeImage_LoadFromMemory(FIF_WEBP, mem, 0) : nullptr);
    if (mem)
        FreeImage_CloseMemory(mem);
    if (!dib || !FreeImage_HasPixels(dib.get()) || FreeImage_GetWidth(dib.get()) == 0 ||
        FreeImage_GetHeight(dib.get()) == 0 || FreeImage_GetWidth(dib.get()) > w || FreeImage_GetHeight(dib.get()) > h) {
        const QString said = FreeImageDiagnostics::Take().trimmed();
        *error = QStringLiteral("the file could not be decoded as WebP") +
                 (said.isEmpty() ? QString() : QStringLiteral(" (%1)").arg(QString(said).replace('\n', "; ")));
        return nullptr;
    }
    return dib;
}
