#include "engine/picture/TiffPages.h"

#include "engine/picture/PictureBytes.h"

#include <QFile>
#include <QLocale>
#include <QSet>

namespace {

// No real document has more; a longer chain is damage.
constexpr int kMaxDirectories = 100000;

} // namespace

int TiffPages::MaxPages() { return 10000; }

QString TiffPages::TooManyPagesText()
{
    return QStringLiteral("the TIFF file has more than %1 pages, the most Velunor takes from one file")
        .arg(QLocale(QLocale::English, QLocale::UnitedStates).toString(MaxPages()));
}

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
    for (int directory = 0; offset != 0 && directory < kMaxDirectories && pages.size() <= MaxPages(); ++directory) {
        if (seen.contains(offset)) // a chain that loops back
            break;
        seen.insert(offset);
        Page page;
        page.directory = directory;
        page.offset = offset;
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
