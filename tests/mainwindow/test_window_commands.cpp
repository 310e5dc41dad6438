#include "ScopedEnv.h"
#include "WindowFixture.h"

#include "TestSupport.h"
#include "filelist/FileListController.h"
#include "platform/widgets/Skin.h"

#include <FreeImage.h>
#include <QAction>
#include <QApplication>
#include <QDateTime>
#include <QDesktopServices>
#include <QDir>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QPalette>
#include <QPushButton>
#include <QRegularExpression>
#include <QSlider>
#include <QTest>
#include <QTimer>
#include <QToolButton>

#include <ctime>

using namespace testsupport;

namespace {

class Commands : public WindowFixture {
protected:
    void click(const char* name)
    {
        auto* b = window->findChild<QAbstractButton*>(name);
        ASSERT_NE(b, nullptr) << name;
        QTest::mouseClick(b, Qt::LeftButton);
    }
};

using ZoneScope = testsupport::ScopedTimeZone;

TEST_F(Commands, NowWritesTheLocalTimeWithTheMachinesOwnOffset)
{
    load();
    auto* date = text("txtCreationDate");
    const struct {
        const char* tz;
        const char* zone;
    } zones[] = {{"UTC0", "+00'00"}, {"EST5", "-05'00"}, {"CET-1", "+01'00"}, {"IST-5:30", "+05'30"}};
    for (const auto& z : zones) {
        ZoneScope scope(z.tz);
        date->setText("typed by the user");
        const QDateTime before = QDateTime::currentDateTime();
        QTest::mouseClick(window->findChild<QPushButton*>("Command1"), Qt::LeftButton);
        const QDateTime after = QDateTime::currentDateTime();
        const QString d = date->text();
        ASSERT_EQ(d.size(), 22) << d.toStdString();
        EXPECT_TRUE(QRegularExpression("^D:\\d{14}[+-]\\d\\d'\\d\\d$").match(d).hasMatch()) << d.toStdString();
        EXPECT_EQ(d.right(6), z.zone) << z.tz;
        // The digits are the local wall-clock time of that zone.
        const QDateTime stamp = QDateTime::fromString(d.mid(2, 14), "yyyyMMddHHmmss");
        ASSERT_TRUE(stamp.isValid());
        EXPECT_GE(stamp, before.addMSecs(-before.time().msec()));
        EXPECT_LE(stamp, after);
    }
}

TEST_F(Commands, QualityWordsFollowTheSlider)
{
    load();
    QSlider* s = slider();
    const struct {
        int v;
        const char* word;
    } cases[] = {{1, "Low"},   {29, "Low"},  {30, "Medium"}, {59, "Medium"},
                 {60, "Good"}, {79, "Good"}, {80, "Best"},   {100, "Best"}};
    for (const auto& c : cases) {
        s->setValue(c.v);
        EXPECT_EQ(label("lblQuality")->text(), QString::number(c.v) + "%");
        EXPECT_EQ(label("lblQtt")->text(), c.word) << c.v;
    }
    // The keyboard moves it in its steps: small 5, large 10.
    s->setValue(10);
    s->setFocus();
    QTest::keyClick(s, Qt::Key_Right);
    EXPECT_EQ(s->value(), 15);
    QTest::keyClick(s, Qt::Key_PageUp);
    EXPECT_EQ(s->value(), 25);
    EXPECT_EQ(label("lblQtt")->text(), "Low");
    QTest::keyClick(s, Qt::Key_End);
    EXPECT_EQ(label("lblQuality")->text(), "100%");
    EXPECT_EQ(label("lblQtt")->text(), "Best");
    QTest::keyClick(s, Qt::Key_Home);
    EXPECT_EQ(label("lblQuality")->text(), "1%");
    EXPECT_EQ(label("lblQtt")->text(), "Low");
}

TEST_F(Commands, AboutBoxThenFocusOnMoveUp)
{
    load();
    showActive();
    text("txtTitle")->setFocus();
    QString title, body;
    bool pressed = false;
    whenModalOpens([&](QWidget* modal) {
        auto* box = qobject_cast<QMessageBox*>(modal);
        if (box) {
            title = box->windowTitle();
            body = box->text();
            EXPECT_EQ(box->buttons().size(), 1);
        }
        pressed = pressButton(modal, "OK");
    });
    window->findChild<QAction*>("menuAbout")->trigger();
    EXPECT_TRUE(pressed);
    EXPECT_EQ(title, "about");
    EXPECT_FALSE(body.contains('\n'));
    EXPECT_TRUE(body.contains("Velunor"));
    EXPECT_TRUE(body.contains("2026"));
    EXPECT_EQ(window->focusWidget(), tool(6));
}

TEST(About, NamesTheProjectVersion)
{
    EXPECT_TRUE(frmPrinting::AboutText().startsWith(QStringLiteral("Velunor " VELUNOR_PROJECT_VERSION " ")))
        << frmPrinting::AboutText().toStdString();
}

TEST_F(Commands, BrowseCancelKeepsTheTypedFolderAndChoosingReplacesIt)
{
    load();
    showActive();
    QLineEdit* path = text("txtPath");
    path->clear();
    QTest::keyClicks(path, "/my/typed/folder");

    QString prompt;
    bool onlyFolders = false;
    whenModalOpens([&](QWidget* modal) {
        auto* dlg = qobject_cast<QFileDialog*>(modal);
        if (dlg) {
            prompt = dlg->windowTitle();
            onlyFolders = dlg->fileMode() == QFileDialog::Directory && dlg->testOption(QFileDialog::ShowDirsOnly);
        }
        EXPECT_TRUE(pressButton(modal, "Cancel"));
    });
    click("cmdBrowse");
    EXPECT_EQ(prompt, "Please select a folder:");
    EXPECT_TRUE(onlyFolders);
    EXPECT_EQ(path->text(), "/my/typed/folder");
    EXPECT_EQ(window->focusWidget(), tool(6));

    const QString chosen = tmp() + "/chosen";
    ASSERT_TRUE(QDir().mkpath(chosen));
    whenModalOpens([&](QWidget* modal) {
        auto* dlg = qobject_cast<QFileDialog*>(modal);
        ASSERT_NE(dlg, nullptr);
        dlg->setDirectory(tmp());
        dlg->selectFile(chosen);
        QMetaObject::invokeMethod(dlg, "accept");
    });
    click("cmdBrowse");
    EXPECT_EQ(path->text(), chosen);
}

TEST_F(Commands, WebsiteOpensTheInstalledReadme)
{
    load();
    const QString readme = tmp() + "/share/doc/velunor/README.md";
    window->setDocumentationFile(readme);
    window->findChild<QAction*>("menuWeb")->trigger();
    ASSERT_EQ(opened.urls.size(), 1);
    EXPECT_EQ(opened.urls[0], QUrl::fromLocalFile(readme));
}

TEST_F(Commands, ExitButtonFileExitAndCloseBoxAllUnloadTheSameWay)
{
    const QPalette unskinned = QApplication::palette();
    // Exit button.
    load();
    showActive();
    ASSERT_TRUE(SkinH_Attached());
    ASSERT_NE(QApplication::palette().color(QPalette::Window), unskinned.color(QPalette::Window));
    QTest::mouseClick(tool(5), Qt::LeftButton);
    EXPECT_EQ(ended, 1);
    EXPECT_FALSE(SkinH_Attached());
    EXPECT_EQ(QApplication::palette().color(QPalette::Window), unskinned.color(QPalette::Window));
    EXPECT_FALSE(window->isVisible());

    // File, Exit.
    ended = 0;
    load();
    showActive();
    window->findChild<QAction*>("menuExit")->trigger();
    EXPECT_EQ(ended, 1);
    EXPECT_FALSE(SkinH_Attached());

    // The close box: the window system asks the window to close.
    ended = 0;
    load();
    showActive();
    QCloseEvent close;
    QApplication::sendEvent(window.get(), &close);
    EXPECT_TRUE(close.isAccepted());
    EXPECT_EQ(ended, 1);
    EXPECT_FALSE(SkinH_Attached());
}

TEST_F(Commands, ConvertMakesTheDocumentAndShowsDone)
{
    load();
    showActive();
    const QString pics = tmp() + "/pics";
    ASSERT_TRUE(QDir().mkpath(pics));
    QStringList files = {pics + "/one.jpg", pics + "/two.png", pics + "/three.bmp"};
    ASSERT_TRUE(writeTestPicture(files[0], FIF_JPEG, 160, 120));
    ASSERT_TRUE(writeTestPicture(files[1], FIF_PNG, 90, 200, 32));
    ASSERT_TRUE(writeTestPicture(files[2], FIF_BMP, 64, 64, 8));
    ASSERT_EQ(window->fileList()->AppendPaths(files), 3);

    const QString out = tmp() + "/out";
    text("txtTitle")->setText("Holiday, 2026");
    text("txtCreateFor")->setText("Ann");
    text("txtPath")->setText(out + "/");
    slider()->setValue(70);

    // No message box may open: a test answer would show up as a failure.
    bool unexpected = false;
    QTimer watch;
    QObject::connect(&watch, &QTimer::timeout, [&]() {
        if (QWidget* m = QApplication::activeModalWidget()) {
            unexpected = true;
            pressButton(m, "OK");
        }
    });
    watch.start(0);
    click("Command3");
    watch.stop();
    EXPECT_FALSE(unexpected);

    EXPECT_EQ(label("lblPB")->text(), "Done.");
    const QString pdf = out + "/Holiday, 2026.pdf";
    ASSERT_TRUE(QFileInfo::exists(pdf));
    EXPECT_EQ(pdfPageCount(pdf), 3);
    EXPECT_EQ(pdfInfoField(pdf, "Title"), "Holiday, 2026");
    EXPECT_EQ(pdfInfoField(pdf, "Author"), "Ann");
    EXPECT_EQ(runProgram("qpdf", {"--check", pdf}).exitCode, 0);
    // The trailing "/" went from the field; the folder was opened.
    EXPECT_EQ(text("txtPath")->text(), out);
    ASSERT_FALSE(opened.urls.isEmpty());
    EXPECT_EQ(opened.urls.last(), QUrl::fromLocalFile(out));
    // Buttons back, list unlocked, and the settings stored for the next start.
    EXPECT_TRUE(window->findChild<QPushButton*>("Command3")->isEnabled());
    EXPECT_TRUE(tool(0)->isEnabled());
    EXPECT_FALSE(window->fileList()->IsLocked());
    EXPECT_FALSE(window->jobRunning());
    window.reset();
    load();
    EXPECT_EQ(text("txtTitle")->text(), "Holiday, 2026");
    EXPECT_EQ(slider()->value(), 70);
    EXPECT_EQ(text("txtPath")->text(), out);
}

TEST_F(Commands, ClosingDuringAJobEndsAtOnceWithoutAQuestion)
{
    load();
    showActive();
    const QString pic = tmp() + "/p.jpg";
    ASSERT_TRUE(writeTestPicture(pic, FIF_JPEG, 80, 60));
    window->fileList()->AppendPaths({pic, pic});
    text("txtPath")->setText(tmp() + "/out");

    bool runningWhenEnded = false;
    bool askedAnything = false;
    window->setProgramEnder([&]() {
        ++ended;
        runningWhenEnded = window->jobRunning();
        askedAnything = QApplication::activeModalWidget() != nullptr;
    });
    // The job yields after its first page: the close box is pressed then.
    QTimer::singleShot(0, window.get(), [&]() { window->close(); });
    click("Command3");
    EXPECT_EQ(ended, 1);
    EXPECT_TRUE(runningWhenEnded);
    EXPECT_FALSE(askedAnything);
    EXPECT_FALSE(SkinH_Attached());
}

TEST_F(Commands, ConvertWithAnEmptyListAsksForAFile)
{
    load();
    showActive();
    QString title, body;
    whenModalOpens([&](QWidget* modal) {
        title = modal->windowTitle();
        if (auto* box = qobject_cast<QMessageBox*>(modal))
            body = box->text();
        pressButton(modal, "OK");
    });
    click("Command3");
    EXPECT_EQ(title, "Add File");
    EXPECT_EQ(body, "Please add a file");
    EXPECT_EQ(window->focusWidget(), tool(6));
    EXPECT_FALSE(QFileInfo::exists(settingsFile()));
}

// A job that stops gives Command3, the toolbar and the list back and opens
// nothing: a title that cannot name a file, an existing document kept by
// Cancel, a picture that cannot be read.
TEST_F(Commands, StoppedConversionGivesTheButtonsAndTheListBack)
{
    load();
    showActive();
    const QString good = tmp() + "/p.jpg", bad = tmp() + "/bad.png", out = tmp() + "/out";
    ASSERT_TRUE(writeTestPicture(good, FIF_JPEG, 80, 60));
    ASSERT_TRUE(writeFile(bad, "not a picture"));
    ASSERT_TRUE(QDir().mkpath(out));
    ASSERT_TRUE(writeFile(out + "/Kept.pdf", "old"));
    text("txtPath")->setText(out);
    auto* list = window->findChild<QListWidget*>("List1");
    const struct Row {
        const char* title;
        QString picture;
        const char* box;
        const char* press;
    } rows[] = {{"a/b", good, "Velunor", "OK"}, {"Kept", good, "Overwrite", "Cancel"}, {"New", bad, "Velunor", "OK"}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.title);
        list->clear();
        ASSERT_EQ(window->fileList()->AppendPaths({row.picture}), 1);
        text("txtTitle")->setText(row.title);
        QString title;
        bool lockedMeanwhile = false;
        whenModalOpens([&](QWidget* modal) {
            title = modal->windowTitle();
            lockedMeanwhile = window->fileList()->IsLocked() && !tool(0)->isEnabled();
            pressButton(modal, row.press);
        });
        click("Command3");
        EXPECT_EQ(title, row.box);
        EXPECT_TRUE(lockedMeanwhile);
        EXPECT_TRUE(window->findChild<QPushButton*>("Command3")->isEnabled());
        for (int i = 0; i < 7; ++i)
            EXPECT_TRUE(tool(i)->isEnabled()) << i;
        EXPECT_FALSE(window->fileList()->IsLocked());
        EXPECT_NE(label("lblPB")->text(), "Done.");
    }
    EXPECT_TRUE(opened.urls.isEmpty());
    EXPECT_EQ(readAll(out + "/Kept.pdf"), "old");
}

TEST_F(Commands, EnterPressesTheFocusedButton)
{
    load();
    showActive();
    // "Now" takes Enter as it takes a click.
    auto* now = window->findChild<QPushButton*>("Command1");
    text("txtCreationDate")->setText("typed by the user");
    now->setFocus();
    ASSERT_EQ(QApplication::focusWidget(), now);
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Return);
    EXPECT_EQ(text("txtCreationDate")->text().size(), 22);

    // So does a toolbar button, also by the keypad's Enter.
    QTest::mouseClick(tool(3), Qt::LeftButton); // uncovers the list
    ASSERT_EQ(window->fileList()->AppendPaths({"/p/a.jpg", "/p/b.jpg"}), 2);
    auto* list = window->findChild<QListWidget*>("List1");
    QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, list->visualItemRect(list->item(1)).center());
    ASSERT_EQ(list->currentRow(), 1);
    tool(6)->setFocus();
    ASSERT_EQ(QApplication::focusWidget(), tool(6));
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Enter, Qt::KeypadModifier);
    EXPECT_EQ(list->item(0)->text(), "/p/b.jpg");
    EXPECT_EQ(list->item(1)->text(), "/p/a.jpg");

    // And "Convert To PDF Now": with an empty list it asks for a file.
    QTest::mouseClick(tool(3), Qt::LeftButton);
    ASSERT_EQ(list->count(), 0);
    QString title;
    whenModalOpens([&](QWidget* modal) {
        title = modal->windowTitle();
        pressButton(modal, "OK");
    });
    auto* convert = window->findChild<QPushButton*>("Command3");
    convert->setFocus();
    ASSERT_EQ(QApplication::focusWidget(), convert);
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Return);
    EXPECT_EQ(title, "Add File");
}

} // namespace
