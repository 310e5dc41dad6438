#include "engine/picture/HeifBoxes.h"

#include "engine/picture/PictureBytes.h"
#include "engine/picture/PictureLimits.h"

#include <QHash>
#include <QList>

#include <cstring>

namespace {

// A window on the file's bytes; every read is checked against its end.
struct Span {
    const unsigned char* p = nullptr;
    qint64 n = 0;
    bool ok(qint64 at, qint64 len) const { return at >= 0 && len >= 0 && at + len <= n; }
    quint64 uint(qint64 at, int bytes) const
    {
        quint64 v = 0;
        for (int i = 0; i < bytes; ++i)
            v = v << 8 | p[at + i];
        return v;
    }
};

struct Box {
    char type[5] = {};
    Span body;
};

// The boxes one after another in `s`; stops at the first that does not fit.
QList<Box> children(const Span& s)
{
    QList<Box> out;
    for (qint64 at = 0; s.ok(at, 8) && out.size() < 100000;) {
        qint64 size = qint64(s.uint(at, 4)), head = 8;
        if (size == 1) {
            if (!s.ok(at, 16))
                break;
            size = qint64(s.uint(at + 8, 8) & 0x7FFFFFFFFFFFFFFFull);
            head = 16;
        } else if (size == 0) {
            size = s.n - at;
        }
        if (size < head || !s.ok(at, size))
            break;
        Box b;
        std::memcpy(b.type, s.p + at + 4, 4);
        b.body = Span{s.p + at + head, size - head};
        out << b;
        at += size;
    }
    return out;
}

const Box* find(const QList<Box>& boxes, const char* type)
{
    for (const Box& b : boxes) {
        if (std::memcmp(b.type, type, 4) == 0)
            return &b;
    }
    return nullptr;
}

// A full box's contents after its version and flags.
Span afterVersion(const Span& s) { return s.n >= 4 ? Span{s.p + 4, s.n - 4} : Span{}; }

struct Size {
    quint32 w = 0, h = 0;
    bool operator==(const Size& o) const { return w == o.w && h == o.h; }
};

struct Meta {
    quint32 primary = 0;
    QHash<quint32, QByteArray> types;
    QHash<quint32, Size> ispe;
    bool layered = false; // the primary picture has a1lx or lsel
    QList<quint32> tiles; // the primary picture's dimg references
    QByteArray gridData;
};

// The primary item's bytes from iloc (in the file, or in idat).
QByteArray itemData(const Span& file, const Span& iloc, const Box* idat, quint32 item)
{
    const int version = iloc.n > 0 ? iloc.p[0] : -1;
    const Span s = afterVersion(iloc);
    if (version < 0 || version > 2 || !s.ok(0, 2))
        return {};
    const int offsetSize = s.p[0] >> 4, lengthSize = s.p[0] & 15, baseSize = s.p[1] >> 4,
              indexSize = version >= 1 ? s.p[1] & 15 : 0;
    qint64 at = 2;
    const int idBytes = version < 2 ? 2 : 4;
    if (!s.ok(at, idBytes))
        return {};
    const quint64 count = s.uint(at, idBytes);
    at += idBytes;
    for (quint64 i = 0; i < count && s.ok(at, idBytes); ++i) {
        const quint32 id = quint32(s.uint(at, idBytes));
        at += idBytes;
        int method = 0;
        if (version >= 1) {
            if (!s.ok(at, 2))
                return {};
            method = int(s.uint(at, 2) & 15);
            at += 2;
        }
        if (!s.ok(at, 2 + baseSize + 2))
            return {};
        const quint64 base = s.uint(at + 2, baseSize);
        at += 2 + baseSize;
        const quint64 extents = s.uint(at, 2);
        at += 2;
        QByteArray out;
        for (quint64 e = 0; e < extents; ++e) {
            if (!s.ok(at, indexSize + offsetSize + lengthSize))
                return {};
            const quint64 offset = base + s.uint(at + indexSize, offsetSize);
            const quint64 length = s.uint(at + indexSize + offsetSize, lengthSize);
            at += indexSize + offsetSize + lengthSize;
            if (id != item)
                continue;
            const Span& from = method == 1 && idat ? idat->body : file;
            if ((method != 0 && method != 1) || length > 64 || !from.ok(qint64(offset), qint64(length)))
                return {};
            out.append(reinterpret_cast<const char*>(from.p + offset), qsizetype(length));
        }
        if (id == item)
            return out;
    }
    return {};
}

bool readMeta(const Span& file, Meta* m)
{
    const QList<Box> top = children(file);
    const Box* metaBox = find(top, "meta");
    if (!metaBox)
        return false;
    const QList<Box> meta = children(afterVersion(metaBox->body));
    const Box* pitm = find(meta, "pitm");
    const int pitmBytes = pitm && pitm->body.n > 0 && pitm->body.p[0] != 0 ? 4 : 2;
    if (!pitm || !pitm->body.ok(4, pitmBytes))
        return false;
    m->primary = quint32(pitm->body.uint(4, pitmBytes));
    if (const Box* iinf = find(meta, "iinf")) {
        const Span s = afterVersion(iinf->body);
        const int skip = iinf->body.n > 0 && iinf->body.p[0] == 0 ? 2 : 4;
        for (const Box& infe : children(s.n >= skip ? Span{s.p + skip, s.n - skip} : Span{})) {
            const int version = infe.body.n > 0 ? infe.body.p[0] : 0;
            const int idBytes = version == 3 ? 4 : 2;
            if (version >= 2 && infe.body.ok(4, idBytes + 6))
                m->types.insert(quint32(infe.body.uint(4, idBytes)),
                                QByteArray(reinterpret_cast<const char*>(infe.body.p + 4 + idBytes + 2), 4));
        }
    }
    if (const Box* iref = find(meta, "iref")) {
        const int idBytes = iref->body.n > 0 && iref->body.p[0] == 1 ? 4 : 2;
        for (const Box& r : children(afterVersion(iref->body))) {
            if (std::memcmp(r.type, "dimg", 4) != 0 || !r.body.ok(0, idBytes + 2) ||
                r.body.uint(0, idBytes) != m->primary)
                continue;
            const quint64 count = r.body.uint(idBytes, 2);
            for (quint64 i = 0; i < count && r.body.ok(idBytes + 2 + qint64(i) * idBytes, idBytes); ++i)
                m->tiles << quint32(r.body.uint(idBytes + 2 + qint64(i) * idBytes, idBytes));
        }
    }
    if (const Box* iprp = find(meta, "iprp")) {
        const QList<Box> parts = children(iprp->body);
        const Box* ipco = find(parts, "ipco");
        const Box* ipma = find(parts, "ipma");
        const QList<Box> props = ipco ? children(ipco->body) : QList<Box>();
        if (ipma && ipma->body.n >= 8) {
            const int version = ipma->body.p[0];
            const bool wide = ipma->body.p[3] & 1;
            const Span s = afterVersion(ipma->body);
            const quint64 count = s.uint(0, 4);
            qint64 at = 4;
            for (quint64 i = 0; i < count; ++i) {
                const int idBytes = version < 1 ? 2 : 4;
                if (!s.ok(at, idBytes + 1))
                    break;
                const quint32 id = quint32(s.uint(at, idBytes));
                const int n = s.p[at + idBytes];
                at += idBytes + 1;
                for (int k = 0; k < n && s.ok(at, wide ? 2 : 1); ++k) {
                    const int index = int(wide ? s.uint(at, 2) & 0x7FFF : s.p[at] & 0x7F);
                    at += wide ? 2 : 1;
                    if (id == m->primary && index >= 1 && index <= props.size() &&
                        (std::memcmp(props[index - 1].type, "a1lx", 4) == 0 ||
                         std::memcmp(props[index - 1].type, "lsel", 4) == 0))
                        m->layered = true;
                    if (index >= 1 && index <= props.size() && std::memcmp(props[index - 1].type, "ispe", 4) == 0 &&
                        props[index - 1].body.n >= 12)
                        m->ispe.insert(id, Size{quint32(props[index - 1].body.uint(4, 4)),
                                                quint32(props[index - 1].body.uint(8, 4))});
                }
            }
        }
    }
    if (const Box* iloc = find(meta, "iloc"))
        m->gridData = itemData(file, iloc->body, find(meta, "idat"), m->primary);
    return true;
}

} // namespace

bool HeifBoxes::Check(const QByteArray& file, const char* kind, QString* error)
{
    const Span span{reinterpret_cast<const unsigned char*>(file.constData()), file.size()};
    Meta m;
    if (!readMeta(span, &m))
        return true;
    if (m.layered) {
        *error = QStringLiteral("it is a layered %1 (a picture in AV1 layers), which Velunor does not read")
                     .arg(QLatin1String(kind));
        return false;
    }
    if (m.types.value(m.primary) != "grid")
        return true;
    const QString what = QStringLiteral("the %1 grid picture").arg(QLatin1String(kind));
    const QByteArray& g = m.gridData;
    if (g.size() < 8 || g[0] != 0) {
        *error = what + QStringLiteral(" is damaged: its grid description cannot be read");
        return false;
    }
    const bool wide = g[1] & 1;
    const Span d{reinterpret_cast<const unsigned char*>(g.constData()), g.size()};
    if (wide && g.size() < 12) {
        *error = what + QStringLiteral(" is damaged: its grid description cannot be read");
        return false;
    }
    const int rows = d.p[2] + 1, columns = d.p[3] + 1;
    const Size grid{quint32(d.uint(4, wide ? 4 : 2)), quint32(d.uint(wide ? 8 : 6, wide ? 4 : 2))};
    if (m.tiles.size() != rows * columns) {
        *error = what + QStringLiteral(" is damaged: its grid of %1 x %2 tiles names %3 tiles")
                            .arg(columns)
                            .arg(rows)
                            .arg(m.tiles.size());
        return false;
    }
    const Size tile = m.ispe.value(m.tiles.first());
    for (const quint32 t : m.tiles) {
        if (!(m.ispe.value(t) == tile) || tile.w == 0 || tile.h == 0) {
            *error = what + QStringLiteral(" is damaged: its tiles are not all of one size");
            return false;
        }
    }
    // The tiles cover the grid, and the last column and row reach into it.
    const bool fits = quint64(columns) * tile.w >= grid.w && quint64(columns - 1) * tile.w < grid.w &&
                      quint64(rows) * tile.h >= grid.h && quint64(rows - 1) * tile.h < grid.h;
    if (!fits) {
        *error = what + QStringLiteral(" is damaged: it declares %1 x %2 pixels, but its %3 x %4 tiles of %5 x %6 "
                                       "pixels make another size")
                            .arg(grid.w)
                            .arg(grid.h)
                            .arg(columns)
                            .arg(rows)
                            .arg(tile.w)
                            .arg(tile.h);
        return false;
    }
    if (m.ispe.contains(m.primary) && !(m.ispe.value(m.primary) == grid)) {
        *error = what + QStringLiteral(" is damaged: its grid declares %1 x %2 pixels, its size box %3 x %4")
                            .arg(grid.w)
                            .arg(grid.h)
                            .arg(m.ispe.value(m.primary).w)
                            .arg(m.ispe.value(m.primary).h);
        return false;
    }
    return PictureLimits::WithinLimit(grid.w, grid.h, error);
}
