#pragma once
#include <QString>

// What a picture file's first bytes tell before it is decoded: whether it
// is there and readable, whether its content is a kind of picture we read,
// and, where the header says so cheaply, whether its size is within the
// limits. No decoder library runs (only our own byte readers), so it is
// safe on any file and on any thread. It finds what certainly fails; a
// file it passes may still fail when its pixels are decoded.
class HeaderCheck {
public:
    // Why `path` will not make a page, in user words without the file name;
    // empty when nothing is known against it.
    static QString Problem(const QString& path);
    // The size in pixels a picture's header gives, where our own readers
    // find it (JPEG, PNG, GIF, BMP, IFF); false otherwise.
    static bool DeclaredSize(const QString& path, qint64* width, qint64* height);
};
