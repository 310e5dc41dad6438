#include "engine/picture/PictureResolution.h"

#include "engine/picture/PictureBytes.h"
#include "engine/picture/TiffPages.h"

#include <QBuffer>
#include <QFile>
#include <QFileInfo>

#include <cmath>
#include <utility>

namespace {

// What a file says: its resolution in pixels per inch and the stored
// picture's size (to tell whether the upright picture is it turned).
struct Stated {
    double x = 0, y = 0;
    qint64 width = 0, height = 0;
};

constexpr double kInchPerMetre = 0.0254;

quint32 le32(const unsigned char* p) { return quint32(PictureBytes::Le16(p)) | quint32(PictureBytes::Le16(p + 2)) << 16; }

// One TIFF structure on a device: a TIFF file, or the Exif block of a JPEG.
class TiffReader {
public:
    explicit TiffReader(QIODevice& f) : m_f(f) {}

    bool Open()
    {
        unsigned char head[8];
        if (!m_f.seek(0) || m_f.read(reinterpret_cast<char*>(head), 8) != 8 ||
            !TiffPages::IsTiff(QByteArray(reinterpret_cast<char*>(head), 4)) || head[2] == '+' || head[3] == '+')
            return false;
        m_le = head[0] == 'I';
        m_first = u32(head + 4);
        return true;
    }

    // The directory at `offset` (0: the first), read into *s.
    bool Read(quint64 offset, Stated* s)
    {
        if (offset == 0)
            offset = m_first;
        const QByteArray count = at(offset, 2);
        if (offset == 0 || count.size() != 2)
            return false;
        const int entries = u16(uc(count));
        const QByteArray table = at(offset + 2, qint64(entries) * 12);
        if (table.size() != entries * 12)
            return false;
        int unit = 2; // inches, unless it says otherwise
        double x = 0, y = 0;
        for (int k = 0; k < entries; ++k) {
            const unsigned char* e = uc(table) + k * 12;
            const int tag = u16(e), type = u16(e + 2);
            const double v = value(type, e + 8);
            switch (tag) {
            case 256: s->width = qint64(v); break;
            case 257: s->height = qint64(v); break;
            case 282: x = v; break;
            case 283: y = v; break;
            case 296: unit = int(v); break;
            default: break;
            }
        }
        // Unit 1 is a proportion alone, no resolution.
        const double scale = unit == 2 ? 1 : unit == 3 ? 2.54 : 0;
        s->x = x * scale;
        s->y = (y > 0 ? y : x) * scale;
        return true;
    }

private:
    static const unsigned char* uc(const QByteArray& b) { return reinterpret_cast<const unsigned char*>(b.constData()); }
    quint16 u16(const unsigned char* p) const { return m_le ? PictureBytes::Le16(p) : PictureBytes::Be16(p); }
    quint32 u32(const unsigned char* p) const { return m_le ? le32(p) : PictureBytes::Be32(p); }
    QByteArray at(qint64 offset, qint64 n) { return n >= 0 && m_f.seek(offset) ? m_f.read(n) : QByteArray(); }

    // A SHORT, LONG or RATIONAL entry's (first) value; 0 for another type.
    double value(int type, const unsigned char* field)
    {
        if (type == 3)
            return u16(field);
        if (type == 4)
            return u32(field);
        if (type != 5)
            return 0;
        const QByteArray r = at(u32(field), 8);
        const quint32 den = r.size() == 8 ? u32(uc(r) + 4) : 0;
        return den ? double(u32(uc(r))) / den : 0;
    }

    QIODevice& m_f;
    bool m_le = true;
    quint32 m_first = 0;
};

Stated fromTiffFile(QIODevice& f, const QString& path, int page)
{
    Stated s;
    // The page's directory is found in the file's listing, walked once.
    const QList<TiffPages::Page> pages = TiffPages::Listed(path).pages;
    TiffReader tiff(f);
    if (page >= 0 && page < pages.size() && tiff.Open())
        tiff.Read(pages.at(page).offset, &s);
    return s;
}

// JFIF's density when it gives units, else Exif's resolution; the size
// from the frame header.
Stated fromJpeg(QIODevice& f)
{
    Stated s, exif;
    bool jfif = false;
    qint64 pos = 2;
    while (true) {
        unsigned char m[4];
        if (!f.seek(pos) || f.read(reinterpret_cast<char*>(m), 4) != 4 || m[0] != 0xFF)
            break;
        if (m[1] == 0xFF) { // fill byte
            ++pos;
            continue;
        }
        const int marker = m[1], length = PictureBytes::Be16(m + 2);
        if (marker == 0xDA || marker == 0xD9 || length < 2)
            break;
        const QByteArray body = f.read(length - 2);
        if (body.size() != length - 2)
            break;
        const auto* b = reinterpret_cast<const unsigned char*>(body.constData());
        if (marker == 0xE0 && body.size() >= 12 && body.startsWith(QByteArray("JFIF\0", 5)) && !jfif) {
            const int units = b[7];
            const double scale = units == 1 ? 1 : units == 2 ? 2.54 : 0;
            s.x = PictureBytes::Be16(b + 8) * scale;
            s.y = PictureBytes::Be16(b + 10) * scale;
            jfif = scale > 0;
        } else if (marker == 0xE1 && body.startsWith(QByteArray("Exif\0\0", 6)) && exif.x == 0) {
            QByteArray block = body.mid(6);
            QBuffer buffer(&block);
            buffer.open(QIODevice::ReadOnly);
            TiffReader tiff(buffer);
            if (tiff.Open())
                tiff.Read(0, &exif);
        } else if (marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC &&
                   body.size() >= 5) {
            s.height = PictureBytes::Be16(b + 1);
            s.width = PictureBytes::Be16(b + 3);
        }
        pos += 2 + length;
    }
    if (!jfif) {
        s.x = exif.x;
        s.y = exif.y;
    }
    return s;
}

Stated fromPng(QIODevice& f)
{
    Stated s;
    qint64 pos = 8;
    for (int chunk = 0; chunk < 10000; ++chunk) {
        unsigned char h[8];
        if (!f.seek(pos) || f.read(reinterpret_cast<char*>(h), 8) != 8)
            break;
        const quint32 length = PictureBytes::Be32(h);
        const QByteArray type(reinterpret_cast<const char*>(h + 4), 4);
        if (type == "IDAT" || type == "IEND" || length > 0x7FFFFFFF)
            break;
        if ((type == "IHDR" || type == "pHYs") && length >= 8) {
            const QByteArray body = f.read(9);
            const auto* b = reinterpret_cast<const unsigned char*>(body.constData());
            if (body.size() >= 8 && type == "IHDR") {
                s.width = PictureBytes::Be32(b);
                s.height = PictureBytes::Be32(b + 4);
            } else if (body.size() == 9 && b[8] == 1) { // per metre; 0 is a proportion alone
                s.x = PictureBytes::Be32(b) * kInchPerMetre;
                s.y = PictureBytes::Be32(b + 4) * kInchPerMetre;
            }
        }
        pos += 12 + qint64(length);
    }
    return s;
}

Stated fromBmp(QIODevice& f)
{
    Stated s;
    unsigned char h[46];
    if (!f.seek(0) || f.read(reinterpret_cast<char*>(h), 46) != 46 || h[0] != 'B' || h[1] != 'M' ||
        le32(h + 14) < 40) // a header too old to hold a resolution
        return s;
    s.width = qint32(le32(h + 18));
    s.height = qAbs(qint32(le32(h + 22)));
    s.x = qint32(le32(h + 38)) * kInchPerMetre;
    s.y = qint32(le32(h + 42)) * kInchPerMetre;
    return s;
}

PictureResolution::Ppi positive(double x, double y) { return {x > 0 ? x : 0, y > 0 ? y : 0}; }

} // namespace

PictureResolution::Ppi PictureResolution::Stated(const QString& path, int page, int width, int height)
{
    if (!QFileInfo(path).isFile()) // a pipe would wait for a writer
        return {};
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return {};
    const QByteArray head = f.peek(8);
    ::Stated s;
    if (PictureBytes::IsJpegStart(head))
        s = fromJpeg(f);
    else if (head.startsWith("\x89PNG\r\n\x1a\n"))
        s = fromPng(f);
    else if (TiffPages::IsTiff(head))
        s = fromTiffFile(f, path, page);
    else if (head.startsWith("BM"))
        s = fromBmp(f);
    if (s.width != s.height && s.width == height && s.height == width)
        std::swap(s.x, s.y);
    return positive(s.x, s.y);
}
