#include "engine/picture/WebpReader.h"

#include "engine/picture/PictureLimits.h"

#include "engine/picture/FreeImageDiagnostics.h"
#include "engine/picture/PictureBytes.h"
#include "engine/picture/PictureChunks.h"
#include "engine/picture/PictureTraits.h"

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

namespace {

// The size a VP8L or VP8 chunk's own bitstream header gives (its `data` has
// 10 bytes at least); false for another chunk or a header that cannot be read.
bool bitstreamSize(const unsigned char* chunk, const unsigned char* data, qint64* width, qint64* height, bool* alpha)
{
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

// The first VP8 or VP8L chunk at the top level of an extended file (a still
// picture's); null when there is none.
const unsigned char* firstBitstream(const QByteArray& file)
{
    const auto* p = reinterpret_cast<const unsigned char*>(file.constData());
    for (qsizetype at = 12; at + 18 <= file.size();) {
        if (std::memcmp(p + at, "VP8 ", 4) == 0 || std::memcmp(p + at, "VP8L", 4) == 0)
            return p + at;
        const qint64 length = le32(p + at + 4);
        at += 8 + length + (length & 1);
    }
    return nullptr;
}

} // namespace

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
    return bitstreamSize(chunk, data, width, height, alpha);
}

bool WebpReader::IsLossy(const QByteArray& file)
{
    const unsigned char* chunk = IsWebp(file) ? firstBitstream(file) : nullptr;
    return chunk && std::memcmp(chunk, "VP8 ", 4) == 0;
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
    // A still picture larger than its canvas: libwebp refuses it without a word.
    qint64 fw = 0, fh = 0;
    bool frameAlpha = false;
    const unsigned char* still = firstBitstream(file);
    if (still && bitstreamSize(still, still + 8, &fw, &fh, &frameAlpha) && (fw > w || fh > h)) {
        *error = QStringLiteral("the WebP file is damaged: its picture (%1 x %2 pixels) is larger than its canvas "
                                "(%3 x %4)")
                     .arg(fw)
                     .arg(fh)
                     .arg(w)
                     .arg(h);
        return nullptr;
    }
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
    // libwebp leaves the Exif orientation to us, as libjpeg does.
    const int orientation = PictureChunks::WebpOrientation(file);
    if (orientation != 1) {
        dib = KindReader::Upright(std::move(dib), orientation);
        if (!dib) {
            *error = QStringLiteral("the picture could not be turned upright as its Exif block says");
            return nullptr;
        }
    }
    if (IsLossy(file))
        PictureTraits::MarkLossy(dib.get());
    return dib;
}
