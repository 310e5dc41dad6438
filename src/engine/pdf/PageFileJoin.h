#pragma once
#include <QString>
#include <QStringList>

// Puts the one-page files made from the pages of one picture (a multi-page
// TIFF) into that picture's page file, in order, so the job still joins one
// page file per list entry.
class PageFileJoin {
public:
    // Writes `parts`' pages, in order, into `out` (through a ".part" file
    // renamed when whole). Streams are copied as they are. False with
    // *error, a sentence, and no `out` left, on failure.
    static bool Join(const QStringList& parts, const QString& out, QString* error);
};
