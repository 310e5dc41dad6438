#include "FileListFixture.h"
#include "TestSupport.h"

#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QFileDialog>
#include <QLineEdit>
#include <QListView>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

using testsupport::pressButton;
using testsupport::whenModalOpens;

namespace {
const QString kPage = "Page Number of Selected File: ";

// Writes an empty file (its content is never read by the list).
void touch(const QString& path)
{
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly)) << path.toStdString();
}
} // namespace

TEST_F(FileListWindow, ClickShowsPageNumberWithLowerCaseOf)
{
    EXPECT_EQ(lblPageNum->text(), "Page Number Of Selected File: 0");
    setEntries({"/p/a.jpg", "/p/b.jpg", "/p/c.jpg"});
    clickRow(0);
    EXPECT_EQ(lblPageNum->text(), kPage + "1");
    clickRow(2);
    EXPECT_EQ(lblPageNum->text(), kPage + "3");
    // The keyboard moves the selection as a click does.
    QTest::keyClick(List1, Qt::Key_Up);
    EXPECT_EQ(selectedRow(), 1);
    EXPECT_EQ(lblPageNum->text(), kPage + "2");
}

TEST_F(FileListWindow, MoveUpAtPositionTwoSwapsAndFollowsTheEntry)
{
    setEntries({"/p/a.jpg", "/p/b.jpg", "/p/c.jpg"});
    clickRow(2);
    clickTool(6);
    EXPECT_EQ(entries(), QStringList({"/p/a.jpg", "/p/c.jpg", "/p/b.jpg"}));
    EXPECT_EQ(selectedRow(), 1);
    EXPECT_EQ(lblPageNum->text(), kPage + "2");
    EXPECT_TRUE(picDoor->isHidden());

    clickTool(4); // Move Down takes it back
    EXPECT_EQ(entries(), QStringList({"/p/a.jpg", "/p/b.jpg", "/p/c.jpg"}));
    EXPECT_EQ(selectedRow(), 2);
    EXPECT_EQ(lblPageNum->text(), kPage + "3");
}

TEST_F(FileListWindow, MovesAtTheEndsOrWithoutSelectionChangeNothing)
{
    const QStringList start = {"/p/a.jpg", "/p/b.jpg", "/p/c.jpg"};
    setEntries(start);
    clickRow(2);
    controller->CmdToolsBar_Click(4);
    EXPECT_EQ(entries(), start);
    EXPECT_EQ(selectedRow(), 2);
    clickRow(0);
    controller->CmdToolsBar_Click(6);
    EXPECT_EQ(entries(), start);
    EXPECT_EQ(lblPageNum->text(), kPage + "1");
    List1->clearSelection();
    controller->CmdToolsBar_Click(6);
    controller->CmdToolsBar_Click(4);
    EXPECT_EQ(entries(), start);
    setEntries({});
    controller->CmdToolsBar_Click(4);
    controller->CmdToolsBar_Click(6);
    EXPECT_TRUE(entries().isEmpty());
}

TEST_F(FileListWindow, RemoveTheOnlyEntryEmptiesTheListAndShowsTheHint)
{
    setEntries({"/p/a.jpg"});
    picText->hide();
    clickRow(0);
    EXPECT_EQ(lblPageNum->text(), kPage + "1");
    clickTool(2);
    EXPECT_TRUE(entries().isEmpty());
    EXPECT_FALSE(picText->isHidden());
    EXPECT_EQ(lblPageNum->text(), kPage + "1"); // keeps its caption
}

TEST_F(FileListWindow, RemoveTakesTheSelectedEntryOnlyAndLeavesNoSelection)
{
    setEntries({"/p/a.jpg", "/p/b.jpg", "/p/c.jpg"});
    picText->hide();
    controller->CmdToolsBar_Click(2); // nothing selected
    EXPECT_EQ(entries().size(), 3);
    clickRow(1);
    controller->CmdToolsBar_Click(2);
    EXPECT_EQ(entries(), QStringList({"/p/a.jpg", "/p/c.jpg"}));
    EXPECT_EQ(selectedRow(), -1);
    EXPECT_TRUE(picText->isHidden());
    EXPECT_EQ(lblPageNum->text(), kPage + "2");
}

TEST_F(FileListWindow, CleanEmptiesAndShowsTheHint)
{
    setEntries({"/p/a.jpg", "/p/b.jpg"});
    picText->hide();
    clickTool(3);
    EXPECT_TRUE(entries().isEmpty());
    EXPECT_FALSE(picText->isHidden());
    picText->hide();
    controller->CmdToolsBar_Click(3); // on an empty list too
    EXPECT_FALSE(picText->isHidden());
}

TEST_F(FileListWindow, SortIgnoresCaseAndLeavesNothingSelected)
{
    setEntries({"/b/a.jpg", "/A/z.JPG", "/a/b.png"});
    clickRow(1);
    controller->menuSort_Click();
    EXPECT_EQ(entries(), QStringList({"/a/b.png", "/A/z.JPG", "/b/a.jpg"}));
    EXPECT_EQ(selectedRow(), -1);
    EXPECT_EQ(List2->count(), 0);
    EXPECT_TRUE(List2->isHidden());
    EXPECT_TRUE(List1->updatesEnabled());
    EXPECT_EQ(lblPageNum->text(), kPage + "2");
    // Sort has no prologue: the start-up picture stays.
    EXPECT_FALSE(picDoor->isHidden());
}

TEST_F(FileListWindow, SortComparesDigitsAsCharactersAndKeepsDuplicates)
{
    setEntries({"/s/img2.jpg", "/s/img10.jpg", "/s/IMG1.jpg", "/s/img2.jpg"});
    controller->menuSort_Click();
    EXPECT_EQ(entries(), QStringList({"/s/IMG1.jpg", "/s/img10.jpg", "/s/img2.jpg", "/s/img2.jpg"}));
    setEntries({});
    controller->menuSort_Click();
    EXPECT_TRUE(entries().isEmpty());
}

TEST_F(FileListWindow, SortHoldsTheListWhileItRuns)
{
    const QStringList start = {"/c.jpg", "/a.jpg", "/b.jpg", "/d.jpg"};
    setEntries(start);
    int nested = 0;
    QTimer timer;
    timer.setInterval(0);
    QObject::connect(&timer, &QTimer::timeout, [&]() {
        // A second Sort, a Clean and a Remove from the Sort's event passes
        // would lose entries; they do nothing until it is done.
        if (nested++ == 0) {
            controller->menuSort_Click();
            controller->CmdToolsBar_Click(3);
            List1->setCurrentRow(0);
            controller->CmdToolsBar_Click(2);
        }
    });
    timer.start();
    controller->menuSort_Click();
    timer.stop();
    EXPECT_GE(nested, 1);
    EXPECT_EQ(entries(), QStringList({"/a.jpg", "/b.jpg", "/c.jpg", "/d.jpg"}));
    EXPECT_EQ(List2->count(), 0);
}

TEST_F(FileListWindow, ConversionStartingDuringSortSeesTheWholeList)
{
    QStringList start;
    for (int i = 0; i < 20; ++i)
        start.append(QString("/s/%1.jpg").arg(QChar('t' - i)));
    setEntries(start);
    QStringList seenByJob;
    QTimer timer;
    timer.setInterval(0);
    QObject::connect(&timer, &QTimer::timeout, [&]() {
        // The rebuild is under way: the list holds only part of the buffer.
        if (seenByJob.isEmpty() && List2->count() == 20 && List1->count() > 0 && List1->count() < 20) {
            controller->SetLocked(true);
            seenByJob = entries();
            controller->CmdToolsBar_Click(3); // the list is held: Clean does nothing
            EXPECT_EQ(List1->count(), 20);
            controller->SetLocked(false);
        }
    });
    timer.start();
    controller->menuSort_Click();
    timer.stop();
    ASSERT_EQ(seenByJob.size(), 20);
    QStringList sorted = start;
    std::sort(sorted.begin(), sorted.end());
    EXPECT_EQ(seenByJob, sorted);
    EXPECT_EQ(entries(), sorted);
}

TEST_F(FileListWindow, CancelOfTheOpenDialogChangesNothing)
{
    setEntries({"/p/a.jpg"});
    picText->hide();
    QString title, selectedFilter;
    QStringList filters;
    whenModalOpens([&](QWidget* modal) {
        title = modal->windowTitle();
        if (auto* fd = qobject_cast<QFileDialog*>(modal)) {
            filters = fd->nameFilters();
            selectedFilter = fd->selectedNameFilter();
        }
        EXPECT_TRUE(pressButton(modal, "Cancel"));
    });
    clickTool(0);
    EXPECT_EQ(title, "Open Files");
    // The designed pairs in order, JPG selected; the added kinds and "All
    // Pictures" just before "All Files".
    ASSERT_EQ(filters.size(), 10);
    EXPECT_EQ(filters.first(), "JPG Files(*.jpg)");
    EXPECT_EQ(filters.at(6), "PNG Files(*.png)");
    EXPECT_EQ(filters.at(7), "HEIC, HEIF, AVIF, WebP, JPEG XL, PNM and TGA Files (*.heic *.heif *.avif *.webp *.jxl *.pbm *.pgm *.ppm *.pnm *.tga)");
    EXPECT_TRUE(filters.at(8).startsWith("All Pictures (*.bmp *.dib *.jpg")) << filters.at(8).toStdString();
    EXPECT_TRUE(filters.at(8).endsWith("*.psd *.heic *.heif *.avif *.webp *.jxl *.pbm *.pgm *.ppm *.pnm *.tga)")) << filters.at(8).toStdString();
    EXPECT_EQ(filters.last(), "All Files(*.*) (*)");
    EXPECT_EQ(selectedFilter, "JPG Files(*.jpg)");
    EXPECT_EQ(entries(), QStringList({"/p/a.jpg"}));
    EXPECT_TRUE(picText->isHidden());
    EXPECT_TRUE(picDoor->isHidden());
    EXPECT_TRUE(dialogs.Filename().isEmpty());
    // The focus sweep ran and ended on Move Up.
    EXPECT_EQ(window->focusWidget(), tools[6]);
}

TEST_F(FileListWindow, AddByTheOpenDialogAppendsAnyFileTwiceOver)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString file = dir.filePath("notes.txt");
    touch(file);
    setEntries({"/p/a.jpg"});
    for (int round = 0; round < 2; ++round) {
        whenModalOpens([&](QWidget* modal) {
            QLineEdit* edit = nullptr;
            QFileDialog* fd = asOpenDialog(modal, &edit);
            if (!fd)
                return;
            fd->selectNameFilter(fd->nameFilters().last()); // "All Files"
            openByName(fd, edit, dir.path(), "notes.txt");
            EXPECT_FALSE(fd->isVisible());
        });
        controller->CmdToolsBar_Click(0);
    }
    EXPECT_EQ(entries(), QStringList({"/p/a.jpg", file, file}));
    EXPECT_TRUE(picText->isHidden());
    EXPECT_TRUE(dialogs.Filename().isEmpty());
    EXPECT_EQ(selectedRow(), -1);
}

// Several files at once, added in the dialog's order; the next dialog opens
// in their folder with the filter last chosen.
TEST_F(FileListWindow, OpenDialogTakesSeveralFilesAndTheNextStartsWhereItLeftOff)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    for (const char* name : {"a.png", "b.png", "c.png"})
        touch(dir.filePath(name));
    ASSERT_NE(QDir(dir.path()).canonicalPath(), QDir::current().canonicalPath());
    QStringList startedIn, filters;
    // Adds three files, then opens the dialog twice more and cancels.
    for (int round = 0; round < 3; ++round) {
        whenModalOpens([&](QWidget* modal) {
            QLineEdit* edit = nullptr;
            QFileDialog* fd = asOpenDialog(modal, &edit);
            if (!fd)
                return;
            startedIn << QDir(fd->directory().absolutePath()).canonicalPath();
            filters << fd->selectedNameFilter();
            if (round > 0) {
                EXPECT_TRUE(pressButton(modal, "Cancel"));
                return;
            }
            fd->selectNameFilter("PNG Files(*.png)");
            fd->setDirectory(dir.path());
            // Picked in the dialog's own file view with the mouse, as a user
            // does: a click, then Ctrl+clicks (a typed quoted list would pass
            // a one-file dialog too).
            auto* view = fd->findChild<QListView*>("listView");
            ASSERT_TRUE(view);
            const auto rowOf = [view](const QString& name) {
                const QModelIndex root = view->rootIndex();
                for (int row = 0; row < view->model()->rowCount(root); ++row)
                    if (view->model()->index(row, 0, root).data().toString() == name)
                        return view->model()->index(row, 0, root);
                return QModelIndex();
            };
            ASSERT_TRUE(QTest::qWaitFor([&] { return rowOf("b.png").isValid() && rowOf("a.png").isValid() && rowOf("c.png").isValid(); }, 30000));
            Qt::KeyboardModifiers modifiers = Qt::NoModifier;
            for (const char* name : {"c.png", "a.png", "b.png"}) {
                view->scrollTo(rowOf(name));
                QTest::mouseClick(view->viewport(), Qt::LeftButton, modifiers, view->visualRect(rowOf(name)).center());
                modifiers = Qt::ControlModifier;
            }
            EXPECT_TRUE(pressButton(fd, "Open"));
        });
        clickTool(0);
    }
    EXPECT_EQ(entries(), QStringList({dir.filePath("c.png"), dir.filePath("a.png"), dir.filePath("b.png")}));
    const QString folder = QDir(dir.path()).canonicalPath();
    EXPECT_EQ(startedIn, QStringList({QDir::current().canonicalPath(), folder, folder}));
    EXPECT_EQ(filters, QStringList({"JPG Files(*.jpg)", "PNG Files(*.png)", "PNG Files(*.png)"}));
}

TEST_F(FileListWindow, ExitAsksTheWindowToClose)
{
    QSignalSpy spy(controller, &FileListController::exitRequested);
    clickTool(5);
    EXPECT_EQ(spy.count(), 1);
    controller->SetLocked(true); // Exit still works during a job
    controller->CmdToolsBar_Click(5);
    EXPECT_EQ(spy.count(), 2);
}

TEST_F(FileListWindow, LockedListRefusesChangesButStaysReadable)
{
    setEntries({"/p/b.jpg", "/p/a.jpg", "/p/c.jpg"});
    picText->hide();
    controller->SetLocked(true);
    EXPECT_TRUE(controller->IsLocked());
    EXPECT_FALSE(controller->AcceptsChanges());
    bool modalSeen = false;
    whenModalOpens([&](QWidget* modal) {
        modalSeen = true;
        pressButton(modal, "Cancel");
    });
    clickRow(1);
    EXPECT_EQ(lblPageNum->text(), kPage + "2");
    for (int index : {0, 1, 2, 3, 4, 6})
        controller->CmdToolsBar_Click(index);
    controller->menuSort_Click();
    EXPECT_EQ(entries(), QStringList({"/p/b.jpg", "/p/a.jpg", "/p/c.jpg"}));
    EXPECT_FALSE(picDoor->isHidden());

    controller->SetLocked(false);
    clickRow(1);
    clickTool(2);
    EXPECT_EQ(entries(), QStringList({"/p/b.jpg", "/p/c.jpg"}));
    // Let the dialog watcher see that nothing opened, then answer what opens now.
    QApplication::processEvents();
    EXPECT_FALSE(modalSeen);
    clickTool(0);
    EXPECT_TRUE(modalSeen);
}

TEST_F(FileListWindow, TheListStopsAtItsLimitAndSaysSoOnce)
{
    QStringList many;
    many.reserve(FileListController::MaxEntries - 2);
    for (int i = 0; i < FileListController::MaxEntries - 2; ++i)
        many.append(QStringLiteral("/p/%1.jpg").arg(i));
    setEntries(many);
    EXPECT_EQ(controller->AppendPaths({"/q/1.jpg", "/q/2.jpg", "/q/3.jpg", "/q/4.jpg"}), 2);
    EXPECT_EQ(List1->count(), FileListController::MaxEntries);
    ASSERT_EQ(sink.messages.size(), 1u);
    EXPECT_EQ(sink.messages[0].title, "Velunor");
    EXPECT_TRUE(sink.messages[0].text.contains("32,767")) << sink.messages[0].text.toStdString();
    EXPECT_EQ(List1->item(FileListController::MaxEntries - 1)->text(), "/q/2.jpg");
}
