#pragma once
#include <QByteArray>
#include <QString>

#include <functional>

// Puts the finished document into the output folder as one directory entry,
// replacing what was there (a file, or a symbolic link itself, never the
// link's target) only once the new document is known to be whole: written
// into an unnamed file (O_TMPFILE) in the output folder, flushed to the disk,
// its size and pages read back. On any failure the old entry stays as it was
// and nothing else is left in the output folder.
//
// The document's only name before it replaces the old entry is in the
// staging folder (a private work folder) when that is on the output folder's
// file system, so a kill at any moment leaves the output folder with the old
// document or the new one and nothing else. On another file system a hidden
// name in the output folder lives for two system calls (with the catchable
// signals held back); a note in the staging folder lets the next start-up
// remove it should the program be killed right then (SweepNote).
class OutputPlacement {
public:
    enum class Entry { None, File, Link, Folder, Other };

    // What is at path, not following a symbolic link.
    static Entry EntryAt(const QString& path);

    // Why a document cannot be placed at target, in user words; empty if it
    // can. Cheap, so it is asked before any page is made: a path too long,
    // a folder or a device in the way, an entry the folder's sticky bit
    // keeps us from replacing.
    static QString Problem(const QString& target);

    // Removes a hidden name a killed placement may have left in an output
    // folder, as its notes in stagingFolder say; then the notes.
    static void SweepNote(const QString& stagingFolder);

    // Reads the copy about to be linked in (through path) and says what is
    // wrong with it; true when it is whole.
    using Check = std::function<bool(const QString& path, QString* problem)>;

    // `what` names the file in messages ("document", "text file").
    explicit OutputPlacement(const QString& stagingFolder, const QString& what = QStringLiteral("document"))
        : m_staging(stagingFolder), m_what(what)
    {
    }

    // Runs when the copy is whole, just before it replaces the entry; a
    // false answer (with *error) leaves the old entry, so two files can be
    // put in place together: the other one's placement runs here.
    using BeforeLink = std::function<bool(QString* error)>;

    // Copies `from` to target. An existing entry is replaced only when
    // `replace` (else its appearance meanwhile is a failure). False with
    // *error in user words, naming the system's reason.
    bool Place(const QString& from, const QString& target, bool replace, const Check& check, QString* error,
               const BeforeLink& beforeLink = {});

private:
    // The staging folder's name for this kind of file.
    QByteArray stagingName(const char* documentName) const;

    QString m_staging;
    QString m_what;
};
