#include "engine/picture/HeaderCheck.h"

#include "engine/picture/PictureBytes.h"
#include "engine/picture/PictureLimits.h"

#include <QBuffer>
#include <QFile>
#include <QFileInfo>

namespace {

enum class Kind { Unknown, Jpeg, Png, Gif, Bmp, Iff, Other };

Kind kindOf(const QByteArray& h)
{
    const auto at = [&h](int offset, const char* bytes, int n) { return h.mid(offset, n) == QByteArray(bytes, n); };
    if (PictureBytes::IsJpegStart(h))
        return Kind::Jpeg;
    if (at(0, "\x89PNG\r\n\x1a\n", 8))
        return Kind::Png;
    if (at(0, "GIF87a", 6) || at(0, "GIF89a", 6))
        return Kind::Gif;
    if (at(0, "BM", 2))
        return Kind::Bmp;
    if (at(0, "FORM", 4) && (at(8, "ILBM", 4) || at(8, "PBM ", 4)))
        return Kind::Iff;
    const bool other = at(0, "II*\0", 4) || at(0, "MM\0*", 4)                     // TIFF
                       || (at(0, "RIFF", 4) && at(8, "WEBP", 4))                  // WebP
                       || at(4, "ftyp", 4)                                        // HEIF, AVIF
                       || at(0, "\xFF\x0A", 2) || at(0, "\0\0\0\x0CJXL \r\n\x87\n", 12) // JPEG XL
                       || at(0, "\0\0\1\0", 4)                                    // ICO
                       || at(0, "8BPS", 4)                                        // PSD
                       || (h.size() > 2 && h[0] == '\x0A' && h[2] == '\x01')      // PCX
                       || (h.size() > 1 && h[0] == 'P' && h[1] >= '1' && h[1] <= '7'); // PNM, PAM
    return other ? Kind::Other : Kind::Unknown;
}

// Sizes our own readers find in the header; false when none is known.
bool declaredSize(Kind kind, const QByteArray& head, QFile& file, qint64* w, qint64* h)
{
    switch (kind) {
    case Kind::Png:
        if (head.size() < 24 || head.mid(12, 4) != "IHDR")
            return false;
        *w = PictureBytes::Be32(reinterpret_cast<const unsigned char*>(head.constData()) + 16);
        *h = PictureBytes::Be32(reinterpret_cast<const unsigned char*>(head.constData()) + 20);
        return true;
    case Kind::Bmp: {
        if (head.size() < 26 || PictureBytes::Le16(reinterpret_cast<const unsigned char*>(head.constData()) + 14) < 40)
            return false;
        const auto le32 = [&head](int o) {
            const auto* p = reinterpret_cast<const unsigned char*>(head.constData()) + o;
            return qint32(quint32(p[0]) | quint32(p[1]) << 8 | quint32(p[2]) << 16 | quint32(p[3]) << 24);
        };
        *w = qAbs(qint64(le32(18)));
        *h = qAbs(qint64(le32(22)));
        return true;
    }
    case Kind::Gif:
    case Kind::Iff:
    case Kind::Jpeg:
        file.seek(0);
        return kind == Kind::Gif   ? PictureBytes::GifSize(file, w, h)
               : kind == Kind::Iff ? PictureBytes::IffSize(file, w, h)
                                   : PictureBytes::JpegSize(file, w, h);
    default:
        return false;
    }
}

} // namespace

QString HeaderCheck::Problem(const QString& path)
{
    const QFileInfo info(path);
    if (!info.exists())
        return QStringLiteral("the file does not exist");
    if (info.isDir())
        return QStringLiteral("it is a folder, not a picture file");
    if (!info.isFile())
        return QStringLiteral("it is not a regular file but a pipe, device or socket");
    if (info.size() == 0)
        return QStringLiteral("the file is empty");
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return file.error() == QFileDevice::PermissionsError ? QStringLiteral("the file cannot be read (permission denied)")
                                                              : QStringLiteral("the file cannot be read: ") + file.errorString();
    const QByteArray head = file.read(64);
    const Kind kind = kindOf(head);
    // A TGA has no mark of its own to be known by: only its name tells.
    if (kind == Kind::Unknown && info.suffix().compare(QLatin1String("tga"), Qt::CaseInsensitive) != 0)
        return QStringLiteral("its content is not a kind of picture Velunor reads");
    if (kind == Kind::Png && (head.size() < 24 || head.mid(12, 4) != "IHDR"))
        return QStringLiteral("it is damaged: its PNG header is missing");
    qint64 w = 0, h = 0;
    QString error;
    if (declaredSize(kind, head, file, &w, &h)) {
        if (w <= 0 || h <= 0)
            return QStringLiteral("it is damaged: its header gives a size of %1 x %2 pixels").arg(w).arg(h);
        if (!PictureLimits::WithinLimit(w, h, &error))
            return error;
    }
    return {};
}

bool HeaderCheck::DeclaredSize(const QString& path, qint64* width, qint64* height)
{
    // A pipe or device would hold the open up, or never end.
    QFile file(path);
    if (!QFileInfo(path).isFile() || !file.open(QIODevice::ReadOnly))
        return false;
    const QByteArray head = file.read(64);
    return declaredSize(kindOf(head), head, file, width, height) && *width > 0 && *height > 0;
}
