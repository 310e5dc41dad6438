#include "engine/picture/TiffPages.h"

#include "engine/picture/PictureBytes.h"

#include <QFile>
#include <QLocale>
#include <QMutex>
#include <QSet>

#include <algorithm>
#include <iterator>
#include <sys/stat.h>

namespace {

// No real document has more; a longer chain is damage.
constexpr int kMaxDirectories = 100000;

// Reads a classic TIFF's numbers in its byte order.
struct Order {
    bool le = true;
    quint32 u16(const unsigned char* p) const { return le ? PictureBytes::Le16(p) : PictureBytes::Be16(p); }
    quint32 u32(const unsigned char* p) const
    {
        return le ? quint32(PictureBytes::Le16(p)) | quint32(PictureBytes::Le16(p + 2)) << 16 : PictureBytes::Be32(p);
    }
};

const unsigned char* uc(const QByteArray& b) { return reinterpret_cast<const unsigned char*>(b.constData()); }

// The SHORT or LONG values of one directory entry; empty for another type
// or values outside the file.
QList<quint64> values(QIODevice& f, const Order& o, const unsigned char* entry, quint64 fileSize)
{
    const quint32 type = o.u16(entry + 2), count = o.u32(entry + 4);
    const int size = type == 3 ? 2 : type == 4 ? 4 : 0;
    if (size == 0 || count == 0 || quint64(count) * size > fileSize)
        return {};
    QByteArray bytes;
    if (quint64(count) * size <= 4) {
        bytes = QByteArray(reinterpret_cast<const char*>(entry + 8), 4);
    } else {
        if (!f.seek(o.u32(entry + 8)))
            return {};
        bytes = f.read(qint64(count) * size);
        if (bytes.size() != qint64(count) * size)
            return {};
    }
    QList<quint64> out;
    out.reserve(count);
    for (quint32 k = 0; k < count; ++k)
        out.append(size == 2 ? o.u16(uc(bytes) + 2 * k) : o.u32(uc(bytes) + 4 * k));
    return out;
}

struct Remembered {
    QString path;
    struct stat st {};
    TiffPages::Listing listing;
};

bool sameFile(const struct stat& a, const struct stat& b)
{
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino && a.st_size == b.st_size &&
           a.st_mtim.tv_sec == b.st_mtim.tv_sec && a.st_mtim.tv_nsec == b.st_mtim.tv_nsec;
}

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

TiffPages::Listing TiffPages::Walk(QIODevice& f)
{
    Listing l;
    l.fileSize = quint64(qMax<qint64>(0, f.size()));
    unsigned char head[8];
    if (!f.seek(0) || f.read(reinterpret_cast<char*>(head), 8) != 8 || !IsTiff(QByteArray(reinterpret_cast<char*>(head), 4)))
        return l;
    if (head[2] == '+' || head[3] == '+') { // BigTIFF: read as one picture
        l.pages = {Page{}};
        return l;
    }
    const Order o{head[0] == 'I'};
    quint32 offset = o.u32(head + 4);
    QSet<quint32> seen;
    for (int directory = 0; offset != 0 && directory < kMaxDirectories && l.pages.size() <= MaxPages(); ++directory) {
        if (seen.contains(offset)) // a chain that loops back
            break;
        seen.insert(offset);
        Page page;
        page.directory = directory;
        page.offset = offset;
        unsigned char count[2];
        if (!f.seek(offset) || f.read(reinterpret_cast<char*>(count), 2) != 2) {
            l.pages.append(page); // fails by name when it is decoded
            break;
        }
        const int entries = int(o.u16(count));
        l.directories.append(Span{offset, qMin(l.fileSize, quint64(offset) + 2 + 12 * quint64(entries) + 4), 0});
        const QByteArray table = f.read(qint64(entries) * 12);
        bool reduced = false;
        for (int k = 0; k + 1 <= entries && (k + 1) * 12 <= table.size(); ++k) {
            const unsigned char* e = uc(table) + k * 12;
            const quint32 tag = o.u16(e), type = o.u16(e + 2);
            const quint32 value = type == 3 ? o.u16(e + 8) : o.u32(e + 8);
            if (tag == 254 && (type == 3 || type == 4))
                reduced = (value & 1) != 0;
            else if (tag == 274 && type == 3 && value >= 1 && value <= 8)
                page.orientation = int(value);
        }
        if (directory == 0 || !reduced)
            l.pages.append(page);
        unsigned char next[4];
        if (table.size() != qint64(entries) * 12 || f.read(reinterpret_cast<char*>(next), 4) != 4)
            break;
        offset = o.u32(next);
    }
    std::sort(l.directories.begin(), l.directories.end(), [](const Span& a, const Span& b) { return a.begin < b.begin; });
    for (qsizetype k = 0; k < l.directories.size(); ++k)
        l.directories[k].reach = qMax(l.directories[k].end, k > 0 ? l.directories[k - 1].reach : 0);
    return l;
}

TiffPages::Listing TiffPages::Listed(const QString& path)
{
    // The page maker asks in one thread and the decoding helper in its own
    // process; the lock keeps any other caller safe.
    static QMutex lock;
    static Remembered last;
    struct stat st {};
    if (::stat(QFile::encodeName(path).constData(), &st) != 0 || !S_ISREG(st.st_mode))
        return {};
    QMutexLocker hold(&lock);
    if (last.path != path || !sameFile(last.st, st)) {
        QFile f(path);
        last = Remembered();
        if (!f.open(QIODevice::ReadOnly))
            return {};
        last.listing = Walk(f);
        last.path = path;
        last.st = st;
    }
    return last.listing;
}

QString TiffPages::SpanProblem(const Listing& listing, quint64 begin, quint64 length)
{
    if (begin > listing.fileSize || length > listing.fileSize - begin)
        return QStringLiteral("the TIFF page is damaged or incomplete: its pixel data runs past the end of the file");
    // The directories starting before the bytes end overlap them when the
    // farthest any of them reaches lies past their beginning.
    const auto after = std::lower_bound(listing.directories.begin(), listing.directories.end(), begin + length,
                                        [](const Span& s, quint64 at) { return s.begin < at; });
    if (after != listing.directories.begin() && std::prev(after)->reach > begin)
        return QStringLiteral("the TIFF page is damaged: its pixel data overlaps a directory of the file");
    return {};
}

QString TiffPages::DataProblem(QIODevice& f, const Listing& listing, int page)
{
    if (page < 0 || page >= listing.pages.size() || listing.directories.isEmpty())
        return {};
    unsigned char head[2];
    if (!f.seek(0) || f.read(reinterpret_cast<char*>(head), 2) != 2)
        return {};
    const Order o{head[0] == 'I'};
    const quint64 at = listing.pages.at(page).offset;
    unsigned char count[2];
    if (!f.seek(at) || f.read(reinterpret_cast<char*>(count), 2) != 2)
        return {};
    const int entries = int(o.u16(count));
    const QByteArray table = f.read(qint64(entries) * 12);
    const unsigned char* offsetsEntry = nullptr;
    const unsigned char* countsEntry = nullptr;
    for (int k = 0; (k + 1) * 12 <= table.size(); ++k) {
        const unsigned char* e = uc(table) + k * 12;
        const quint32 tag = o.u16(e);
        if (tag == 273 || tag == 324)
            offsetsEntry = e;
        else if (tag == 279 || tag == 325)
            countsEntry = e;
    }
    if (!offsetsEntry || !countsEntry)
        return {}; // libtiff says what is missing
    const QList<quint64> offsets = values(f, o, offsetsEntry, listing.fileSize);
    const QList<quint64> counts = values(f, o, countsEntry, listing.fileSize);
    for (qsizetype k = 0; k < qMin(offsets.size(), counts.size()); ++k) {
        const QString problem = SpanProblem(listing, offsets[k], counts[k]);
        if (!problem.isEmpty())
            return problem;
    }
    return {};
}
