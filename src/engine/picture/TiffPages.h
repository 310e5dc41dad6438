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
    // Where one directory of the chain lies in the file, [begin, end), and
    // the farthest end of it and the directories starting before it.
    struct Span {
        quint64 begin = 0, end = 0, reach = 0;
    };
    // The pages of a file, with the places of all its directories (pages
    // and thumbnails, in file order) and its size.
    struct Listing {
        QList<Page> pages;
        QList<Span> directories;
        quint64 fileSize = 0;
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
    static Listing Walk(QIODevice& f);
    static QList<Page> List(QIODevice& f) { return Walk(f).pages; }
    static QList<Page> List(const QString& path) { return Listed(path).pages; }
    // The listing of `path`, walked once while the file stays the same (its
    // identity, size and time): a file of n pages read page by page costs
    // one walk, not n.
    static Listing Listed(const QString& path);

    // What is wrong with where page `page`'s pixel data lies, as the file
    // itself states it (libtiff replaces a strip size past the end of the
    // file with a guess, which then reads the next page's bytes): empty
    // when every strip or tile lies inside the file, clear of directories.
    static QString DataProblem(QIODevice& f, const Listing& listing, int page);
    // What is wrong with pixel data at [begin, begin + length): past the
    // end of the file, or over a directory. Empty when nothing is.
    static QString SpanProblem(const Listing& listing, quint64 begin, quint64 length);
};
