#include "WindowFixture.h"

#include "TestSupport.h"
#include "engine/job/ConversionJob.h"
#include "filelist/AddCheck.h"
#include "filelist/FileListController.h"
#include "mainwindow/OcrMenu.h"

#include <FreeImage.h>
#include <QAction>
#include <QApplication>
#include <QDir>
#include <QDirIterator>
#include <QFileDialog>
#include <QLineEdit>
#include <QLabel>
#include <QListWidget>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>
#include <QToolButton>

using namespace testsupport;

namespace {

class LongJob : public WindowFixture {
protected:
    // An executable script in a folder of its own; its folder.
    QString standIn(const QString& name, const QByteArray& body)
    {
        const QString bin = tmp() + "/standin-" + name;
        const QString path = bin + "/" + name;
        EXPECT_TRUE(QDir().mkpath(bin));
        EXPECT_TRUE(writeFile(path, "#!/bin/sh\n" + body + "\n"));
        QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        return bin;
    }
    // Presses Escape in the first event pass of a job that finds `ready`
    // true, with no message box open; notes the menus' states then.
    void escapeWhen(std::function<bool()> ready)
    {
        pressed = false;
        auto* timer = new QTimer(window.get());
        QObject::connect(timer, &QTimer::timeout, [=, this]() {
            if (!window->jobRunning() || QApplication::activeModalWidget() || !ready())
                return;
            timer->stop();
            addLive = action("menuAdd")->isEnabled();
            sortLive = action("menuSort")->isEnabled();
            stopLive = action("menuStop")->isEnabled();
            pressed = true;
            // The offscreen platform gives the window its activation back
            // after a message box only when told.
            QApplication::setActiveWindow(window.get());
            QTest::keyClick(QApplication::focusWidget() ? QApplication::focusWidget() : window.get(), Qt::Key_Escape);
        });
        timer->start(0);
    }
    QAction* action(const char* name) const { return window->findChild<QAction*>(name); }
    QStringList workFolders() const
    {
        QStringList found;
        QDirIterator it(cacheHome(), {"tmpvelunor", "jpgtmp"}, QDir::Dirs | QDir::Hidden, QDirIterator::Subdirectories);
        while (it.hasNext())
            found << it.next();
        return found;
    }
    bool pressed = false, addLive = true, sortLive = true, stopLive = false;
};

// Stop ends the job where it is, as Exit's way does, but the window stays:
// the list and fields as they were, no work folder, the earlier document
// intact, "Stopped." under the bar, and the next job runs to its end.
TEST_F(LongJob, EscapeEndsTheJobAtAPageAJoinAndWhileTextIsRead)
{
    load();
    showActive();
    QTest::mouseClick(tool(3), Qt::LeftButton); // uncovers the list
    const QStringList pics = {tmp() + "/a.png", tmp() + "/b.png"};
    for (const QString& p : pics)
        ASSERT_TRUE(writeTestPicture(p, FIF_PNG, 120, 90));
    ASSERT_EQ(window->fileList()->AppendPaths(pics), 2);
    const QString out = tmp() + "/out", earlier = out + "/New PDF Document.pdf";
    ASSERT_TRUE(QDir().mkpath(out));
    ASSERT_TRUE(writeFile(earlier, "the earlier document"));
    text("txtPath")->setText(out);
    text("txtTitle")->setText("New PDF Document");
    auto* list = window->findChild<QListWidget*>("List1");

    // Stand-ins that never end on their own: they note their start and wait.
    const QString joins = standIn("velunor-join", ": > \"$(dirname \"$0\")/started\"\nsleep 100 & wait");
    const QString reader = standIn("reader", ": > \"$(dirname \"$0\")/started\"\nexec sleep 100") + "/reader";
    const struct Row {
        const char* where;
        QString startedMark; // empty: the job's first event pass
        bool joinStandIn;
        bool readText;
    } rows[] = {{"at a page", QString(), false, false},
                {"at a join", joins + "/started", true, false},
                {"while text is read", QFileInfo(reader).path() + "/started", false, true}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.where);
        if (window->ocrMenu()->Searchable()->isChecked() != row.readText)
            window->ocrMenu()->Searchable()->trigger();
        window->setJobSetup([&](ConversionJob& job) {
            OcrProcess::Options o = OcrProcess::Defaults();
            o.program = reader;
            job.SetOcrOptions(o);
            if (row.joinStandIn)
                job.SetToolFolder(joins);
        });
        escapeWhen([&] { return row.startedMark.isEmpty() || QFileInfo::exists(row.startedMark); });
        whenModalOpens([](QWidget* modal) { pressButton(modal, "OK"); }); // replace the earlier document
        QTest::mouseClick(window->findChild<QPushButton*>("Command3"), Qt::LeftButton);

        EXPECT_TRUE(pressed);
        EXPECT_FALSE(addLive);
        EXPECT_FALSE(sortLive);
        EXPECT_TRUE(stopLive);
        EXPECT_FALSE(window->jobRunning());
        EXPECT_EQ(label("lblPB")->text(), "Stopped.");
        ASSERT_EQ(list->count(), 2);
        EXPECT_EQ(list->item(0)->text(), pics[0]);
        EXPECT_EQ(list->item(1)->text(), pics[1]);
        EXPECT_EQ(text("txtTitle")->text(), "New PDF Document");
        EXPECT_EQ(workFolders(), QStringList());
        EXPECT_EQ(readAll(earlier), "the earlier document");
        EXPECT_TRUE(action("menuAdd")->isEnabled());
        EXPECT_TRUE(action("menuSort")->isEnabled());
        EXPECT_FALSE(action("menuStop")->isEnabled());
        EXPECT_TRUE(tool(0)->isEnabled());
        EXPECT_TRUE(window->findChild<QPushButton*>("Command3")->isEnabled());
    }
    // Outside a job Escape does nothing; the next job runs to its end.
    window->ocrMenu()->Searchable()->trigger();
    window->setJobSetup({});
    QTest::keyClick(window.get(), Qt::Key_Escape);
    EXPECT_EQ(label("lblPB")->text(), "Stopped.");
    whenModalOpens([](QWidget* modal) { pressButton(modal, "OK"); });
    QTest::mouseClick(window->findChild<QPushButton*>("Command3"), Qt::LeftButton);
    EXPECT_EQ(label("lblPB")->text(), "Done.");
    EXPECT_EQ(pdfPageCount(earlier), 2);
    EXPECT_EQ(action("menuStop")->parent(), window->findChild<QMenu*>("menuContrl"));
    EXPECT_EQ(action("menuStop")->text(), "Stop Converting");
}

// The entry being made is marked, one at a time and scrolled into view,
// while the user's selection stays where it was.
TEST_F(LongJob, TheEntryBeingMadeIsMarkedAndTheSelectionStays)
{
    load();
    showActive();
    QTest::mouseClick(tool(3), Qt::LeftButton);
    QStringList pics;
    for (int i = 0; i < 3; ++i) {
        pics << tmp() + QString("/p%1.jpg").arg(i);
        ASSERT_TRUE(writeTestPicture(pics.last(), FIF_JPEG, 60, 40));
    }
    ASSERT_EQ(window->fileList()->AppendPaths(pics), 3);
    auto* list = window->findChild<QListWidget*>("List1");
    QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, list->visualItemRect(list->item(2)).center());
    ASSERT_EQ(list->currentRow(), 2);
    text("txtPath")->setText(tmp() + "/out");
    const auto marked = [&] {
        QString rows;
        for (int i = 0; i < list->count(); ++i)
            if (list->item(i)->font().bold() && list->item(i)->background().style() != Qt::NoBrush)
                rows += QString::number(i);
        return rows;
    };
    QStringList seen;
    QTimer watch;
    QObject::connect(&watch, &QTimer::timeout, [&] {
        if (window->jobRunning() && (seen.isEmpty() || seen.last() != marked()))
            seen << marked();
        EXPECT_EQ(list->selectedItems().value(0), list->item(2));
    });
    watch.start(0);
    QTest::mouseClick(window->findChild<QPushButton*>("Command3"), Qt::LeftButton);
    watch.stop();
    EXPECT_EQ(label("lblPB")->text(), "Done.");
    EXPECT_EQ(seen.join(','), "0,1,2,1,2");
    EXPECT_EQ(marked(), "");
    EXPECT_EQ(list->currentRow(), 2);
}

// Pictures that will not make a page are found when they are added, told
// in one box (the first few and a count) that does not hold the window up;
// the job that fails on one selects its entry, so Remove takes it away.
TEST_F(LongJob, BadPicturesAreToldAtAddAndSelectedAtFailure)
{
    load();
    showActive();
    const QString pics = tmp() + "/pics";
    ASSERT_TRUE(QDir().mkpath(pics));
    ASSERT_TRUE(writeTestPicture(pics + "/good.jpg", FIF_JPEG, 60, 40));
    ASSERT_TRUE(writeFile(pics + "/bad.png", "not a picture at all"));
    QString typed = "\"good.jpg\" \"bad.png\"";
    for (int i = 0; i < 6; ++i) {
        ASSERT_TRUE(writeFile(pics + QString("/empty%1.jpg").arg(i), ""));
        typed += QString(" \"empty%1.jpg\"").arg(i);
    }
    QSignalSpy found(window->fileList()->addCheck(), &AddCheck::Found);
    whenModalOpens([&](QWidget* modal) {
        auto* fd = qobject_cast<QFileDialog*>(modal);
        ASSERT_NE(fd, nullptr);
        fd->setDirectory(pics);
        fd->findChild<QLineEdit*>("fileNameEdit")->setText(typed);
        QTest::keyClick(fd->findChild<QLineEdit*>("fileNameEdit"), Qt::Key_Return);
        // A completer's list may have taken the key: Open as the button would.
        if (fd->isVisible())
            static_cast<QDialog*>(fd)->accept();
    });
    QTest::mouseClick(tool(0), Qt::LeftButton);
    auto* list = window->findChild<QListWidget*>("List1");
    ASSERT_EQ(list->count(), 8);
    ASSERT_TRUE(found.count() > 0 || found.wait(120000));
    auto* box = window->findChild<QMessageBox*>("addProblemsBox");
    ASSERT_NE(box, nullptr);
    EXPECT_FALSE(box->isModal());
    const QString said = box->text();
    EXPECT_TRUE(said.startsWith("7 of the pictures just added will not make a page:")) << qPrintable(said);
    EXPECT_TRUE(said.contains("bad.png\": its content is not a kind of picture Velunor reads.")) << qPrintable(said);
    EXPECT_TRUE(said.contains("empty3.jpg\": the file is empty.")) << qPrintable(said);
    EXPECT_FALSE(said.contains("empty4.jpg")) << qPrintable(said);
    EXPECT_TRUE(said.contains("and 2 more.")) << qPrintable(said);
    EXPECT_FALSE(said.contains("good.jpg"));
    QTest::mouseClick(box->button(QMessageBox::Ok), Qt::LeftButton);

    text("txtPath")->setText(tmp() + "/out");
    QString failure;
    whenModalOpens([&](QWidget* modal) {
        failure = qobject_cast<QMessageBox*>(modal)->text();
        pressButton(modal, "OK");
    });
    QTest::mouseClick(window->findChild<QPushButton*>("Command3"), Qt::LeftButton);
    EXPECT_TRUE(failure.contains("bad.png")) << qPrintable(failure);
    EXPECT_EQ(list->currentRow(), 1);
    EXPECT_EQ(list->selectedItems().value(0), list->item(1));
    EXPECT_EQ(label("lblPageNum")->text(), "Page Number of Selected File: 2");
    QTest::mouseClick(tool(2), Qt::LeftButton);
    ASSERT_EQ(list->count(), 7);
    EXPECT_EQ(list->item(1)->text(), pics + "/empty0.jpg");
}

} // namespace
