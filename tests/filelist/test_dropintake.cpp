#include "FileListFixture.h"
#include "filelist/DropIntake.h"

#include <QApplication>
#include <QDir>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFile>
#include <QMimeData>
#include <QTemporaryDir>
#include <QUrl>

namespace {

// The three drop targets of the window.
enum class Target { List, Hint, Door };

// A picture file of that name, made once, for the drops that need one.
QString made(const QString& name)
{
    static QTemporaryDir dir;
    const QString path = dir.filePath(name);
    QFile(path).open(QIODevice::WriteOnly);
    return path;
}

QMimeData* filesData(const QStringList& paths)
{
    auto* data = new QMimeData;
    QList<QUrl> urls;
    for (const QString& p : paths)
        urls.append(QUrl::fromLocalFile(p));
    data->setUrls(urls);
    return data;
}

} // namespace

class DropOnto : public FileListWindow, public ::testing::WithParamInterface<Target> {
protected:
    QWidget* target() const
    {
        switch (GetParam()) {
        case Target::List: return List1->viewport();
        case Target::Hint: return picText;
        case Target::Door: return picDoor;
        }
        return nullptr;
    }

    // Drags `data` over the target and drops it there, as the window system
    // delivers a drop; returns whether the drag was accepted and what the
    // drop's action became.
    struct Outcome {
        bool enterAccepted = false;
        bool dropAccepted = false;
        Qt::DropAction action = Qt::IgnoreAction;
    };
    Outcome drop(QMimeData* data, Qt::DropActions offered = Qt::CopyAction | Qt::MoveAction | Qt::LinkAction)
    {
        std::unique_ptr<QMimeData> owned(data);
        Outcome out;
        QWidget* w = target();
        const QPoint at = w->rect().center();
        QDragEnterEvent enter(at, offered, data, Qt::LeftButton, Qt::NoModifier);
        enter.ignore();
        QApplication::sendEvent(w, &enter);
        out.enterAccepted = enter.isAccepted();
        QDropEvent dropEvent(QPointF(at), offered, data, Qt::LeftButton, Qt::NoModifier);
        dropEvent.setDropAction(Qt::MoveAction);
        dropEvent.ignore();
        QApplication::sendEvent(w, &dropEvent);
        out.dropAccepted = dropEvent.isAccepted();
        out.action = dropEvent.dropAction();
        return out;
    }

    void SetUp() override
    {
        FileListWindow::SetUp();
        // A list that is reachable has its start-up picture gone, except for
        // the start-up picture itself.
        if (GetParam() != Target::Door)
            picDoor->hide();
    }
};

TEST_P(DropOnto, PicturesAreAppendedInDropOrderOthersIgnored)
{
    QTemporaryDir tmp;
    ASSERT_TRUE(tmp.isValid());
    const QString folder = tmp.path() + "/album";
    ASSERT_TRUE(QDir().mkpath(folder));
    setEntries(GetParam() == Target::Hint ? QStringList() : QStringList({"/p/old.jpg"}));
    const QStringList before = entries();

    for (const char* name : {"a.JPG", "b.txt", "c.Tiff", "photojpg"})
        ASSERT_TRUE(QFile(tmp.path() + "/" + name).open(QIODevice::WriteOnly));
    // A picture that cannot be read is left out, and named after the drop.
    const QString gone = tmp.path() + "/gone.png";
    ASSERT_TRUE(QFile::link(tmp.path() + "/nothing", gone));

    const Outcome out = drop(filesData({tmp.path() + "/a.JPG", tmp.path() + "/b.txt", folder, gone,
                                        tmp.path() + "/c.Tiff", tmp.path() + "/photojpg", tmp.path() + "/a.JPG"}));
    EXPECT_TRUE(out.enterAccepted);
    EXPECT_TRUE(out.dropAccepted);
    EXPECT_EQ(out.action, Qt::CopyAction);
    EXPECT_EQ(entries(), before + QStringList({tmp.path() + "/a.JPG", tmp.path() + "/c.Tiff",
                                               tmp.path() + "/photojpg", tmp.path() + "/a.JPG"}));
    EXPECT_TRUE(found->isEmpty());
    // One message after the drop: the entry left out, then the empty files added.
    const QString told = toldAfterAdd();
    EXPECT_TRUE(told.startsWith("\"" + gone + "\" could not be read (No such file or directory), so it was not added.\n\n"
                                "4 of the pictures just added will not make a page:"))
        << qPrintable(told);
    EXPECT_TRUE(sink.messages.empty());
    EXPECT_TRUE(picText->isHidden());
    EXPECT_EQ(selectedRow(), -1);
    EXPECT_TRUE(picDoor->isHidden());
}

TEST_P(DropOnto, TextAndFoldersAddNothing)
{
    QTemporaryDir tmp;
    ASSERT_TRUE(tmp.isValid());
    const QString folder = tmp.path() + "/pictures";
    ASSERT_TRUE(QDir().mkpath(folder));
    ASSERT_TRUE(QFile(folder + "/inside.jpg").open(QIODevice::WriteOnly));

    auto* text = new QMimeData;
    text->setText(tmp.path() + "/a.jpg");
    const Outcome out = drop(text);
    EXPECT_EQ(out.action, Qt::CopyAction);
    EXPECT_TRUE(entries().isEmpty());
    EXPECT_FALSE(picText->isHidden()); // an empty list keeps its hint

    drop(filesData({folder, folder + "/"}));
    EXPECT_TRUE(entries().isEmpty());

    // Only local files: a web address is not a file.
    auto* web = new QMimeData;
    web->setUrls({QUrl("https://example.org/a.jpg")});
    drop(web);
    EXPECT_TRUE(entries().isEmpty());
    EXPECT_FALSE(picText->isHidden());
    // A drop onto the start-up picture hides it even when nothing is taken.
    EXPECT_EQ(picDoor->isHidden(), true);
}

TEST_P(DropOnto, LockedTargetsRefuseTheDrag)
{
    controller->SetLocked(true);
    const bool doorWasHidden = picDoor->isHidden();
    const Outcome out = drop(filesData({made("a.jpg")}));
    EXPECT_FALSE(out.enterAccepted);
    EXPECT_FALSE(out.dropAccepted);
    EXPECT_TRUE(entries().isEmpty());
    EXPECT_EQ(picDoor->isHidden(), doorWasHidden);
    controller->SetLocked(false);
    drop(filesData({made("a.jpg")}));
    EXPECT_EQ(entries(), QStringList({made("a.jpg")}));
}

TEST_P(DropOnto, ADragThatCanOnlyMoveIsRefusedSoTheSourceKeepsItsFiles)
{
    // A file manager offers only "move" while Shift is held; a drop taken as
    // a move tells it to remove the files it dragged.
    const bool doorWasHidden = picDoor->isHidden();
    const Outcome out = drop(filesData({made("a.jpg")}), Qt::MoveAction);
    EXPECT_FALSE(out.enterAccepted);
    EXPECT_FALSE(out.dropAccepted);
    EXPECT_TRUE(entries().isEmpty());
    EXPECT_EQ(picDoor->isHidden(), doorWasHidden);
    // Offered as a copy, the same drag is taken.
    drop(filesData({made("a.jpg")}), Qt::CopyAction | Qt::MoveAction);
    EXPECT_EQ(entries(), QStringList({made("a.jpg")}));
}

TEST_P(DropOnto, ADropThatWouldOverfillTheListStopsAndSaysSoOnce)
{
    QStringList many;
    for (int i = 0; i < FileListController::MaxEntries - 1; ++i)
        many.append(QStringLiteral("/p/%1.jpg").arg(i));
    setEntries(many);
    drop(filesData({made("a.jpg"), made("b.jpg"), made("c.jpg")}));
    EXPECT_EQ(List1->count(), FileListController::MaxEntries);
    EXPECT_EQ(List1->item(FileListController::MaxEntries - 1)->text(), made("a.jpg"));
    // The message comes once the drop has finished.
    EXPECT_TRUE(sink.messages.empty());
    QApplication::processEvents();
    ASSERT_EQ(sink.messages.size(), 1u);
    EXPECT_EQ(sink.messages[0].title, "Velunor");
}

INSTANTIATE_TEST_SUITE_P(Targets, DropOnto, ::testing::Values(Target::List, Target::Hint, Target::Door),
                         [](const ::testing::TestParamInfo<Target>& info) {
                             switch (info.param) {
                             case Target::List: return std::string("List1");
                             case Target::Hint: return std::string("picText");
                             case Target::Door: return std::string("picDoor");
                             }
                             return std::string();
                         });

TEST_F(FileListWindow, ADropOntoTheListLeavesTheStartUpPictureAlone)
{
    auto* data = filesData({made("a.png")});
    std::unique_ptr<QMimeData> owned(data);
    QDragEnterEvent enter(QPoint(10, 10), Qt::CopyAction, data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(List1->viewport(), &enter);
    QDropEvent event(QPointF(10, 10), Qt::CopyAction, data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(List1->viewport(), &event);
    EXPECT_EQ(entries(), QStringList({made("a.png")}));
    EXPECT_FALSE(picDoor->isHidden());
}

TEST(DropIntake, PicturePathTestLooksAtTheLastCharactersOnly)
{
    for (const char* yes : {"/a/photojpg", "/a/a.xbmp", "/a/b.GIF", "/a/c.Png", "/a/d.tif", "/a/e.TIFF", "/a/f.jpeg",
                            "jpg", "/a/g.HEIC", "/a/h.heif", "/a/i.avif", "/a/j.webp", "/a/k.JXL", "/a/photoheic"})
        EXPECT_TRUE(DropIntake::IsPicturePath(yes)) << yes;
    for (const char* no : {"/a/b.txt", "/a/c.jpe", "/a/d.jpg/", "pg", "", "/a/e.jpg.txt", "/a/f.psd", "/a/g.dib", "xl"})
        EXPECT_FALSE(DropIntake::IsPicturePath(no)) << no;
}
