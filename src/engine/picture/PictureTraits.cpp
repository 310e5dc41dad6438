#include "engine/picture/PictureTraits.h"

#include "engine/picture/ColourProfile.h"

#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <unistd.h>

#include <zlib.h>

#include <cstring>

namespace {

const char kMagic[] = "VelunorPictureTraits 2\n";
const char kLossyKey[] = "VelunorLossy";
const char kUnprofiledCmykKey[] = "VelunorUnprofiledCmyk";
const char kFaxKey[] = "VelunorFaxDirectory";
constexpr qint64 kMaxProfile = 16 << 20;

quint16 be16(const unsigned char* p) { return quint16(p[0] << 8 | p[1]); }

// What the markers before a JPEG's image data tell.
struct JpegHeader {
    bool valid = false;
    int width = 0;
    int height = 0;
    int components = 0;
    int lumaH = 0;
    int lumaV = 0;
    bool chromaFull = true; // both chroma components sampled 1 x 1
    bool icc = false;
};

// Walks the markers of a JPEG up to its frame header. `read(at, n)` gives n
// bytes at offset `at`, fewer at the end.
template <class Read>
JpegHeader walkJpeg(Read read)
{
    JpegHeader head;
    QByteArray b = read(0, 2);
    if (b.size() != 2 || quint8(b[0]) != 0xFF || quint8(b[1]) != 0xD8)
        return head;
    qint64 pos = 2;
    for (int guard = 0; guard < 1000; ++guard) {
        b = read(pos, 4);
        if (b.size() < 2 || quint8(b[0]) != 0xFF)
            return head;
        const auto* p = reinterpret_cast<const unsigned char*>(b.constData());
        const unsigned char marker = p[1];
        if (marker == 0xFF) { // fill byte
            ++pos;
            continue;
        }
        if (marker == 0xD8 || marker == 0x01 || (marker >= 0xD0 && marker <= 0xD7)) {
            pos += 2;
            continue;
        }
        if (marker == 0xD9 || marker == 0xDA || b.size() < 4)
            return head;
        const int length = be16(p + 2);
        if (length < 2)
            return head;
        if (marker == 0xE2 && length >= 16 && read(pos + 4, 12) == QByteArray("ICC_PROFILE\0", 12))
            head.icc = true;
        const bool frame = marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC;
        if (frame) {
            const QByteArray sof = read(pos + 4, length - 2);
            const auto* s = reinterpret_cast<const unsigned char*>(sof.constData());
            if (sof.size() < 6)
                return head;
            head.height = be16(s + 1);
            head.width = be16(s + 3);
            head.components = s[5];
            if (sof.size() < 6 + 3 * head.components)
                return head;
            for (int c = 0; c < head.components; ++c) {
                const int h = s[6 + 3 * c + 1] >> 4, v = s[6 + 3 * c + 1] & 15;
                if (c == 0) {
                    head.lumaH = h;
                    head.lumaV = v;
                } else if (h != 1 || v != 1) {
                    head.chromaFull = false;
                }
            }
            head.valid = true;
            return head;
        }
        pos += 2 + length;
    }
    return head;
}

JpegHeader jpegHeaderOfFile(const QString& path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return {};
    return walkJpeg([&f](qint64 at, qint64 n) { return f.seek(at) ? f.read(n) : QByteArray(); });
}

// A PNG's iCCP profile, inflated; empty when it has none. (FreeImage here
// hands no profile on from PNGs.)
QByteArray pngProfile(const QString& path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly) || f.read(8) != QByteArray("\x89PNG\r\n\x1A\n", 8))
        return {};
    for (int guard = 0; guard < 10000; ++guard) {
        const QByteArray head = f.read(8);
        if (head.size() != 8)
            return {};
        const auto* h = reinterpret_cast<const unsigned char*>(head.constData());
        const quint32 length = quint32(h[0]) << 24 | quint32(h[1]) << 16 | quint32(h[2]) << 8 | h[3];
        const QByteArray type = head.mid(4);
        if (type == "IDAT" || type == "IEND" || length > quint32(kMaxProfile))
            return {}; // the profile comes before the pixels
        if (type != "iCCP") {
            if (!f.seek(f.pos() + qint64(length) + 4))
                return {};
            continue;
        }
        const QByteArray data = f.read(length);
        const qsizetype name = data.indexOf('\0');
        if (data.size() != qsizetype(length) || name < 0 || name + 2 > data.size() || data[name + 1] != 0)
            return {};
        z_stream z{};
        if (inflateInit(&z) != Z_OK)
            return {};
        QByteArray out;
        char buf[16384];
        z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.constData() + name + 2));
        z.avail_in = uInt(data.size() - name - 2);
        int rc = Z_OK;
        while (rc == Z_OK && out.size() <= kMaxProfile) {
            z.next_out = reinterpret_cast<Bytef*>(buf);
            z.avail_out = sizeof buf;
            rc = inflate(&z, Z_NO_FLUSH);
            out.append(buf, qsizetype(sizeof buf - z.avail_out));
        }
        inflateEnd(&z);
        return rc == Z_STREAM_END ? out : QByteArray();
    }
    return {};
}

// Whether a PSD's own header says CMYK mode: FreeImage hands it over as
// RGB, converted by a guess (the TIFF reader marks such pages itself).
bool cmykPsdFile(const QString& path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return false;
    const QByteArray head = f.read(26);
    const auto* h = reinterpret_cast<const unsigned char*>(head.constData());
    // FreeImage keeps a PSD's profile: judged with it below.
    return head.size() == 26 && head.startsWith("8BPS") && (h[24] << 8 | h[25]) == 4;
}

} // namespace

PictureTraits PictureTraits::Of(FIBITMAP* decoded, const QString& sourcePath)
{
    PictureTraits t;
    if (!decoded)
        return t;
    QByteArray bytes;
    if (FIICCPROFILE* icc = FreeImage_GetICCProfile(decoded); icc && icc->data && icc->size > 0)
        bytes = QByteArray(static_cast<const char*>(icc->data), qsizetype(icc->size));
    else
        bytes = pngProfile(sourcePath);
    if (!bytes.isEmpty()) {
        // Only a profile for what the pixels are: a CMYK picture's profile
        // has done its work by the time the pixels are RGB.
        const int channels = ColourProfile::Channels(bytes);
        const bool grey = FreeImage_GetColorType(decoded) == FIC_MINISBLACK ||
                          FreeImage_GetColorType(decoded) == FIC_MINISWHITE;
        if (channels == 3 || (channels == 1 && grey))
            t.iccProfile = bytes;
    }
    const JpegHeader head = jpegHeaderOfFile(sourcePath);
    FITAG* mark = nullptr;
    // FreeImage hands a CMYK JPEG over as RGB unless it is profiled.
    t.unprofiledCmyk = (FreeImage_GetColorType(decoded) == FIC_CMYK || (head.valid && head.components == 4)
                        || FreeImage_GetMetadata(FIMD_CUSTOM, decoded, kUnprofiledCmykKey, &mark) || cmykPsdFile(sourcePath))
        && ColourProfile::Channels(bytes) != 4;
    FITAG* lossy = nullptr;
    t.lossySource = head.valid || FreeImage_GetMetadata(FIMD_CUSTOM, decoded, kLossyKey, &lossy);
    FITAG* fax = nullptr;
    if (FreeImage_GetMetadata(FIMD_CUSTOM, decoded, kFaxKey, &fax) && FreeImage_GetTagValue(fax)) {
        bool ok = false;
        const quint64 directory = QByteArray(static_cast<const char*>(FreeImage_GetTagValue(fax))).toULongLong(&ok);
        if (ok)
            t.faxSource = {QFileInfo(sourcePath).absoluteFilePath(), directory};
    }
    if (head.valid && head.components == 3 && head.chromaFull && head.lumaH >= 1 && head.lumaV >= 1) {
        t.samplingH = head.lumaH;
        t.samplingV = head.lumaV;
        // Turned upright by its Exif orientation: the factors turn with it.
        const int w = int(FreeImage_GetWidth(decoded)), h = int(FreeImage_GetHeight(decoded));
        if (w != h && w == head.height && h == head.width)
            std::swap(t.samplingH, t.samplingV);
    }
    return t;
}

void PictureTraits::MarkLossy(FIBITMAP* decoded) { FreeImage_SetMetadataKeyValue(FIMD_CUSTOM, decoded, kLossyKey, "1"); }

void PictureTraits::MarkUnprofiledCmyk(FIBITMAP* decoded)
{
    FreeImage_SetMetadataKeyValue(FIMD_CUSTOM, decoded, kUnprofiledCmykKey, "1");
}

void PictureTraits::MarkFaxCoded(FIBITMAP* decoded, quint64 directory)
{
    FreeImage_SetMetadataKeyValue(FIMD_CUSTOM, decoded, kFaxKey, QByteArray::number(directory).constData());
}

QString PictureTraits::SideFile(const QString& bitmapPath) { return bitmapPath + ".traits"; }

// "No traits" is an empty side file rather than none: a job's pages then
// write the same file again instead of making and dropping one a page. On
// ext4 a file made soon after many were dropped costs a search through the
// recently freed inodes (a third of a small page's time after a few jobs);
// Read() takes an empty file, as a partial one, for none.
void PictureTraits::Remove(const QString& bitmapPath)
{
    const QByteArray side = QFile::encodeName(SideFile(bitmapPath));
    if (::truncate(side.constData(), 0) != 0 && errno != ENOENT)
        ::unlink(side.constData());
}

bool PictureTraits::Write(const QString& bitmapPath, int width, int height) const
{
    if (IsEmpty()) {
        Remove(bitmapPath);
        return true;
    }
    // A work file read once, moments later: no flush to the disk (QSaveFile
    // would sync it, milliseconds a page). Read() believes only a whole one.
    QFile f(SideFile(bitmapPath));
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    QByteArray bytes = kMagic +
        QString("%1 %2 %3 %4 %5 %6 %7\n")
            .arg(width)
            .arg(height)
            .arg(samplingH)
            .arg(samplingV)
            .arg(iccProfile.size())
            .arg(unprofiledCmyk ? 1 : 0)
            .arg(lossySource ? 1 : 0)
            .toLatin1() +
        iccProfile;
    if (!jpegSource.path.isEmpty()) {
        const QByteArray path = QFile::encodeName(jpegSource.path);
        bytes += QString("\njpeg %1 %2 %3 %4 %5\n")
                     .arg(jpegSource.quality)
                     .arg(jpegSource.orientation)
                     .arg(jpegSource.size)
                     .arg(jpegSource.crc)
                     .arg(path.size())
                     .toLatin1() +
                 path;
    }
    if (!faxSource.path.isEmpty()) {
        const QByteArray path = QFile::encodeName(faxSource.path);
        bytes += QString("\nfax %1 %2\n").arg(faxSource.directory).arg(path.size()).toLatin1() + path;
    }
    const bool ok = f.write(bytes) == bytes.size() && f.flush();
    f.close();
    if (!ok)
        Remove(bitmapPath);
    return ok;
}

PictureTraits PictureTraits::Read(const QString& bitmapPath, int width, int height)
{
    QFile f(SideFile(bitmapPath));
    if (!f.open(QIODevice::ReadOnly) || f.readLine(64) != kMagic)
        return {};
    const QList<QByteArray> fields = f.readLine(128).trimmed().split(' ');
    if (fields.size() != 7)
        return {};
    bool ok[7] = {};
    qint64 v[7];
    for (int i = 0; i < 7; ++i)
        v[i] = fields[i].toLongLong(&ok[i]);
    if (!(ok[0] && ok[1] && ok[2] && ok[3] && ok[4] && ok[5] && ok[6]) || (v[5] != 0 && v[5] != 1) ||
        (v[6] != 0 && v[6] != 1) || v[0] != width || v[1] != height || v[2] < 0 || v[2] > 4 || v[3] < 0 || v[3] > 4 ||
        v[4] < 0 || v[4] > kMaxProfile)
        return {};
    PictureTraits t;
    t.lossySource = v[6] == 1;
    t.samplingH = int(v[2]);
    t.samplingV = int(v[3]);
    t.unprofiledCmyk = v[5] == 1;
    t.iccProfile = f.read(v[4]);
    if (t.iccProfile.size() != v[4])
        return {};
    // The JPEG and Group 4 sources, each on a line of its own after the
    // profile, each at most once.
    while (!f.atEnd()) {
        const QList<QByteArray> line = f.readLine(4) == "\n" ? f.readLine(128).trimmed().split(' ') : QList<QByteArray>();
        const QByteArray kind = line.value(0);
        const int numbers = kind == "jpeg" && t.jpegSource.path.isEmpty() ? 5
                            : kind == "fax" && t.faxSource.path.isEmpty() ? 2
                                                                           : 0;
        if (numbers == 0 || line.size() != numbers + 1)
            return {};
        qint64 j[5];
        for (int i = 0; i < numbers; ++i) {
            j[i] = line[i + 1].toLongLong(&ok[i]);
            if (!ok[i] || j[i] < 0)
                return {};
        }
        const qint64 pathSize = j[numbers - 1];
        if (pathSize < 1 || pathSize > 4096 ||
            (numbers == 5 && (j[0] < 1 || j[0] > 100 || j[1] < 1 || j[1] > 8 || j[3] > 0xFFFFFFFFll)))
            return {};
        const QByteArray path = f.read(pathSize);
        if (path.size() != pathSize)
            return {};
        if (numbers == 5)
            t.jpegSource = {QFile::decodeName(path), j[2], quint32(j[3]), int(j[0]), int(j[1])};
        else
            t.faxSource = {QFile::decodeName(path), quint64(j[0])};
    }
    return t;
}

PictureTraits PictureTraits::ReadAlone(const QString& bitmapPath, int* width, int* height)
{
    QFile f(SideFile(bitmapPath));
    if (QFileInfo::exists(bitmapPath) || !f.open(QIODevice::ReadOnly) || f.readLine(64) != kMagic)
        return {};
    const QList<QByteArray> size = f.readLine(128).split(' ');
    bool ok[2] = {};
    *width = size.value(0).toInt(&ok[0]);
    *height = size.value(1).toInt(&ok[1]);
    return ok[0] && ok[1] ? Read(bitmapPath, *width, *height) : PictureTraits();
}

bool PictureTraits::IsProfiledCmykJpeg(const QByteArray& jpeg)
{
    const JpegHeader head = walkJpeg([&jpeg](qint64 at, qint64 n) { return jpeg.mid(at, n); });
    return head.valid && head.components == 4 && head.icc;
}
