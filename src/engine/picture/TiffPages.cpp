#include "engine/picture/TiffPages.h"

#include "engine/picture/FreeImageDiagnostics.h"
#include "engine/picture/PictureBytes.h"

#include <QFile>
#include <QSet>

#include <cstring>

namespace {

// No real document has more; a longer chain is damage.
constexpr int kMaxDirectories = 100000;

struct MultiClose {
    void operator()(FIMULTIBITMAP* m) const { FreeImage_CloseMultiBitmap(m, 0); }
};
using MultiBitmap = std::unique_ptr<FIMULTIBITMAP, MultiClose>;

QString withReason(const QString& sentence)
{
    const QString said = FreeImageDiagnostics::Take();
    return said.isEmpty() ? sentence : sentence + " (" + QString(said).replace('\n', "; ") + ")";
}

} // namespace

bool TiffPages::IsTiff(const QByteArray& head)
{
    return head.startsWith(QByteArray("II*\0", 4)) || head.startsWith(QByteArray("MM\0*", 4)) ||
           head.startsWith(QByteArray("II+\0", 4)) || head.startsWith(QByteArray("MM\0+", 4));
}

QList<TiffPages::Page> TiffPages::List(QIODevice& f)
{
    QList<Page> pages;
    unsigned char head[8];
    if (f.read(reinterpret_cast<char*>(head), 8) != 8 || !IsTiff(QByteArray(reinterpret_cast<char*>(head), 4)))
        return pages;
    if (head[2] == '+' || head[3] == '+') // BigTIFF: read as one picture
        return {Page{}};
    const bool le = head[0] == 'I';
    auto u16 = [le](const unsigned char* p) { return le ? PictureBytes::Le16(p) : PictureBytes::Be16(p); };
    auto u32 = [le](const unsigned char* p) {
        return le ? quint32(PictureBytes::Le16(p)) | quint32(PictureBytes::Le16(p + 2)) << 16 : PictureBytes::Be32(p);
    };
    quint32 offset = u32(head + 4);
    QSet<quint32> seen;
    for (int directory = 0; offset != 0 && directory < kMaxDirectories; ++directory) {
        if (seen.contains(offset)) // a chain that loops back
            break;
        seen.insert(offset);
        Page page;
        page.directory = directory;
        unsigned char count[2];
        if (!f.seek(offset) || f.read(reinterpret_cast<char*>(count), 2) != 2) {
            pages.append(page); // fails by name when it is decoded
            break;
        }
        const int entries = u16(count);
        const QByteArray table = f.read(qint64(entries) * 12);
        bool reduced = false;
        for (int k = 0; k + 1 <= entries && (k + 1) * 12 <= table.size(); ++k) {
            const auto* e = reinterpret_cast<const unsigned char*>(table.constData()) + k * 12;
            const int tag = u16(e), type = u16(e + 2);
            const quint32 value = type == 3 ? u16(e + 8) : u32(e + 8);
            if (tag == 254 && (type == 3 || type == 4))
                reduced = (value & 1) != 0;
            else if (tag == 274 && type == 3 && value >= 1 && value <= 8)
                page.orientation = int(value);
        }
        if (directory == 0 || !reduced)
            pages.append(page);
        unsigned char next[4];
        if (table.size() != qint64(entries) * 12 || f.read(reinterpret_cast<char*>(next), 4) != 4)
            break;
        offset = u32(next);
    }
    return pages;
}

QList<TiffPages::Page> TiffPages::List(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? List(f) : QList<Page>();
}

FiBitmap TiffPages::ReadPage(const QString& path, int page, QString* error)
{
    const QList<Page> pages = List(path);
    if (page < 0 || page >= pages.size()) {
        *error = QStringLiteral("the TIFF file has no page %1").arg(page + 1);
        return nullptr;
    }
    const Page p = pages.at(page);
    FreeImageDiagnostics::Collect();
    const QByteArray p8 = QFile::encodeName(path);
    {
        // The page's header alone first: its size and depth.
        MultiBitmap head(FreeImage_OpenMultiBitmap(FIF_TIFF, p8.constData(), FALSE, TRUE, FALSE, FIF_LOAD_NOPIXELS));
        FIBITMAP* info = head ? FreeImage_LockPage(head.get(), p.directory) : nullptr;
        if (!info) {
            *error = withReason(QStringLiteral("the page could not be decoded as TIFF"));
            return nullptr;
        }
        const qint64 w = FreeImage_GetWidth(info), h = FreeImage_GetHeight(info);
        const int bpp = int(FreeImage_GetBPP(info));
        FreeImage_UnlockPage(head.get(), info, FALSE);
        // The page as decoded, our copy of it, a turned copy, the page's copies.
        const int copy = bpp / 8 + (p.orientation != 1 ? bpp / 8 : 0) + 7;
        if (!PictureReader::WithinLimit(w, h, error) || !PictureReader::WithinMemory(w, h, bpp, copy, error))
            return nullptr;
    }
    MultiBitmap doc(FreeImage_OpenMultiBitmap(FIF_TIFF, p8.constData(), FALSE, TRUE, FALSE, 0));
    FIBITMAP* locked = doc ? FreeImage_LockPage(doc.get(), p.directory) : nullptr;
    FiBitmap dib(locked && FreeImage_HasPixels(locked) ? FreeImage_Clone(locked) : nullptr);
    if (locked)
        FreeImage_UnlockPage(doc.get(), locked, FALSE);
    doc.reset();
    if (!dib || FreeImage_GetWidth(dib.get()) == 0 || FreeImage_GetHeight(dib.get()) == 0) {
        *error = withReason(QStringLiteral("the page could not be decoded as TIFF"));
        return nullptr;
    }
    if (FreeImageDiagnostics::TiffFailed()) {
        *error = "the TIFF page is damaged or incomplete (" + FreeImageDiagnostics::Take().replace('\n', "; ") + ")";
        return nullptr;
    }
    if (p.orientation != 1) {
        dib = PictureReader::Turned(std::move(dib), p.orientation);
        if (!dib) {
            *error = withReason(QStringLiteral("the page could not be turned upright"));
            return nullptr;
        }
    }
    return dib;
}
