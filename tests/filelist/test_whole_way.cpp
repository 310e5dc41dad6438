// One walk through the real main window, as a user builds a list and makes
// the document: the open dialog, a drop, Move Up, Sort, "Convert To PDF Now".
#include "FileListFixture.h"
#include "ScopedEnv.h"
#include "TestSupport.h"
#include "filelist/FileListController.h"
#include "mainwindow/frmPrinting.h"
#include "platform/widgets/Skin.h"

#include <FreeImage.h>
#include <QAction>
#include <QApplication>
#include <QDesktopServices>
#include <QDir>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMimeData>
#include <QPushButton>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QToolButton>
#include <QUrl>
#include <gtest/gtest.h>
#include <map>
#include <optional>

using namespace testsupport;

class FolderOpener : public QObject {
    Q_OBJECT
public:
    QList<QUrl> urls;
public slots:
    void open(const QUrl& url) { urls.append(url); }
};

namespace {

// Points HOME, APPDATA and the XDG folders into a temporary folder for the
// life of the test, so the window reads and writes nothing of the real user.
class PrivateWorld {
public:
    explicit PrivateWorld(const QString& root)
    {
        for (const char* sub : {"/home", "/appdata", "/config", "/cache"})
            QDir().mkpath(root + sub);
        set("HOME", root + "/home");
        set("APPDATA", root + "/appdata");
        set("XDG_CONFIG_HOME", root + "/config");
        set("XDG_CACHE_HOME", root + "/cache");
    }

private:
    void set(const char* name, const QString& value) { m_env.set(name, QFile::encodeName(value)); }
    testsupport::ScopedEnv m_env;
};

QToolButton* toolButton(frmPrinting& w, int index)
{
    for (QToolButton* b : w.findChildren<QToolButton*>("CmdToolsBar")) {
        if (b->property("Index").toInt() == index)
            return b;
    }
    return nullptr;
}

// Page sizes in points, in page order, as pdfinfo reports them.
QStringList pageSizes(const QString& pdf)
{
    const ProcessResult r = runProgram("pdfinfo", {"-f", "1", "-l", "99", pdf});
    QStringList sizes;
    static const QRegularExpression re(R"(Page\s+\d+\s+size:\s+([\d.]+) x ([\d.]+) pts)");
    auto it = re.globalMatch(r.out);
    while (it.hasNext()) {
        const auto m = it.next();
        sizes.append(QString::number(qRound(m.captured(1).toDouble())) + "x" +
                     QString::number(qRound(m.captured(2).toDouble())));
    }
    return sizes;
}

} // namespace

TEST(WholeWay, OpenDialogDropMoveSortAndConvert)
{
    QTemporaryDir tmp;
    ASSERT_TRUE(tmp.isValid());
    PrivateWorld world(tmp.path());
    FolderOpener opener;
    QDesktopServices::setUrlHandler("file", &opener, "open");

    // Three pictures of different sizes, so the pages show their order:
    // at 200 pixels per inch, 200 x 100 pixels make a 72 x 36 point page.
    const QString pics = tmp.path() + "/pics";
    ASSERT_TRUE(QDir().mkpath(pics));
    ASSERT_TRUE(writeTestPicture(pics + "/c.jpg", FIF_JPEG, 200, 100));
    ASSERT_TRUE(writeTestPicture(pics + "/a.bmp", FIF_BMP, 400, 100));
    ASSERT_TRUE(writeTestPicture(pics + "/B.png", FIF_PNG, 600, 100));

    {
        frmPrinting window;
        window.setProgramEnder([]() {});
        window.Form_Load();
        window.show();
        QApplication::setActiveWindow(&window);
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
        auto* List1 = window.findChild<QListWidget*>("List1");
        auto* picDoor = window.findChild<QWidget*>("picDoor");
        auto* picText = window.findChild<QWidget*>("picText");
        auto* lblPageNum = window.findChild<QLabel*>("lblPageNum");
        ASSERT_TRUE(List1 && picDoor && picText && lblPageNum);
        EXPECT_FALSE(picDoor->isHidden());
        EXPECT_EQ(lblPageNum->text(), "Page Number Of Selected File: 0");

        // Add: the open dialog, answered with c.jpg.
        QString dialogTitle;
        whenModalOpens([&](QWidget* modal) {
            QLineEdit* edit = nullptr;
            QFileDialog* fd = asOpenDialog(modal, &edit);
            if (!fd)
                return;
            dialogTitle = fd->windowTitle();
            openByName(fd, edit, pics, "c.jpg");
        });
        QTest::mouseClick(toolButton(window, 0), Qt::LeftButton);
        EXPECT_EQ(dialogTitle, "Open Files");
        EXPECT_TRUE(picDoor->isHidden());
        EXPECT_TRUE(picText->isHidden());
        ASSERT_EQ(List1->count(), 1);

        // A drop from a file manager: a.bmp, a text file, B.png.
        QMimeData data;
        data.setUrls({QUrl::fromLocalFile(pics + "/a.bmp"), QUrl::fromLocalFile(pics + "/notes.txt"),
                      QUrl::fromLocalFile(pics + "/B.png")});
        const QPoint at = List1->viewport()->rect().center();
        QDragEnterEvent enter(at, Qt::CopyAction | Qt::MoveAction, &data, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(List1->viewport(), &enter);
        EXPECT_TRUE(enter.isAccepted());
        QDropEvent drop(QPointF(at), Qt::CopyAction | Qt::MoveAction, &data, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(List1->viewport(), &drop);
        EXPECT_EQ(drop.dropAction(), Qt::CopyAction);
        ASSERT_EQ(List1->count(), 3);

        // Move B.png up one place, then sort.
        const QRect third = List1->visualItemRect(List1->item(2));
        QTest::mouseClick(List1->viewport(), Qt::LeftButton, Qt::NoModifier, third.center());
        EXPECT_EQ(lblPageNum->text(), "Page Number of Selected File: 3");
        QTest::mouseClick(toolButton(window, 6), Qt::LeftButton);
        EXPECT_EQ(List1->item(1)->text(), pics + "/B.png");
        EXPECT_EQ(lblPageNum->text(), "Page Number of Selected File: 2");
        auto* sortAction = window.findChild<QAction*>("menuSort");
        ASSERT_NE(sortAction, nullptr);
        sortAction->trigger();
        QStringList order;
        for (int i = 0; i < List1->count(); ++i)
            order.append(List1->item(i)->text());
        EXPECT_EQ(order, QStringList({pics + "/a.bmp", pics + "/B.png", pics + "/c.jpg"}));

        // Convert, with a title and an output folder of the user's.
        window.findChild<QLineEdit*>("txtTitle")->setText("Walk");
        window.findChild<QLineEdit*>("txtPath")->setText(tmp.path() + "/out");
        bool unexpected = false;
        QTimer watch;
        QObject::connect(&watch, &QTimer::timeout, [&]() {
            if (QWidget* m = QApplication::activeModalWidget()) {
                unexpected = true;
                pressButton(m, "OK");
            }
        });
        watch.start(0);
        QTest::mouseClick(window.findChild<QPushButton*>("Command3"), Qt::LeftButton);
        watch.stop();
        EXPECT_FALSE(unexpected);
        EXPECT_FALSE(window.fileList()->IsLocked());
    }
    QDesktopServices::unsetUrlHandler("file");
    SkinH_Detach();

    const QString pdf = tmp.path() + "/out/Walk.pdf";
    ASSERT_TRUE(QFileInfo::exists(pdf));
    EXPECT_EQ(pdfPageCount(pdf), 3);
    EXPECT_EQ(pdfInfoField(pdf, "Title"), "Walk");
    EXPECT_EQ(pdfInfoField(pdf, "Author"), "Velunor");
    EXPECT_EQ(pageSizes(pdf), QStringList({"144x36", "216x36", "72x36"}));
    EXPECT_EQ(runProgram("qpdf", {"--check", pdf}).exitCode, 0);
    EXPECT_EQ(opener.urls.size(), 1);
}

#include "test_whole_way.moc"
