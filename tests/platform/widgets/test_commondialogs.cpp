#include "platform/widgets/CCommonDialogs.h"
#include "platform/AppPaths.h"
#include "platform/RuntimeError.h"

#include "TestSupport.h"

#include <FreeImage.h>
#include <QApplication>
#include <QColorDialog>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QFontDatabase>
#include <QFontDialog>
#include <QPrinterInfo>
#include <QPushButton>
#include <QScreen>
#include <QTemporaryDir>
#include <QTimer>
#include <QWidget>
#include <gtest/gtest.h>

using testsupport::pressButton;
using testsupport::whenModalOpens;

namespace {

const QString FileListFilter =
    "JPG Files(*.jpg)|*.jpg|JPEG Files(*.jpeg)|*.jpeg|TIF Files(*.tif)|*.tif|TIFF "
    "Files(*.tiff)|*.tiff|BMP Files(*.BMP)|*.bmp|GIF Files(*.gif)|*.gif|PNG "
    "Files(*.png)|*.png|All Files(*.*)|*.*";

QString canonical(const QString& p)
{
    return QFileInfo(p).canonicalFilePath();
}

// Counts (and closes) every modal widget that opens while it lives; for
// calls that must fail before showing anything.
class ModalGuard {
public:
    ModalGuard()
    {
        QObject::connect(&mTimer, &QTimer::timeout, [this]() {
            if (QWidget* w = QApplication::activeModalWidget()) {
                ++opened;
                if (auto* d = qobject_cast<QDialog*>(w))
                    d->reject();
                else
                    w->close();
            }
        });
        mTimer.start(0);
    }
    int opened = 0;

private:
    QTimer mTimer;
};

class CommonDialogs : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(dir.isValid());
        owner.resize(300, 200);
        owner.show();
        d.Init(&owner);
    }
    QString makeFile(const QString& name)
    {
        const QString p = dir.filePath(name);
        EXPECT_TRUE(testsupport::writeTestPicture(p, FIF_JPEG, 8, 8));
        return p;
    }
    QTemporaryDir dir;
    QWidget owner;
    CCommonDialogs d;
};

} // namespace

TEST(CommonDialogsPieces, FileListFilterBecomesEightQtFiltersKeepingDescriptions)
{
    const QStringList f = CCommonDialogs::QtNameFilters(FileListFilter);
    ASSERT_EQ(f.size(), 8);
    EXPECT_EQ(f[0], "JPG Files(*.jpg)");
    EXPECT_EQ(f[4], "BMP Files(*.BMP)"); // matching ignores case anyway
    // "*.*" means every file, also those without a dot.
    EXPECT_EQ(f[7], "All Files(*.*) (*)");
}

TEST(CommonDialogsPieces, OddAndUnusualFilterPieces)
{
    EXPECT_TRUE(CCommonDialogs::QtNameFilters("").isEmpty());
    // A trailing description without a pattern stays in the list.
    EXPECT_EQ(CCommonDialogs::QtNameFilters("Pictures|*.jpg;*.png|Lonely"),
              QStringList({"Pictures (*.jpg *.png)", "Lonely ()"}));
    EXPECT_EQ(CCommonDialogs::QtNameFilters("|*.gif"), QStringList({"*.gif (*.gif)"}));
    EXPECT_EQ(CCommonDialogs::QtNameFilters("Text(*.TXT)|*.txt"), QStringList({"Text(*.TXT)"}));
    EXPECT_EQ(CCommonDialogs::QtNameFilters("Docs (*.pdf)|*.pdf;*.ps"),
              QStringList({"Docs (*.pdf) (*.pdf *.ps)"}));
}

TEST(CommonDialogsPieces, FontHeightRoundsLikeMulDiv)
{
    EXPECT_EQ(CCommonDialogs::FontHeight(12, 96), -16);
    EXPECT_EQ(CCommonDialogs::FontHeight(11, 96), -15); // 14.67
    EXPECT_EQ(CCommonDialogs::FontHeight(10, 96), -13); // 13.33
    EXPECT_EQ(CCommonDialogs::FontHeight(3, 12), -1);   // 0.5 goes away from zero
    EXPECT_EQ(CCommonDialogs::FontHeight(9, 120), -15);
    EXPECT_EQ(CCommonDialogs::FontHeight(0, 96), 0);
    EXPECT_EQ(CCommonDialogs::FontHeight(-12, 96), 16);
    EXPECT_DOUBLE_EQ(CCommonDialogs::PointsFromHeight(-16, 96), 12.0);
}

TEST(CommonDialogsPieces, FolderOfAFileInTheRootIsEmpty)
{
    EXPECT_EQ(CCommonDialogs::FolderOf("/pics/a.jpg"), "/pics");
    EXPECT_EQ(CCommonDialogs::FolderOf("/a.jpg"), "");
    EXPECT_EQ(CCommonDialogs::FolderOf("a.jpg"), "");
}

TEST(CommonDialogsPieces, TextPropertiesAreCutAtTheirFirstNulOnReading)
{
    CCommonDialogs d;
    const QString withNul = QString("/pics/a.jpg") + QChar(0) + "   ";
    d.setFilename(withNul);
    d.setPath(QString("/pics") + QChar(0) + "x");
    d.setFileTitle(QString("a.jpg") + QChar(0));
    d.setTitle(QString("Pick") + QChar(0) + "junk");
    EXPECT_EQ(d.Filename(), "/pics/a.jpg");
    EXPECT_EQ(d.Path(), "/pics");
    EXPECT_EQ(d.FileTitle(), "a.jpg");
    EXPECT_EQ(d.Title(), "Pick");
    d.setFilename("no nul");
    EXPECT_EQ(d.Filename(), "no nul");
}

TEST(CommonDialogsPieces, SavePathPreparation)
{
    QTemporaryDir dir;
    const QString program = AppPaths::ProgramFolder();
    EXPECT_EQ(CCommonDialogs::PrepareSavePath("   "), program);
    EXPECT_EQ(CCommonDialogs::PrepareSavePath(dir.path()), dir.path() + "/");
    EXPECT_EQ(CCommonDialogs::PrepareSavePath(dir.path() + "/"), dir.path() + "/");
    // An empty folder still lists "." and "..": it is kept.
    EXPECT_TRUE(QDir(dir.path()).isEmpty());
    EXPECT_EQ(CCommonDialogs::PrepareSavePath(dir.path()), dir.path() + "/");
    EXPECT_EQ(CCommonDialogs::PrepareSavePath(dir.path() + "/missing"), program);
}

TEST_F(CommonDialogs, OpenCancelledLeavesEveryPropertyAsItWas)
{
    d.setFilter(FileListFilter);
    d.setTitle("Select a picture");
    d.setPath("/earlier");
    d.setFileTitle("earlier.jpg");
    bool seen = false;
    whenModalOpens([&](QWidget* w) {
        auto* fd = qobject_cast<QFileDialog*>(w);
        ASSERT_NE(fd, nullptr);
        seen = true;
        EXPECT_EQ(fd->parentWidget(), &owner);
        EXPECT_EQ(fd->windowTitle(), "Select a picture");
        EXPECT_EQ(fd->fileMode(), QFileDialog::ExistingFile);
        EXPECT_EQ(fd->nameFilters().size(), 8);
        EXPECT_EQ(fd->selectedNameFilter(), "JPG Files(*.jpg)");
        EXPECT_EQ(canonical(fd->directory().absolutePath()), canonical(QDir::currentPath()));
        EXPECT_TRUE(pressButton(fd, "Cancel"));
    });
    EXPECT_FALSE(d.ShowOpen());
    EXPECT_TRUE(seen);
    EXPECT_EQ(d.Filename(), "");
    EXPECT_EQ(d.Path(), "/earlier");
    EXPECT_EQ(d.FileTitle(), "earlier.jpg");
}

TEST_F(CommonDialogs, OpenConfirmedFillsFilenameFileTitleAndPath)
{
    const QString pics = dir.filePath("pics");
    ASSERT_TRUE(QDir().mkpath(pics));
    const QString file = makeFile("pics/a.jpg");
    makeFile("pics/b.jpg");
    d.setFilter(FileListFilter);
    d.setTitle("Select a picture");
    d.setDefExt("jpg");
    whenModalOpens([&](QWidget* w) {
        auto* fd = qobject_cast<QFileDialog*>(w);
        ASSERT_NE(fd, nullptr);
        EXPECT_EQ(fd->defaultSuffix(), "jpg");
        fd->selectFile(file);
        EXPECT_TRUE(pressButton(fd, "Open"));
    });
    ASSERT_TRUE(d.ShowOpen());
    EXPECT_EQ(d.Filename(), canonical(file));
    EXPECT_EQ(d.FileTitle(), "a.jpg");
    EXPECT_EQ(d.Path(), canonical(pics));
    EXPECT_FALSE(d.Path().endsWith('/'));
}

TEST_F(CommonDialogs, OpenStartsFromTheGivenFilenameAndTheCurrentFolder)
{
    const QString file = makeFile("start.jpg");
    const QString before = QDir::currentPath();
    ASSERT_TRUE(QDir::setCurrent(dir.path()));
    d.setFilename(file);
    QString offered;
    QString folder;
    whenModalOpens([&](QWidget* w) {
        auto* fd = qobject_cast<QFileDialog*>(w);
        ASSERT_NE(fd, nullptr);
        offered = fd->selectedFiles().value(0);
        folder = fd->directory().absolutePath();
        EXPECT_TRUE(fd->nameFilters().isEmpty() || fd->nameFilters() == QStringList{"All Files (*)"});
        EXPECT_TRUE(pressButton(fd, "Open"));
    });
    const bool ok = d.ShowOpen();
    QDir::setCurrent(before);
    ASSERT_TRUE(ok);
    EXPECT_EQ(canonical(offered), canonical(file));
    EXPECT_EQ(canonical(folder), canonical(dir.path()));
    EXPECT_EQ(d.FileTitle(), "start.jpg");
}

TEST_F(CommonDialogs, OpenRefusesAFilenameOver260CharactersBeforeAnyDialog)
{
    d.setFilename("/" + QString(260, 'x'));
    {
        ModalGuard guard;
        try {
            d.ShowOpen();
            ADD_FAILURE() << "no error raised";
        } catch (const RuntimeError& e) {
            EXPECT_EQ(e.Number, 5);
            EXPECT_EQ(e.Source, "CCommonDialogs");
            EXPECT_TRUE(e.Description.contains("260"));
        }
        QCoreApplication::processEvents();
        EXPECT_EQ(guard.opened, 0);
    }
    EXPECT_EQ(d.Filename(), "/" + QString(260, 'x'));

    // 260 characters are still allowed; what counts is the text before a NUL.
    d.setFilename(QString(260, 'y') + QChar(0) + "filler");
    whenModalOpens([](QWidget* w) { EXPECT_TRUE(pressButton(w, "Cancel")); });
    EXPECT_FALSE(d.ShowOpen());
}

TEST(CommonDialogsOwner, EveryDialogNeedsAnOwner)
{
    CCommonDialogs d;
    ModalGuard guard;
    EXPECT_THROW(d.ShowOpen(), RuntimeError);
    EXPECT_THROW(d.ShowFolder(), RuntimeError);
    EXPECT_THROW(d.ShowSave(), RuntimeError);
    try {
        d.ShowColor(true);
    } catch (const RuntimeError& e) {
        EXPECT_EQ(e.Number, 91);
    }
    QWidget* w = new QWidget;
    d.Init(w);
    delete w; // an owner that is gone counts as none
    EXPECT_THROW(d.ShowFont(), RuntimeError);
    QCoreApplication::processEvents();
    EXPECT_EQ(guard.opened, 0);
}

TEST_F(CommonDialogs, FolderConfirmedClearsFilenameAndFileTitle)
{
    const QString sub = dir.filePath("chosen");
    ASSERT_TRUE(QDir().mkpath(sub));
    d.setTitle("Please select a folder:");
    d.setFilename("/old/a.jpg");
    d.setFileTitle("a.jpg");
    whenModalOpens([&](QWidget* w) {
        auto* fd = qobject_cast<QFileDialog*>(w);
        ASSERT_NE(fd, nullptr);
        EXPECT_EQ(fd->fileMode(), QFileDialog::Directory);
        EXPECT_EQ(fd->labelText(QFileDialog::LookIn), "Please select a folder:");
        fd->selectFile(sub);
        EXPECT_TRUE(pressButton(fd, "Choose"));
    });
    ASSERT_TRUE(d.ShowFolder());
    EXPECT_EQ(d.Path(), canonical(sub));
    EXPECT_EQ(d.Filename(), "");
    EXPECT_EQ(d.FileTitle(), "");

    whenModalOpens([](QWidget* w) { EXPECT_TRUE(pressButton(w, "Cancel")); });
    EXPECT_FALSE(d.ShowFolder());
    EXPECT_EQ(d.Path(), canonical(sub));
}

TEST_F(CommonDialogs, SaveCancelledKeepsOnlyThePreparedPath)
{
    d.setPath(dir.path());
    d.setFilename("/keep/me.pdf");
    d.setFilter("   ");
    whenModalOpens([&](QWidget* w) {
        auto* fd = qobject_cast<QFileDialog*>(w);
        ASSERT_NE(fd, nullptr);
        EXPECT_EQ(fd->windowTitle(), "Save");
        EXPECT_EQ(fd->acceptMode(), QFileDialog::AcceptSave);
        EXPECT_EQ(fd->nameFilters(), QStringList{"*.* (*)"});
        EXPECT_EQ(canonical(fd->directory().absolutePath()), canonical(dir.path()));
        EXPECT_TRUE(pressButton(fd, "Cancel"));
    });
    EXPECT_FALSE(d.ShowSave());
    EXPECT_EQ(d.Path(), dir.path() + "/");
    EXPECT_EQ(d.Filename(), "/keep/me.pdf");
}

TEST_F(CommonDialogs, SaveConfirmedOnANewNameWithoutAskingToOverwrite)
{
    const QString existing = makeFile("there.jpg");
    d.setPath(dir.path());
    d.setFilter("JPG Files(*.jpg)|*.jpg|All Files(*.*)|*.*");
    whenModalOpens([&](QWidget* w) {
        auto* fd = qobject_cast<QFileDialog*>(w);
        ASSERT_NE(fd, nullptr);
        EXPECT_EQ(fd->selectedNameFilter(), "JPG Files(*.jpg)");
        fd->selectFile(existing);
        // No overwrite question may follow: the dialog closes on Save.
        EXPECT_TRUE(pressButton(fd, "Save"));
    });
    ASSERT_TRUE(d.ShowSave());
    EXPECT_EQ(d.Filename(), canonical(existing));
    EXPECT_EQ(d.FileTitle(), "there.jpg");
    EXPECT_EQ(d.Path(), canonical(dir.path()));
}

TEST_F(CommonDialogs, ColorStartsFromColorAndReturnsTheChoice)
{
    d.setColor(0x0000FFu); // red
    whenModalOpens([](QWidget* w) {
        auto* cd = qobject_cast<QColorDialog*>(w);
        ASSERT_NE(cd, nullptr);
        EXPECT_EQ(cd->currentColor(), QColor(255, 0, 0));
        EXPECT_EQ(QColorDialog::customColor(0), QColor(Qt::black));
        cd->setCurrentColor(QColor(0x10, 0x20, 0x30));
        EXPECT_TRUE(pressButton(cd, "OK"));
    });
    ASSERT_TRUE(d.ShowColor(true));
    EXPECT_EQ(d.Color(), 0x302010u);

    whenModalOpens([](QWidget* w) {
        qobject_cast<QColorDialog*>(w)->setCurrentColor(Qt::white);
        EXPECT_TRUE(pressButton(w, "Cancel"));
    });
    EXPECT_FALSE(d.ShowColor(false));
    EXPECT_EQ(d.Color(), 0x302010u);
}

namespace {
QWidget* colourPicker(QWidget* dialog)
{
    for (QWidget* w : dialog->findChildren<QWidget*>())
        if (QString(w->metaObject()->className()).endsWith("QColorPicker"))
            return w;
    return nullptr;
}
} // namespace

TEST_F(CommonDialogs, ColorShortViewOpensItsPickerOnRequest)
{
    bool checked = false;
    whenModalOpens([&](QWidget* w) {
        QWidget* picker = colourPicker(w);
        auto* more = w->findChild<QPushButton*>("defineCustomColors");
        if (picker && more) {
            checked = true;
            EXPECT_FALSE(picker->isVisible());
            more->click();
            EXPECT_TRUE(picker->isVisible());
            EXPECT_FALSE(more->isEnabled());
        }
        EXPECT_TRUE(pressButton(w, "Cancel"));
    });
    EXPECT_FALSE(d.ShowColor(false));
    EXPECT_TRUE(checked);

    whenModalOpens([&](QWidget* w) {
        QWidget* picker = colourPicker(w);
        ASSERT_NE(picker, nullptr);
        EXPECT_TRUE(picker->isVisible());
        EXPECT_EQ(w->findChild<QPushButton*>("defineCustomColors"), nullptr);
        EXPECT_TRUE(pressButton(w, "Cancel"));
    });
    EXPECT_FALSE(d.ShowColor(true));
}

TEST_F(CommonDialogs, FontInAndOut)
{
    // fonts-dejavu-core, installed by the scripts; it has a bold face.
    const QString family = QStringLiteral("DejaVu Sans");
    ASSERT_TRUE(QFontDatabase::families().contains(family)) << "fonts-dejavu-core is not installed";
    d.setFontName(family);
    d.setFontSize(12);
    d.setFontBold(true);
    d.setFontUnderline(true);
    d.setColor(0x123456u);
    const int dpi = qRound(owner.screen()->logicalDotsPerInchY());
    whenModalOpens([&](QWidget* w) {
        auto* fd = qobject_cast<QFontDialog*>(w);
        ASSERT_NE(fd, nullptr);
        const QFont f = fd->currentFont();
        EXPECT_DOUBLE_EQ(f.pointSizeF(),
                         CCommonDialogs::PointsFromHeight(CCommonDialogs::FontHeight(12, dpi), dpi));
        EXPECT_TRUE(f.bold());
        EXPECT_TRUE(f.underline());
        QFont chosen(family);
        chosen.setPointSize(13); // Qt's dialog offers whole points
        chosen.setBold(false);
        // The dialog picks its face by style name, and the plain face's name
        // differs between font packages ("Book" in fonts-dejavu-core alone).
        for (const QString& style : QFontDatabase::styles(family)) {
            if (QFontDatabase::weight(family, style) == QFont::Normal && !QFontDatabase::italic(family, style)) {
                chosen.setStyleName(style);
                break;
            }
        }
        fd->setCurrentFont(chosen);
        EXPECT_TRUE(pressButton(fd, "OK"));
    });
    ASSERT_TRUE(d.ShowFont());
    EXPECT_EQ(d.FontName(), family);
    EXPECT_FALSE(d.FontBold());
    EXPECT_EQ(d.FontSize(), 13);
    EXPECT_TRUE(d.FontUnderline());
    EXPECT_EQ(d.Color(), 0x123456u);

    whenModalOpens([](QWidget* w) { EXPECT_TRUE(pressButton(w, "Cancel")); });
    EXPECT_FALSE(d.ShowFont());
    EXPECT_EQ(d.FontSize(), 13);
}

TEST_F(CommonDialogs, PrinterPropertiesWithoutAPrinterIsFalse)
{
    if (!QPrinterInfo::defaultPrinter().isNull())
        GTEST_SKIP() << "this machine has a default printer";
    ModalGuard guard;
    EXPECT_FALSE(d.ShowPrinterProperties());
    QCoreApplication::processEvents();
    EXPECT_EQ(guard.opened, 0);
}

TEST_F(CommonDialogs, PrinterCancelledIsFalse)
{
    whenModalOpens([](QWidget* w) {
        EXPECT_EQ(w->objectName(), "printerDialog");
        EXPECT_TRUE(pressButton(w, "Cancel"));
    });
    EXPECT_FALSE(d.ShowPrinter());
}
