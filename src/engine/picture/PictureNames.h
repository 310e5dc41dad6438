#pragma once
#include <QString>
#include <QStringList>

// The one table of picture names: which extension selects which decoder,
// which file names the folder search takes and which dropped paths the list
// takes, and the Add dialog's patterns. The page maker, the folder walk, the
// drop intake and the dialog all read it, so a kind added here reaches them
// all at once.
class PictureNames {
public:
    // Identifiers of the kinds FreeImage does not read, numbered after its
    // own published formats (FREE_IMAGE_FORMAT) so the two never meet.
    enum OwnFormat { FormatHeif = 1001, FormatAvif = 1002, FormatJxl = 1003 };

    // The page maker's table: the extension (text after the last ".", or
    // the whole path, lower case) selects a format identifier; an extension
    // outside the table gives `current`, so the previous entry's carries over.
    static int FormatForExtension(const QString& path, int current);

    // The folder search's test: the whole name ends, ignoring case, in one
    // of the listed suffixes, dot included (".jpg" alone passes).
    static bool IsSearchName(const QString& name);

    // The drop test: the path's last three or four characters, ignoring
    // case, are one of the listed extensions; no dot is needed.
    static bool IsDropPath(const QString& path);

    // The extensions the folder search and drops take, in table order.
    static QStringList ListedExtensions();
    // The extensions added beside the designed ones (heic, heif, avif, webp,
    // jxl, the PNM family and tga).
    static QStringList NewExtensions();
    // Every extension of the page maker's table: every kind that is read.
    static QStringList AllExtensions();

    // Whether FreeImage's format `format` is one of the kinds read; a file
    // whose content is any other kind is refused by name, undecoded.
    static bool IsOurKind(int format);
};
