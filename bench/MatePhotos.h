#pragma once
// The photos every benchmark measures: the twelve Debian's mate-backgrounds
// ships, in name order.
#include <QDir>
#include <QStringList>

// The twelve once, or `count` of them cycled (none when the package is
// missing).
inline QStringList matePhotos(int count = 0)
{
    const QDir dir("/usr/share/backgrounds/mate/nature");
    const QStringList names = dir.entryList({"*.jpg"}, QDir::Files, QDir::Name);
    QStringList out;
    for (int i = 0; !names.isEmpty() && i < (count > 0 ? count : names.size()); ++i)
        out << dir.filePath(names[i % names.size()]);
    return out;
}
