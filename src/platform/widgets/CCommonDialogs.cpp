#include "platform/widgets/CCommonDialogs.h"

#include "platform/AppPaths.h"
#include "platform/widgets/FolderChooser.h"
#include "platform/RuntimeError.h"

#include <QColorDialog>
#include <QDialogButtonBox>
#include <QPushButton>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QFontDialog>
#include <QFontInfo>
#include <QGuiApplication>
#include <QPageSetupDialog>
#include <QPrintDialog>
#include <QPrinter>
#include <QPrinterInfo>
#include <QScreen>
#include <QWidget>

#include <cmath>
#include <cstdlib>

namespace {

constexpr int ErrInvalidArgument = 5;
constexpr int ErrObjectNotSet = 91;
const char* const Source = "CCommonDialogs";

QColor fromBgr(quint32 c)
{
    return QColor(int(c & 0xFF), int((c >> 8) & 0xFF), int((c >> 16) & 0xFF));
}

quint32 toBgr(const QColor& c)
{
    return quint32(c.red()) | (quint32(c.green()) << 8) | (quint32(c.blue()) << 16);
}

int screenDpiY(QWidget* owner)
{
    QScreen* screen = owner ? owner->screen() : nullptr;
    if (!screen)
        screen = QGuiApplication::primaryScreen();
    return screen ? qRound(screen->logicalDotsPerInchY()) : 96;
}

// Pieces of a "desc|pattern|..." filter, in pairs. The last description may
// come without its pattern.
QStringList filterPieces(const QString& filter)
{
    if (filter.isEmpty())
        return {};
    return filter.split('|');
}

QString qtPatterns(const QString& windowsPatterns)
{
    QStringList out;
    for (QString p : windowsPatterns.split(';', Qt::SkipEmptyParts)) {
        p = p.trimmed();
        if (p.isEmpty())
            continue;
        // "*.*" means every file, also those without an extension.
        out << (p == "*.*" ? QStringLiteral("*") : p);
    }
    return out.join(' ');
}

// The short view of the colour dialog: basic and custom colours only; the
// colour picker part opens with "Define Custom Colors >>". Qt's dialog has
// no such view of its own, so its picker widgets are hidden by class name;
// should they ever be named differently, the dialog simply stays full.
void useShortColourView(QColorDialog& dialog)
{
    QList<QWidget*> pickerPart;
    for (QWidget* w : dialog.findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
        const QString cls = QString::fromLatin1(w->metaObject()->className());
        if (cls.endsWith("QColorPicker") || cls.endsWith("QColorLuminancePicker")
            || cls.endsWith("QColorShower"))
            pickerPart << w;
    }
    auto* buttons = dialog.findChild<QDialogButtonBox*>();
    if (pickerPart.isEmpty() || !buttons)
        return;
    for (QWidget* w : pickerPart)
        w->hide();
    QPushButton* more = buttons->addButton(QObject::tr("&Define Custom Colors >>"),
                                           QDialogButtonBox::ActionRole);
    more->setObjectName("defineCustomColors");
    QObject::connect(more, &QPushButton::clicked, &dialog, [&dialog, more, pickerPart]() {
        for (QWidget* w : pickerPart)
            w->show();
        more->setEnabled(false);
        dialog.adjustSize();
    });
    dialog.adjustSize();
}

QString fileTitleOf(const QString& filename)
{
    const qsizetype slash = filename.lastIndexOf('/');
    return slash < 0 ? filename : filename.mid(slash + 1);
}

} // namespace

// ---- properties -----------------------------------------------------------

void CCommonDialogs::setFontUnderline(bool v) { mFontUnderline = v; }
bool CCommonDialogs::FontUnderline() const { return mFontUnderline; }
void CCommonDialogs::setFontItalic(bool v) { mFontItalic = v; }
bool CCommonDialogs::FontItalic() const { return mFontItalic; }
void CCommonDialogs::setFontBold(bool v) { mFontBold = v; }
bool CCommonDialogs::FontBold() const { return mFontBold; }
void CCommonDialogs::setFontSize(qint16 points) { mFontSize = points; }
qint16 CCommonDialogs::FontSize() const { return mFontSize; }
void CCommonDialogs::setFontName(const QString& v) { mFontName = v; }
QString CCommonDialogs::FontName() const { return mFontName; }
void CCommonDialogs::setColor(quint32 v) { mColor = v; }
quint32 CCommonDialogs::Color() const { return mColor; }
void CCommonDialogs::setDefExt(const QString& v) { mDefExt = v; }
QString CCommonDialogs::DefExt() const { return mDefExt; }
void CCommonDialogs::setTitle(const QString& v) { mTitle = v; }
QString CCommonDialogs::Title() const { return CutAtNul(mTitle); }

void CCommonDialogs::Init(QWidget* OwnerForm) { mOwner = OwnerForm; }

void CCommonDialogs::setPath(const QString& v) { mPath = v; }
QString CCommonDialogs::Path() const { return CutAtNul(mPath); }
void CCommonDialogs::setFileTitle(const QString& v) { mFileTitle = v; }
QString CCommonDialogs::FileTitle() const { return CutAtNul(mFileTitle); }
QString CCommonDialogs::Filter() const { return mFilter; }
void CCommonDialogs::setFilter(const QString& v) { mFilter = v; }
QString CCommonDialogs::Filename() const { return CutAtNul(mFilename); }
void CCommonDialogs::setFilename(const QString& v) { mFilename = v; }

// ---- dialogs --------------------------------------------------------------

bool CCommonDialogs::ShowPrinter()
{
    QWidget* owner = RequireOwner("ShowPrinter");
    QPrinter printer;
    QPrintDialog dialog(&printer, owner);
    dialog.setObjectName("printerDialog");
    dialog.setOption(QAbstractPrintDialog::PrintSelection, false);
    dialog.setOption(QAbstractPrintDialog::PrintPageRange, false);
    dialog.setOption(QAbstractPrintDialog::PrintToFile, false);
    // Nothing is read back: the answer is only whether the user confirmed.
    return dialog.exec() == QDialog::Accepted;
}

bool CCommonDialogs::ShowFolder()
{
    QWidget* owner = RequireOwner("ShowFolder");
    QString folder;
    if (!ChooseFolder(owner, Title(), &folder))
        return false;
    mPath = folder;
    mFilename.clear();
    mFileTitle.clear();
    return true;
}

bool CCommonDialogs::ShowColor(bool FullOpen)
{
    QWidget* owner = RequireOwner("ShowColor");
    // The custom colours start black at every call.
    for (int i = 0; i < 16 && i < QColorDialog::customCount(); ++i)
        QColorDialog::setCustomColor(i, QColor(Qt::black));
    QColorDialog dialog(fromBgr(mColor), owner);
    dialog.setObjectName("colorDialog");
    dialog.setOption(QColorDialog::DontUseNativeDialog, true);
    if (!FullOpen)
        useShortColourView(dialog);
    if (dialog.exec() != QDialog::Accepted)
        return false;
    const QColor chosen = dialog.selectedColor();
    if (!chosen.isValid())
        return false;
    mColor = toBgr(chosen);
    return true;
}

bool CCommonDialogs::ShowFont()
{
    QWidget* owner = RequireOwner("ShowFont");
    const int dpi = screenDpiY(owner);
    const int height = FontHeight(mFontSize, dpi);

    QFont initial;
    if (!mFontName.isEmpty())
        initial.setFamily(mFontName);
    // The logical font carries the height; the dialog shows it as points.
    if (height != 0)
        initial.setPointSizeF(PointsFromHeight(height, dpi));
    initial.setBold(mFontBold);
    initial.setItalic(mFontItalic);
    initial.setUnderline(mFontUnderline);

    QFontDialog dialog(initial, owner);
    dialog.setObjectName("fontDialog");
    dialog.setOption(QFontDialog::DontUseNativeDialog, true);
    if (dialog.exec() != QDialog::Accepted)
        return false;
    const QFont chosen = dialog.selectedFont();

    mFontName = CutAtNul(chosen.family());
    mFontBold = chosen.bold();
    mFontItalic = chosen.italic();
    double points = chosen.pointSizeF();
    if (points <= 0)
        points = QFontInfo(chosen).pointSizeF();
    // Tenths of a point, then whole points with the remainder dropped.
    const int tenths = int(std::lround(points * 10.0));
    mFontSize = qint16(qBound(0, tenths / 10, 32767));
    // Underline and colour stay: the dialog offers no effects.
    return true;
}

bool CCommonDialogs::ShowOpen()
{
    const QString initialName = Filename();
    if (initialName.size() > MaxPath)
        throw RuntimeError(ErrInvalidArgument, Source,
                           QString("Invalid procedure call or argument: the file name is longer "
                                   "than %1 characters (%2)")
                               .arg(MaxPath)
                               .arg(initialName.size()));
    QWidget* owner = RequireOwner("ShowOpen");

    QFileDialog dialog(owner);
    dialog.setObjectName("openDialog");
    dialog.setOption(QFileDialog::DontUseNativeDialog, true);
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    dialog.setFileMode(mMultiSelect ? QFileDialog::ExistingFiles : QFileDialog::ExistingFile);
    const QString caption = Title();
    if (!caption.isEmpty())
        dialog.setWindowTitle(caption);
    const QStringList filters = QtNameFilters(mFilter);
    if (!filters.isEmpty()) {
        dialog.setNameFilters(filters);
        dialog.selectNameFilter(filters.contains(mOpenFilter) ? mOpenFilter : filters.first());
    }
    if (!mDefExt.isEmpty())
        dialog.setDefaultSuffix(mDefExt);
    // The desktop's open dialog moves the current folder to the folder of
    // the file chosen, so the next one opens where the user left off.
    dialog.setDirectory(!mOpenFolder.isEmpty() && QFileInfo(mOpenFolder).isDir() ? mOpenFolder
                                                                                 : QDir::currentPath());
    if (!initialName.isEmpty())
        dialog.selectFile(initialName);

    const bool accepted = dialog.exec() == QDialog::Accepted;
    // The kind of file last looked for stays chosen for the next time.
    if (!filters.isEmpty())
        mOpenFilter = dialog.selectedNameFilter();
    if (!accepted || !TakeChosenFile(dialog))
        return false;
    mFilenames.clear();
    for (const QString& f : dialog.selectedFiles())
        mFilenames << QDir::cleanPath(QFileInfo(f).absoluteFilePath());
    mOpenFolder = QFileInfo(mFilename).absolutePath();
    return true;
}

bool CCommonDialogs::ShowPrinterProperties()
{
    QWidget* owner = RequireOwner("ShowPrinterProperties");
    const QPrinterInfo info = QPrinterInfo::defaultPrinter();
    if (info.isNull() || info.printerName().isEmpty())
        return false;
    QPrinter printer(info);
    if (!printer.isValid())
        return false;
    QPageSetupDialog dialog(&printer, owner);
    dialog.setObjectName("printerPropertiesDialog");
    return dialog.exec() == QDialog::Accepted;
}

bool CCommonDialogs::ShowSave()
{
    QWidget* owner = RequireOwner("ShowSave");
    // The preparation stays even when the user cancels.
    mPath = PrepareSavePath(mPath);

    QStringList filters = QtNameFilters(mFilter.trimmed().isEmpty() ? QStringLiteral("*.*|*.*")
                                                                     : mFilter);
    QFileDialog dialog(owner, QStringLiteral("Save"));
    dialog.setObjectName("saveDialog");
    dialog.setOption(QFileDialog::DontUseNativeDialog, true);
    dialog.setOption(QFileDialog::DontConfirmOverwrite, true);
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setFileMode(QFileDialog::AnyFile);
    dialog.setNameFilters(filters);
    dialog.selectNameFilter(filters.first());
    dialog.setDirectory(CutAtNul(mPath));

    return dialog.exec() == QDialog::Accepted && TakeChosenFile(dialog);
}

bool CCommonDialogs::TakeChosenFile(const QFileDialog& dialog)
{
    const QStringList chosen = dialog.selectedFiles();
    if (chosen.isEmpty())
        return false;
    const QString file = QDir::cleanPath(QFileInfo(chosen.first()).absoluteFilePath());
    mFilename = file;
    mFileTitle = fileTitleOf(file);
    mPath = FolderOf(file);
    return true;
}

// ---- pieces ---------------------------------------------------------------

QStringList CCommonDialogs::QtNameFilters(const QString& filter)
{
    const QStringList pieces = filterPieces(filter);
    QStringList out;
    for (qsizetype i = 0; i < pieces.size(); i += 2) {
        const QString description = pieces.at(i).trimmed();
        const QString windowsPatterns = i + 1 < pieces.size() ? pieces.at(i + 1) : QString();
        const QString patterns = qtPatterns(windowsPatterns);
        const QString own = "(" + patterns + ")";
        if (!patterns.isEmpty() && description.endsWith(own, Qt::CaseInsensitive))
            out << description;
        else if (description.isEmpty())
            out << patterns + " " + own;
        else
            out << description + " " + own;
    }
    return out;
}

int CCommonDialogs::FontHeight(int points, int dpi)
{
    // MulDiv: 64-bit product, rounded to nearest, halves away from zero.
    const qint64 product = qint64(points) * dpi;
    const qint64 q = (std::llabs(product) * 2 + 72) / (2 * 72);
    return int(product < 0 ? q : -q);
}

double CCommonDialogs::PointsFromHeight(int height, int dpi)
{
    if (dpi <= 0)
        return 0;
    return std::abs(height) * 72.0 / dpi;
}

QString CCommonDialogs::FolderOf(const QString& filename)
{
    const qsizetype slash = filename.lastIndexOf('/');
    return slash < 0 ? QString() : filename.left(slash);
}

QString CCommonDialogs::CutAtNul(const QString& s)
{
    const qsizetype nul = s.indexOf(QChar(0));
    return nul < 0 ? s : s.left(nul);
}

QString CCommonDialogs::PrepareSavePath(const QString& path)
{
    QString p = CutAtNul(path);
    if (p.trimmed().isEmpty())
        return AppPaths::ProgramFolder();
    if (!p.endsWith('/'))
        p += '/';
    // "." and ".." count, as in the desktop's own listing: an empty but
    // existing folder is kept, a missing or unreadable one is not.
    const QStringList entries =
        QDir(p).entryList(QDir::AllEntries | QDir::Hidden | QDir::System, QDir::NoSort);
    if (entries.isEmpty())
        return AppPaths::ProgramFolder();
    return p;
}

QWidget* CCommonDialogs::RequireOwner(const char* member) const
{
    if (!mOwner)
        throw RuntimeError(ErrObjectNotSet, Source,
                           QString("%1: no owner window (Init was not called)")
                               .arg(QString::fromLatin1(member)));
    return mOwner.data();
}
