#pragma once
#include <QByteArray>
#include <QList>
#include <QString>
#include <QtGlobal>

class QIODevice;

// The pages of a TIFF: a scanner's multi-page TIFF is a document, and each
// of its pages becomes a page. The directories are walked by our own
// bounds-checked reader, without decoding anything.
class TiffPages {
public:
    struct Page {
        int directory = 0;   // its place in the file's chain of directories
        int orientation = 1; // its own Orientation tag
        quint64 offset = 0;  // where its directory starts in the file
    };

    static bool IsTiff(const QByteArray& head);

    // The most pages taken from one file: far beyond any scanner's
    // document. A file with more is refused before anything is decoded.
    static int MaxPages();
    // The reason given for such a file.
    static QString TooManyPagesText();

    // Directory 0, then every further directory that is not a
    // reduced-resolution copy (a thumbnail) of another. A directory the
    // chain points to but that cannot be read still counts, so that its
    // page fails by name rather than going missing. The walk stops at
    // MaxPages() + 1 pages. Empty when the bytes are no TIFF; one page for a
    // BigTIFF (its first directory).
    static QList<Page> List(QIODevice& f);
    static QList<Page> List(const QString& path);
};
