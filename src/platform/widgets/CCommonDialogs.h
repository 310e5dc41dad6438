#pragma once
#include <QPointer>
#include <QString>
#include <QStringList>
#include <QtGlobal>

class QFileDialog;
class QWidget;

// The standard dialogs (open, save, folder, colour, font, printer) behind one
// object with plain properties. Set the properties that describe the dialog,
// call a Show... method, read the answer back. Every Show... returns true only
// when the user confirmed; on false no property changes (ShowSave's
// preparation of Path aside).
//
// Paths use "/" and carry no trailing "/" in Path, so the folder of a file in
// the root "/" reads as empty text (Path + "/" + FileTitle gives the file back).
// The file dialogs are Qt's own widgets, not the desktop's, so they look the
// same everywhere and can be driven by tests.
class CCommonDialogs {
public:
    CCommonDialogs() = default;

    // Passed to ShowFont: in and out.
    void setFontUnderline(bool v);
    bool FontUnderline() const;
    void setFontItalic(bool v);
    bool FontItalic() const;
    void setFontBold(bool v);
    bool FontBold() const;
    void setFontSize(qint16 points);
    qint16 FontSize() const;
    void setFontName(const QString& v);
    QString FontName() const;

    // 0x00BBGGRR: red in the lowest byte.
    void setColor(quint32 v);
    quint32 Color() const;

    // Default extension of ShowOpen (with or without the leading dot).
    void setDefExt(const QString& v);
    QString DefExt() const;

    // Caption of ShowOpen, heading of ShowFolder. Read up to its first NUL.
    void setTitle(const QString& v);
    QString Title() const;

    // Owner of every dialog; must be called before any Show... method.
    void Init(QWidget* OwnerForm);

    // Folder: start of ShowSave, answer of ShowFolder, folder of the chosen
    // file after ShowOpen/ShowSave. Read up to its first NUL.
    void setPath(const QString& v);
    QString Path() const;

    // Name without folder of the last chosen file. Read up to its first NUL.
    void setFileTitle(const QString& v);
    QString FileTitle() const;

    // "description|pattern|description|pattern..." (patterns ";"-separated).
    QString Filter() const;
    void setFilter(const QString& v);

    // Full path: initial name of ShowOpen, answer of ShowOpen/ShowSave.
    // Read up to its first NUL.
    QString Filename() const;
    void setFilename(const QString& v);

    bool ShowPrinter();
    bool ShowFolder();
    // FullOpen opens the dialog with its colour picker part shown; without
    // it only the basic and custom colours show until "Define Custom Colors".
    bool ShowColor(bool FullOpen = false);
    bool ShowFont();
    // Throws RuntimeError (5) when Filename is longer than MaxPath characters,
    // and (91) when Init was not called; both before any dialog shows.
    bool ShowOpen();
    // Beside the designed single file: ShowOpen takes several files at once
    // while this is on. Filenames: every file of the last confirmed
    // ShowOpen, in the dialog's order (Filename is the first).
    void setMultiSelect(bool on) { mMultiSelect = on; }
    QStringList Filenames() const { return mFilenames; }
    bool ShowPrinterProperties();
    bool ShowSave();

    static constexpr int MaxPath = 260;

    // --- Pieces with no dialog, public so they can be checked on their own.

    // "desc|pat|desc|pat" -> Qt name filters "desc (pat)". Patterns split at
    // ";" become Qt's space-separated list and "*.*" becomes "*" (every file,
    // as the desktop means it). A description that already ends in its own
    // "(pattern)" is kept as it is. A description without a pattern is kept
    // with an empty pattern list. Empty Filter gives an empty list.
    static QStringList QtNameFilters(const QString& filter);
    // Logical font height for a point size: -(points * dpi / 72), rounded to
    // nearest with halves away from zero, as the platform's MulDiv does.
    static int FontHeight(int points, int dpi);
    // Point size shown for a logical font height at dpi (inverse of FontHeight).
    static double PointsFromHeight(int height, int dpi);
    // Text up to, not including, the last "/" ("/a.jpg" -> ""); "" when
    // there is no "/".
    static QString FolderOf(const QString& filename);
    // Text up to its first NUL.
    static QString CutAtNul(const QString& s);
    // ShowSave's start folder: blank -> program folder; else a "/" is added and,
    // when a listing of the folder finds nothing, the program folder instead.
    static QString PrepareSavePath(const QString& path);

private:
    QWidget* RequireOwner(const char* member) const;
    // Fills Filename, FileTitle and Path from the file a confirmed open or
    // save dialog holds; false (nothing changed) when it holds none.
    bool TakeChosenFile(const QFileDialog& dialog);

    bool mFontUnderline = false;
    bool mFontItalic = false;
    bool mFontBold = false;
    qint16 mFontSize = 0;
    QString mFontName;
    quint32 mColor = 0;
    QString mDefExt;
    QString mTitle;
    QPointer<QWidget> mOwner;
    QString mPath;
    QString mFileTitle;
    QString mFilter;
    QString mFilename;
    // Where the next ShowOpen starts: the folder of the last file chosen,
    // with the filter last chosen in it.
    QString mOpenFolder;
    QString mOpenFilter;
    bool mMultiSelect = false;
    QStringList mFilenames;
};
