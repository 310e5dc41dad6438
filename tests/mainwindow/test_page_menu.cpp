#include "WindowFixture.h"

#include "PdfaRules.h"
#include "TestSupport.h"
#include "filelist/FileListController.h"
#include "engine/job/OcrLanguages.h"
#include "mainwindow/OcrMenu.h"
#include "mainwindow/PageMenu.h"

#include <FreeImage.h>
#include <QAbstractButton>
#include <QAction>
#include <QComboBox>
#include <QDir>
#include <QDoubleSpinBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QPushButton>
#include <QRegularExpression>
#include <QSpinBox>
#include <QTest>
#include <QTimer>

#include <sys/stat.h>

using namespace testsupport;

namespace {

class PageMenuTest : public WindowFixture {
protected:
    QString optionsFile() const { return appData() + "/options.ini"; }
    // Opens "Page" on the menu bar and clicks the item, with the mouse.
    void choose(const char* name)
    {
        QMenuBar* bar = window->menuBar();
        auto* page = window->findChild<QMenu*>("menuPage");
        ASSERT_NE(page, nullptr);
        QTest::mouseClick(bar, Qt::LeftButton, {}, bar->actionGeometry(page->menuAction()).center());
        ASSERT_TRUE(page->isVisible());
        auto* a = window->findChild<QAction*>(name);
        ASSERT_TRUE(a && a->isEnabled()) << name;
        QTest::mouseClick(page, Qt::LeftButton, {}, page->actionGeometry(a).center());
    }
    // The next dialog gets these values, then OK (or Cancel).
    void answerDialog(std::function<void(QWidget*)> fill, bool ok = true)
    {
        whenModalOpens([fill, ok](QWidget* d) {
            fill(d);
            for (QAbstractButton* b : d->findChildren<QAbstractButton*>())
                if (b->text().remove('&') == (ok ? "OK" : "Cancel"))
                    QTest::mouseClick(b, Qt::LeftButton);
        });
    }
    QString checkedItems() const
    {
        QStringList on;
        for (QAction* a : window->findChild<QMenu*>("menuPage")->actions())
            if (a->isChecked())
                on << a->objectName();
        return on.join(',');
    }
};

void setLength(QWidget* d, const char* field, double value, const char* unit)
{
    d->findChild<QDoubleSpinBox*>(field)->setValue(value);
    auto* units = d->findChild<QComboBox*>("cboUnit");
    units->setCurrentIndex(units->findText(unit));
}

// Every choice, the text recognition's and the archive's too: live during a job (a change
// applies from the next page), kept in options.ini at once beside any other
// program part's keys, and back at the next start; a margin with no room
// left is refused.
TEST_F(PageMenuTest, ChoicesAreLiveDuringAJobAndComeBackAtTheNextStart)
{
    // English for real, German by name only: the job reads English.
    const QString tessdata = tmp() + "/tessdata";
    ASSERT_TRUE(QDir().mkpath(tessdata));
    for (const char* f : {"eng.traineddata", "osd.traineddata"})
        ASSERT_TRUE(QFile::link(OcrLanguages::DataFolder() + "/" + f, tessdata + "/" + f));
    ASSERT_TRUE(writeFile(tessdata + "/deu.traineddata", "x"));
    setEnv("TESSDATA_PREFIX", QFile::encodeName(tessdata));
    ASSERT_TRUE(writeFile(optionsFile(), "# kept\nocr.language = deu\n"));
    load();
    showActive();
    EXPECT_EQ(checkedItems(), "menuPagePicture,menuOrientAuto,menuRotatePages");
    choose("menuSearchable");
    choose("menuPdfa");

    const QString pic = tmp() + "/tall.jpg";
    ASSERT_TRUE(writeTestPicture(pic, FIF_JPEG, 120, 160));
    ASSERT_EQ(window->fileList()->AppendPaths({pic, pic}), 2);
    text("txtPath")->setText(tmp() + "/out");
    bool liveDuringJob = false;
    // The job lets events through after its first page.
    QTimer::singleShot(0, window.get(), [&]() {
        liveDuringJob = window->jobRunning();
        choose("menuPageA4");
    });
    QTest::mouseClick(window->findChild<QAbstractButton*>("Command3"), Qt::LeftButton);
    EXPECT_TRUE(liveDuringJob);
    const QString pdf = tmp() + "/out/New PDF Document.pdf";
    const auto info = runProgram("pdfinfo", {"-f", "1", "-l", "2", pdf}).out;
    EXPECT_TRUE(info.contains(QRegularExpression("Page +1 size: +43.0866 x 57.5433 pts"))) << qPrintable(info);
    EXPECT_TRUE(info.contains(QRegularExpression("Page +2 size: +595.276 x 841.89 pts"))) << qPrintable(info);
    EXPECT_TRUE(runProgram("pdffonts", {pdf}).out.contains("GlyphLessFont"));
    EXPECT_EQ(pdfa::Broken(pdfa::Read(pdf)).join("\n").toStdString(), "");

    // The installed languages by name (not the orientation data); German added.
    QStringList listed;
    answerDialog([&](QWidget* d) {
        auto* list = d->findChild<QListWidget*>();
        for (int i = 0; i < list->count(); ++i)
            listed << list->item(i)->text();
        list->setCurrentRow(1);
        QTest::keyClick(list, Qt::Key_Space);
    });
    choose("menuOcrLanguage");
    EXPECT_EQ(listed.join(", "), "English (eng), German (deu)");
    choose("menuOrientLandscape");
    choose("menuShrink");
    answerDialog([](QWidget* d) { setLength(d, "txtMargin", 12.5, "mm"); });
    choose("menuMargin");
    answerDialog([](QWidget* d) { d->findChild<QSpinBox*>("txtMaxPpi")->setValue(150); });
    choose("menuMaxPpi");
    answerDialog([](QWidget* d) {
        setLength(d, "txtWidth", 100, "mm");
        setLength(d, "txtHeight", 150, "mm");
    });
    choose("menuPageCustom");
    EXPECT_EQ(checkedItems(), "menuPageCustom,menuOrientLandscape,menuShrink,menuRotatePages,menuSearchable,menuPdfa");
    // Cancel keeps the size; a margin that leaves no room is refused.
    answerDialog([](QWidget*) {}, false);
    choose("menuPageA4");
    choose("menuPageCustom");
    EXPECT_EQ(checkedItems(), "menuPageA4,menuOrientLandscape,menuShrink,menuRotatePages,menuSearchable,menuPdfa");
    answerDialog([](QWidget* d) {
        setLength(d, "txtMargin", 110, "mm");
        whenModalOpens([](QWidget* box) {
            EXPECT_TRUE(qobject_cast<QMessageBox*>(box)->text().contains("leaves no room on a page of A4"));
            pressButton(box, "OK");
        });
    });
    choose("menuMargin");
    const PageLayout kept = window->pageMenu()->Layout();
    EXPECT_EQ(kept.SizeText(), "A4");
    EXPECT_EQ(kept.margin.Text(), "12.5mm");
    EXPECT_EQ(kept.maxPpi, 150);

    const QString file = QString::fromUtf8(readAll(optionsFile()));
    for (const char* line : {"ocr.language = deu\n", "page.size = A4\n", "page.orientation = landscape\n",
                             "page.margin = 12.5mm\n", "page.fit = shrink\n", "page.maxppi = 150\n",
                             "ocr.enabled = 1\n", "ocr.languages = eng+deu\n", "document.pdfa = 1\n"})
        EXPECT_TRUE(file.contains(line)) << line << " in\n" << qPrintable(file);
    // The designed settings file keeps its six records.
    EXPECT_EQ(readAll(settingsFile()).count("\r\n"), 6);

    window.reset();
    load();
    showActive();
    EXPECT_EQ(checkedItems(), "menuPageA4,menuOrientLandscape,menuShrink,menuRotatePages,menuSearchable,menuPdfa");
    EXPECT_EQ(window->pageMenu()->Layout(), kept);
    EXPECT_EQ(window->ocrMenu()->JobLanguages(), "eng+deu");
    choose("menuSearchable");
    EXPECT_EQ(window->ocrMenu()->JobLanguages(), "");
    EXPECT_TRUE(readAll(optionsFile()).contains("ocr.enabled = 0\n"));
    choose("menuPdfa");
    EXPECT_TRUE(readAll(optionsFile()).contains("document.pdfa = 0\n"));

    // The file's own resolution, pages left as they stand, and straightened.
    for (const char* item : {"menuPageNative", "menuRotatePages", "menuDeskew"})
        choose(item);
    EXPECT_EQ(checkedItems(), "menuPageNative,menuOrientLandscape,menuShrink,menuDeskew");
    for (const char* line : {"page.size = native\n", "page.rotate = off\n", "page.deskew = on\n"})
        EXPECT_TRUE(readAll(optionsFile()).contains(line)) << line;
}

// The paper in force shows in the menu's title. Custom Size converts its
// numbers when the unit changes; a value that cannot be used is said beside
// the fields, with OK disabled until it is mended.
TEST_F(PageMenuTest, TitleShowsThePaperAndCustomSizeConvertsItsUnit)
{
    load();
    showActive();
    auto* page = window->findChild<QMenu*>("menuPage");
    EXPECT_EQ(page->title(), "Page");
    choose("menuPageA4");
    EXPECT_EQ(page->title(), "Page (A4)");

    QStringList seen;
    answerDialog([&](QWidget* d) {
        auto* width = d->findChild<QDoubleSpinBox*>("txtWidth");
        auto* height = d->findChild<QDoubleSpinBox*>("txtHeight");
        auto* problem = d->findChild<QLabel*>("lblSizeProblem");
        QPushButton* ok = nullptr;
        for (auto* b : d->findChildren<QPushButton*>())
            if (b->text().remove('&') == "OK")
                ok = b;
        const auto note = [&] {
            seen << QString::number(width->value(), 'f', 2) + " x " + QString::number(height->value(), 'f', 2) +
                        (ok->isEnabled() ? ", OK, " : ", no OK, ") + (problem->isVisible() ? problem->text() : "-");
        };
        note();
        auto* units = d->findChild<QComboBox*>("cboUnit");
        units->setFocus();
        QTest::keyClick(units, Qt::Key_I); // "in"
        note();
        width->setFocus();
        width->selectAll();
        QTest::keyClicks(width, "0");
        note();
        width->selectAll();
        QTest::keyClicks(width, "8.5");
        note();
    });
    choose("menuPageCustom");
    ASSERT_EQ(seen.size(), 4);
    EXPECT_EQ(seen[0], "210.00 x 297.00, OK, -");
    EXPECT_EQ(seen[1], "8.27 x 11.69, OK, -");
    EXPECT_TRUE(seen[2].startsWith("0.00 x 11.69, no OK, ")) << qPrintable(seen[2]);
    EXPECT_TRUE(seen[2].contains("more than 0")) << qPrintable(seen[2]);
    EXPECT_EQ(seen[3], "8.50 x 11.69, OK, -");
    EXPECT_EQ(page->title(), "Page (8.5x11.69in)");
    EXPECT_NEAR(window->pageMenu()->Layout().PaperHeight(), 841.89, 0.01);
    choose("menuPagePicture");
    EXPECT_EQ(page->title(), "Page");
}

// A layout that makes every picture tiny is asked about at the job's
// start: No makes nothing, Yes makes the document.
TEST_F(PageMenuTest, ATinyLayoutIsAskedAboutAtTheJobsStart)
{
    load();
    showActive();
    choose("menuPageA5");
    answerDialog([](QWidget* d) { setLength(d, "txtMargin", 70, "mm"); });
    choose("menuMargin");
    const QString pic = tmp() + "/p.jpg", pdf = tmp() + "/out/New PDF Document.pdf";
    ASSERT_TRUE(writeTestPicture(pic, FIF_JPEG, 120, 160));
    ASSERT_EQ(window->fileList()->AppendPaths({pic}), 1);
    text("txtPath")->setText(tmp() + "/out");
    for (const char* answer : {"No", "Yes"}) {
        QString asked;
        whenModalOpens([&](QWidget* box) {
            asked = qobject_cast<QMessageBox*>(box)->text();
            pressButton(box, answer);
        });
        QTest::mouseClick(window->findChild<QAbstractButton*>("Command3"), Qt::LeftButton);
        EXPECT_TRUE(asked.contains("The margin of 70mm leaves less than 1 inch")) << qPrintable(asked);
        EXPECT_EQ(QFileInfo::exists(pdf), QString(answer) == "Yes");
        EXPECT_FALSE(window->jobRunning());
    }
}

// A damaged options file gives the defaults (key by key where the lines
// are readable), never a failed or stalled start.
TEST_F(PageMenuTest, ADamagedOptionsFileGivesTheDefaults)
{
    const struct {
        const char* what;
        QByteArray bytes; // empty: made below
        const char* size;
    } rows[] = {
        {"not UTF-8", "page.size = A4\n\xff\xfe\x00garbage\n", "picture"},
        {"too large", "page.size = A4\n" + QByteArray(70 * 1024, '#'), "picture"},
        {"nonsense values", "page.size = A9\npage.margin = -3mm\npage.maxppi = 0\npage.fit=huge\n=\nno equals\n",
         "picture"},
        {"margin with no room", "page.size=a5\npage.margin=80mm\n", "A5"},
        {"a folder", {}, "picture"},
        {"a FIFO", {}, "picture"},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.what);
        QFile::remove(optionsFile());
        QDir(optionsFile()).removeRecursively();
        if (QByteArray(r.what) == "a folder")
            ASSERT_TRUE(QDir().mkpath(optionsFile()));
        else if (QByteArray(r.what) == "a FIFO")
            ASSERT_EQ(::mkfifo(QFile::encodeName(optionsFile()).constData(), 0600), 0);
        else
            ASSERT_TRUE(writeFile(optionsFile(), r.bytes));
        load();
        const PageLayout l = window->pageMenu()->Layout();
        EXPECT_EQ(l.SizeText(), r.size);
        EXPECT_EQ(l.margin.Text(), "0mm");
        EXPECT_EQ(l.orientation, PageLayout::Orientation::Auto);
        EXPECT_EQ(l.fit, PageLayout::Fit::Into);
        EXPECT_EQ(l.maxPpi, 0);
        EXPECT_EQ(text("txtTitle")->text(), "New PDF Document");
        window.reset();
    }
    QFile::remove(optionsFile());
}

} // namespace
