#pragma once
#include "engine/picture/PictureReader.h"

#include <QByteArray>
#include <QList>
#include <QString>

class QIODevice;

// The pages of a TIFF: a scanner's multi-page TIFF is a document, and each
// of its pages becomes a page. The directories are walked by our own
// bounds-checked reader, without decoding anything.
class TiffPages {
public:
    struct Page {
        int directory = 0;   // its place in the file's chain of directories
        int orientation = 1; // its own Orientation tag
    };

    static bool IsTiff(const QByteArray& head);

    // Directory 0, then every further directory that is not a
    // reduced-resolution copy (a thumbnail) of another. A directory the
    // chain points to but that cannot be read still counts, so that its
    // page fails by name rather than going missing. Empty when the bytes
    // are no TIFF; one page for a BigTIFF (its first directory).
    static QList<Page> List(QIODevice& f);
    static QList<Page> List(const QString& path);

    // Decodes page `page` (0 is the first), its size and memory checked
    // first and turned upright by its own orientation. Null with *error.
    static FiBitmap ReadPage(const QString& path, int page, QString* error);
};
