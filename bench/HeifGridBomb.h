#pragma once
// A HEIC grid made byte by byte: 2 x 2 tiles of one 128 x 128 picture that
// heif-enc codes, a size box of 256 x 256, and a grid that asks for
// `width` x `height` pixels (256 x 256 makes a sound file).
#include <QByteArray>
#include <QFile>
#include <QProcess>

namespace heifgrid {

inline QByteArray be(quint32 v, int bytes)
{
    QByteArray out;
    for (int k = bytes - 1; k >= 0; --k)
        out += char(v >> (8 * k));
    return out;
}

inline QByteArray box(const char* type, const QByteArray& body) { return be(quint32(8 + body.size()), 4) + type + body; }

inline QByteArray fullBox(const char* type, int version, const QByteArray& body)
{
    return box(type, be(quint32(version) << 24, 4) + body);
}

// The whole box of `type` that starts inside `file`, or nothing.
inline QByteArray boxOf(const QByteArray& file, const char* type)
{
    const qsizetype at = file.indexOf(type);
    if (at < 4)
        return {};
    const auto* p = reinterpret_cast<const unsigned char*>(file.constData()) + at - 4;
    return file.mid(at - 4, qsizetype(quint32(p[0]) << 24 | p[1] << 16 | p[2] << 8 | p[3]));
}

inline QByteArray make(const QString& folder, quint16 width, quint16 height)
{
    const QString png = folder + "/tile.png", heic = folder + "/tile.heic";
    QProcess p;
    p.start("sh", {"-c", QString("convert -size 128x128 gradient: '%1' && heif-enc -q 50 '%1' -o '%2'").arg(png, heic)});
    QFile f(heic);
    if (!p.waitForFinished(120000) || p.exitCode() != 0 || !f.open(QIODevice::ReadOnly))
        return {};
    const QByteArray tile = f.readAll();
    const QByteArray hvcC = boxOf(tile, "hvcC"), coded = boxOf(tile, "mdat").mid(8);
    if (hvcC.isEmpty() || coded.isEmpty())
        return {};
    const QByteArray ftyp = box("ftyp", QByteArray("heic") + be(0, 4) + "mif1heic");
    QByteArray infos = be(5, 2), references = be(1, 2) + be(4, 2), links;
    for (quint32 item = 1; item <= 5; ++item) {
        infos += fullBox("infe", 2, be(item, 2) + be(0, 2) + (item == 1 ? "grid" : "hvc1") + QByteArray(1, '\0'));
        if (item > 1) {
            references += be(item, 2);
            links += be(item, 2) + be(2, 1) + be(0x81, 1) + be(2, 1); // its coding (essential) and size
        }
    }
    const QByteArray properties = box("ipco", hvcC + fullBox("ispe", 0, be(128, 4) + be(128, 4)) +
                                                  fullBox("ispe", 0, be(256, 4) + be(256, 4)));
    const QByteArray associations = fullBox("ipma", 0, be(5, 4) + be(1, 2) + be(1, 1) + be(3, 1) + links);
    // Version 0, 16-bit sizes, rows and columns minus one, then the size.
    const QByteArray grid = be(0, 2) + be(1, 1) + be(1, 1) + be(width, 2) + be(height, 2);
    auto meta = [&](quint32 codedAt) {
        // Offsets and lengths of 4 bytes; the grid in idat, the tiles in mdat.
        QByteArray places = be(0x4400, 2) + be(5, 2);
        for (quint32 item = 1; item <= 5; ++item)
            places += be(item, 2) + be(item == 1 ? 1 : 0, 2) + be(0, 2) + be(1, 2) + be(item == 1 ? 0 : codedAt, 4) +
                      be(quint32(item == 1 ? grid.size() : coded.size()), 4);
        return fullBox("meta", 0,
                       fullBox("hdlr", 0, be(0, 4) + "pict" + QByteArray(13, '\0')) + fullBox("pitm", 0, be(1, 2)) +
                           fullBox("iloc", 1, places) + fullBox("iinf", 0, infos) +
                           fullBox("iref", 0, box("dimg", references)) + box("iprp", properties + associations) +
                           box("idat", grid));
    };
    const quint32 codedAt = quint32(ftyp.size() + meta(0).size() + 8);
    return ftyp + meta(codedAt) + box("mdat", coded);
}

} // namespace heifgrid
