#include "WindowFixture.h"

#include "TestSupport.h"

#include "mainwindow/WindowLayout.h"
#include "platform/widgets/Skin.h"

#include <QAction>
#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QFontMetrics>
#include <QScrollBar>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QMenuBar>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QProcess>
#include <QSlider>
#include <QStyle>
#include <QTest>
#include <QToolButton>

#include <functional>

#include <sys/stat.h>
#include <unistd.h>

namespace {

void writeBytes(const QString& path, const QByteArray& bytes)
{
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(bytes);
}

QString tabName(QWidget* w)
{
    if (w->objectName() == "CmdToolsBar")
        return QStringLiteral("CmdToolsBar(%1)").arg(w->property("Index").toInt());
    return w->objectName();
}

using StartUp = WindowFixture;

TEST_F(StartUp, FirstStartShowsTheDesignedDefaults)
{
    ASSERT_FALSE(QFile::exists(settingsFile()));
    load();
    EXPECT_EQ(window->windowTitle(), "Velunor");
    EXPECT_EQ(text("txtTitle")->text(), "New PDF Document");
    EXPECT_EQ(text("txtCreateFor")->text(), "Velunor");
    EXPECT_EQ(text("txtSubject")->text(), "New Subject");
    EXPECT_EQ(text("txtKeywords")->text(), "");
    EXPECT_EQ(slider()->value(), 10);
    EXPECT_EQ(label("lblQuality")->text(), "10%");
    EXPECT_EQ(label("lblQtt")->text(), "Low");
    EXPECT_EQ(text("txtPath")->text(), home() + "/output");
    EXPECT_EQ(text("txtCreationDate")->text().size(), 22);
    EXPECT_EQ(label("lblPageNum")->text(), "Page Number Of Selected File: 0");
    EXPECT_EQ(label("lblPB")->text(), "0%");
    EXPECT_EQ(window->findChild<QProgressBar*>("pb")->value(), 0);
    EXPECT_EQ(window->findChild<QListWidget*>("List1")->count(), 0);
    // Start-up reads, never writes, the settings file.
    EXPECT_FALSE(QFile::exists(settingsFile()));
    // The skin is on.
    EXPECT_TRUE(SkinH_Attached());
    EXPECT_EQ(QApplication::style()->name().toLower(), "fusion");
    EXPECT_EQ(QApplication::palette().color(QPalette::Window), QColor(0xEE, 0xF1, 0xF5));
    EXPECT_EQ(QApplication::palette().color(QPalette::Highlight), QColor(0x2F, 0x7B, 0xD0));
}

TEST_F(StartUp, WindowCarriesTheDesignedControlsMenusAndTabOrder)
{
    load();
    EXPECT_EQ(window->centralWidget()->size(), QSize(753, 504));
    EXPECT_EQ(window->centralWidget()->minimumSize(), window->centralWidget()->maximumSize());

    // Positions are twips / 15.
    EXPECT_EQ(window->findChild<QWidget*>("List1")->geometry(), QRect(8, 94, 487, 326));
    EXPECT_EQ(window->findChild<QWidget*>("Command3")->geometry(), QRect(514, 418, 231, 55));
    EXPECT_EQ(window->findChild<QWidget*>("txtTitle")->geometry(), QRect(514, 92, 230, 19));
    EXPECT_EQ(window->findChild<QWidget*>("cmdBrowse")->geometry(), QRect(696, 328, 49, 20));
    EXPECT_EQ(window->findChild<QWidget*>("prewImage")->geometry(), QRect(302, 484, 83, 15));

    const struct {
        int index;
        const char* caption;
        const char* tip;
        int left;
    } bar[] = {{0, "Add", "Add an Image File", 0},
               {1, "Add Folder", "Add Image Files from a Folder", 94},
               {2, "Remove", "Remove File(s) from List", 188},
               {3, "Clean", "Remove all from File List", 282},
               {6, "Move Up", "Up", 376},
               {4, "Move Down", "Move selected Down", 470},
               {5, "Exit", "Exit", 658}};
    for (const auto& b : bar) {
        QToolButton* t = tool(b.index);
        ASSERT_NE(t, nullptr);
        EXPECT_EQ(t->text(), b.caption);
        EXPECT_EQ(t->toolTip(), b.tip);
        EXPECT_EQ(t->geometry(), QRect(b.left, 0, 95, 66)) << b.caption;
        EXPECT_FALSE(t->icon().pixmap(16, 16).isNull()) << b.caption;
        EXPECT_FALSE(t->icon().pixmap(32, 32).isNull()) << b.caption;
    }
    EXPECT_EQ(window->CmdToolsBar().size(), 7);
    EXPECT_FALSE(window->findChild<QPushButton*>("Command3")->icon().isNull());
    EXPECT_EQ(text("txtPath")->toolTip(), "Select a Folder to Output");
    EXPECT_EQ(window->findChild<QPushButton*>("cmdBrowse")->toolTip(), "Select an Output Folder");
    EXPECT_EQ(label("lblText")->text(), "Drag & Drop Files Here");

    // The start-up picture covers the working area; its holder stays hidden.
    auto* door = label("picDoor");
    EXPECT_FALSE(door->isHidden());
    EXPECT_EQ(door->pixmap().size(), QSize(749, 411));
    EXPECT_TRUE(label("imgDoor")->isHidden());
    EXPECT_TRUE(window->findChild<QWidget*>("List2")->isHidden());

    // Fonts: Tahoma (or the desktop's sans-serif) 9 pt; the named exceptions.
    const QString family = WindowLayout::ControlFontFamily();
    // With a font wider than Tahoma every size shrinks by one factor.
    const double normal = text("txtTitle")->font().pointSizeF();
    EXPECT_EQ(text("txtTitle")->font().family(), family);
    if (family == "Tahoma") {
        EXPECT_DOUBLE_EQ(normal, 9);
    }
    EXPECT_LE(normal, 9);
    EXPECT_GE(normal, 9 * 0.8);
    EXPECT_DOUBLE_EQ(text("txtPath")->font().pointSizeF(), normal);
    EXPECT_DOUBLE_EQ(label("Label2")->font().pointSizeF(), normal);
    EXPECT_TRUE(window->findChild<QWidget*>("Command3")->font().bold());
    EXPECT_TRUE(label("lblText")->font().bold());
    EXPECT_DOUBLE_EQ(label("lblPB")->font().pointSizeF(), normal * 7.5 / 9);

    // Menus, in order, with their items.
    QStringList menus;
    for (QAction* a : window->menuBar()->actions()) {
        QStringList items;
        for (QAction* i : a->menu()->actions())
            items << (i->isSeparator() ? "-" + i->objectName() : i->objectName() + "=" + i->text());
        menus << a->menu()->objectName() + "=" + a->text() + ":" + items.join(',');
    }
    EXPECT_EQ(menus, QStringList({"menuFile=File:menuAdd=Add a File,menuFolder=Add Folder,-menuS,menuExit=Exit",
                                  "menuR=Remove:menuRemove=Remove a File,menuRemoveAll=Remove All Files",
                                  "menuContrl=Control:menuUp=Move Up,menuDown=Move Down,menuSort=Sort the List,-menuStopS,"
                                  "menuStop=Stop Converting",
                                  "menuPage=Page:menuPagePicture=Picture Size (200 ppi),menuPageNative=Picture Size (its own resolution),menuPageA4=A4,menuPageLetter=Letter,"
                                  "menuPageA3=A3,menuPageA5=A5,menuPageLegal=Legal,menuPageCustom=Custom Size...,-menuPageS1,"
                                  "menuOrientAuto=Automatic Orientation,menuOrientPortrait=Portrait,menuOrientLandscape=Landscape,"
                                  "-menuPageS2,menuMargin=Margin...,menuShrink=Shrink Only,menuMaxPpi=Limit Resolution...,-menuPageS5,"
                                  "menuRotatePages=Turn Pages Upright (with text),menuDeskew=Straighten Pages,-menuPageS3,"
                                  "menuSearchable=Searchable Text (OCR),menuOcrLanguage=OCR Language...,-menuPageS4,menuPdfa=PDF/A (Archive)",
                                  "menuA=About:menuWeb=Website,-menuSS,menuAbout=About"}));

    // Tab order, as the focus chain walks it.
    const QStringList wanted = {"txtTitle", "txtCreationDate", "txtCreateFor", "txtSubject", "txtKeywords",
                                "Command1", "Command3", "CmdToolsBar(5)", "CmdToolsBar(3)", "CmdToolsBar(2)",
                                "CmdToolsBar(1)", "CmdToolsBar(0)", "List1", "CmdToolsBar(4)",
                                "CmdToolsBar(6)", "cmdBrowse", "txtPath", "Slider1"};
    QStringList seen;
    QWidget* first = text("txtTitle");
    QWidget* w = first;
    do {
        if (wanted.contains(tabName(w)))
            seen << tabName(w);
        w = w->nextInFocusChain();
    } while (w && w != first);
    EXPECT_EQ(seen, wanted);
}

TEST_F(StartUp, SettingsComeBackExactlyCommaIncluded)
{
    const QString other = tmp() + "/other drive/pdfs";
    writeBytes(settingsFile(), QByteArray("\"Report, final\"\r\n\"Ann, Bob\"\r\n\"Q3\"\r\n\"a, b\"\r\n\"85\"\r\n\"")
                                   + other.toUtf8() + "\"\r\n");
    load();
    EXPECT_EQ(text("txtTitle")->text(), "Report, final");
    EXPECT_EQ(text("txtCreateFor")->text(), "Ann, Bob");
    EXPECT_EQ(text("txtSubject")->text(), "Q3");
    EXPECT_EQ(text("txtKeywords")->text(), "a, b");
    EXPECT_EQ(slider()->value(), 85);
    EXPECT_EQ(label("lblQuality")->text(), "85%");
    EXPECT_EQ(label("lblQtt")->text(), "Best");
    EXPECT_EQ(text("txtPath")->text(), other);
}

TEST_F(StartUp, FifthRecordOfLettersOrZeroLeavesTheSliderAndLoadsTheRest)
{
    for (const char* bad : {"abc", "0", "101", "-5"}) {
        writeBytes(settingsFile(), QByteArray("\"T\"\r\n\"A\"\r\n\"S\"\r\n\"K\"\r\n\"") + bad + "\"\r\n\"/srv/out\"\r\n");
        load();
        EXPECT_EQ(slider()->value(), 10) << bad;
        EXPECT_EQ(label("lblQuality")->text(), "10%") << bad;
        EXPECT_EQ(label("lblQtt")->text(), "Low") << bad;
        EXPECT_EQ(text("txtTitle")->text(), "T") << bad;
        EXPECT_EQ(text("txtCreateFor")->text(), "A") << bad;
        EXPECT_EQ(text("txtSubject")->text(), "S") << bad;
        EXPECT_EQ(text("txtKeywords")->text(), "K") << bad;
        EXPECT_EQ(text("txtPath")->text(), "/srv/out") << bad;
        window.reset();
    }
}

TEST_F(StartUp, ShortSettingsFileKeepsDefaultsForMissingRecords)
{
    writeBytes(settingsFile(), "\"Only a title\"\r\n\"Me\"\r\n");
    load();
    EXPECT_EQ(text("txtTitle")->text(), "Only a title");
    EXPECT_EQ(text("txtCreateFor")->text(), "Me");
    EXPECT_EQ(text("txtSubject")->text(), "New Subject");
    EXPECT_EQ(slider()->value(), 10);
    EXPECT_EQ(text("txtPath")->text(), home() + "/output");
}

TEST_F(StartUp, LeftoverWorkFoldersAreGoneHiddenAndReadOnlyFilesIncluded)
{
    const QString base = cacheHome() + "/velunor";
    const QStringList runs = {base + "/run-" + QString::number(getpid()), base + "/run-999999999"};
    for (const QString& run : runs) {
        for (const QString& sub : {run + "/tmpvelunor/deeper", run + "/jpgtmp"})
            ASSERT_TRUE(QDir().mkpath(sub));
        writeBytes(run + "/tmpvelunor/tmp.bmp", "BM");
        writeBytes(run + "/tmpvelunor/.hidden", "x");
        writeBytes(run + "/tmpvelunor/deeper/tmp3.pdf", "%PDF");
        writeBytes(run + "/jpgtmp/0.pdf", "%PDF");
        writeBytes(run + "/jpgtmp/.1.pdf", "%PDF");
        ASSERT_EQ(chmod(QFile::encodeName(run + "/jpgtmp/0.pdf").constData(), 0444), 0);
        // A read-only folder: its entries cannot go until it is made writable.
        ASSERT_EQ(chmod(QFile::encodeName(run + "/tmpvelunor/deeper").constData(), 0555), 0);
    }
    chmod(QFile::encodeName(base).constData(), 0700);
    load();
    for (const QString& run : runs) {
        EXPECT_FALSE(QFileInfo::exists(run + "/tmpvelunor")) << run.toStdString();
        EXPECT_FALSE(QFileInfo::exists(run + "/jpgtmp")) << run.toStdString();
    }
    EXPECT_FALSE(QFileInfo::exists(runs[1])); // a killed program's whole run folder
}

TEST_F(StartUp, OnTwelveTwipsPerPixelTheWindowKeepsItsPixels)
{
    load(12);
    EXPECT_EQ(window->centralWidget()->size(), QSize(753, 504));
    EXPECT_EQ(window->findChild<QWidget*>("List1")->geometry(), QRect(8, 94, 487, 326));
    EXPECT_EQ(window->findChild<QWidget*>("txtKeywords")->geometry(), QRect(514, 280, 230, 19));
    EXPECT_EQ(tool(5)->geometry(), QRect(658, 0, 95, 66));
    // Fonts shrink with the twips so the text keeps its size in pixels;
    // txtPath's font is scaled once, like every other control's.
    const double normal = text("txtTitle")->font().pointSizeF();
    EXPECT_LE(normal, 9 * 0.8);
    EXPECT_GE(normal, 9 * 0.8 * 0.8);
    EXPECT_DOUBLE_EQ(text("txtPath")->font().pointSizeF(), normal);
    EXPECT_DOUBLE_EQ(label("lblPB")->font().pointSizeF(), normal * 7.5 / 9);
}

// At twice the scale a 1600 x 1000 screen has room for 800 x 500: the
// window is made smaller to fit it, with the designed proportions. (Run in
// a child of this test program, whose screen is that one.)
TEST_F(StartUp, AtTwiceTheScaleTheWindowFitsASmallScreen)
{
    if (qEnvironmentVariableIsEmpty("VELUNOR_TEST_SMALL_SCREEN")) {
        const QString config = tmp() + "/screen.json";
        ASSERT_TRUE(testsupport::writeFile(config, R"({"screens": [{"name": "small", "x": 0, "y": 0, "width": 1600, "height": 1000,
                                          "logicalDpi": 96, "logicalBaseDpi": 96}]})"));
        QProcess child;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("QT_QPA_PLATFORM", "offscreen:configfile=" + config);
        env.insert("QT_SCALE_FACTOR", "2");
        env.insert("VELUNOR_TEST_SMALL_SCREEN", "1");
        child.setProcessEnvironment(env);
        child.start(QCoreApplication::applicationFilePath(),
                    {"--gtest_filter=StartUp.AtTwiceTheScaleTheWindowFitsASmallScreen"});
        ASSERT_TRUE(child.waitForFinished(120000));
        const QString said = QString::fromLocal8Bit(child.readAllStandardOutput() + child.readAllStandardError());
        EXPECT_EQ(child.exitCode(), 0) << qPrintable(said);
        EXPECT_TRUE(said.contains("[  PASSED  ] 1 test")) << qPrintable(said);
        return;
    }
    load();
    showActive();
    const QRect room = window->screen()->availableGeometry();
    ASSERT_EQ(room.size(), QSize(800, 500));
    EXPECT_LE(window->frameGeometry().width(), room.width());
    EXPECT_LE(window->frameGeometry().height(), room.height());
    const QSize client = window->centralWidget()->size();
    EXPECT_GT(client.height(), 400);
    EXPECT_NEAR(double(client.width()) / client.height(), 753.0 / 504.0, 0.01);
    // Every control shrank by the same factor.
    const double f = client.height() / 504.0;
    const QRect list = window->findChild<QWidget*>("List1")->geometry();
    EXPECT_NEAR(list.width(), 487 * f, 1.5);
    EXPECT_NEAR(list.top(), 94 * f, 1.5);
    EXPECT_NEAR(tool(5)->geometry().left(), 658 * f, 1.5);
    EXPECT_LE(label("picDoor")->pixmap().width(), label("picDoor")->width());
}

TEST_F(StartUp, NoCaptionIsCutWhateverTheFont)
{
    load();
    auto fits = [](QWidget* w, const QString& text, int room) {
        const int need = QFontMetrics(w->font()).horizontalAdvance(text);
        EXPECT_LE(need, room) << w->objectName().toStdString() << ": " << text.toStdString();
    };
    for (const char* name : {"Label2", "lblTitle", "lblCreateFor", "lblCreationDate", "lblSubject", "lblKeywords",
                             "Label3", "lblJPG", "lblText"}) {
        QLabel* l = label(name);
        fits(l, l->text(), l->width());
    }
    fits(label("lblPageNum"), "Page Number Of Selected File: 32767", label("lblPageNum")->width());
    fits(label("lblQuality"), "100%", label("lblQuality")->width());
    fits(label("lblQtt"), "Medium", label("lblQtt")->width());
    fits(label("lblPB"), "Removing Temporary Files...", label("lblPB")->width());
    for (int i = 0; i < 7; ++i)
        fits(tool(i), tool(i)->text(), tool(i)->width() - 4);
    for (const char* name : {"Command1", "cmdBrowse"}) {
        auto* b = window->findChild<QPushButton*>(name);
        fits(b, b->text(), b->width() - 4);
    }
    // What grew stays in its own place: nothing overlaps its neighbour.
    EXPECT_LT(label("Label2")->geometry().right(), label("lblPageNum")->x());
    EXPECT_LT(label("lblJPG")->geometry().right(), label("lblQuality")->x());
    EXPECT_LT(label("lblQuality")->geometry().right(), label("lblQtt")->x());
    EXPECT_LE(label("lblQtt")->geometry().right(), text("txtTitle")->geometry().right());
    EXPECT_TRUE(window->findChild<QWidget*>("List1")->geometry().contains(window->findChild<QWidget*>("picText")->geometry()));
}

TEST_F(StartUp, ListScrollsSidewaysOverTwoThousandPixels)
{
    load();
    auto* list = window->findChild<QListWidget*>("List1");
    window->show();
    list->addItem("/a.jpg");
    QApplication::processEvents();
    QApplication::processEvents();
    auto* bar = list->horizontalScrollBar();
    EXPECT_EQ(bar->maximum() + list->viewport()->width(), 2000);
    EXPECT_TRUE(bar->isVisible());
}

} // namespace

// Keys never go unseen into a control under the start-up picture: the focus
// entering one (Tab, a click) or a key reaching one hides the picture, as
// the first toolbar command does. Showing the window, and the focus on a
// control the picture does not cover, leave it in place.
TEST_F(StartUp, KeysNeverGoUnseenIntoControlsTheStartUpPictureCovers)
{
    const struct {
        const char* what;
        std::function<void()> act;
        bool hidden;
    } rows[] = {
        {"window shown and active", [] {}, false},
        {"Tab onto a toolbar button", [this] { tool(5)->setFocus(Qt::TabFocusReason); }, false},
        {"Tab into the author field", [this] { text("txtCreateFor")->setFocus(Qt::TabFocusReason); }, true},
        {"a click on the output folder", [this] { text("txtPath")->setFocus(Qt::MouseFocusReason); }, true},
        {"a key typed into the focused title", [this] { QTest::keyClick(text("txtTitle"), Qt::Key_X); }, true},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        load();
        showActive();
        row.act();
        QCoreApplication::processEvents();
        EXPECT_EQ(label("picDoor")->isHidden(), row.hidden);
        window.reset();
    }
}
