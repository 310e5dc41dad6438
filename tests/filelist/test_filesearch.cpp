#include "FileListFixture.h"
#include "ScopedNoReadOverride.h"
#include "TestSupport.h"
#include "filelist/FileSearch.h"
#include "platform/AppPaths.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QFileDialog>
#include <QTemporaryDir>
#include <QTimer>

#include <sys/stat.h>

using testsupport::pressButton;
using testsupport::whenModalOpens;

namespace {

void touch(const QString& path)
{
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly)) << path.toStdString();
}

void makeDir(const QString& path)
{
    ASSERT_TRUE(QDir().mkpath(path)) << path.toStdString();
}

// Runs the search with a counting yield and collects what it appends.
QStringList search(const QString& folder, int* yields = nullptr, QList<FolderWalk::Unreadable>* unreadable = nullptr)
{
    QStringList found;
    int n = 0;
    FileSearch::SearchFolder(
        folder,
        [&found](const QString& p) {
            found.append(p);
            return true;
        },
        [&n]() { ++n; }, unreadable);
    if (yields)
        *yields = n;
    return found;
}

// Answers the folder chooser with `folder`, as a user picking it would.
void chooseFolderWhenAsked(const QString& folder, QString* prompt = nullptr)
{
    whenModalOpens([folder, prompt](QWidget* modal) {
        auto* fd = qobject_cast<QFileDialog*>(modal);
        if (!fd) {
            ADD_FAILURE() << "not the folder chooser";
            modal->close();
            return;
        }
        if (prompt)
            *prompt = fd->windowTitle();
        fd->setDirectory(folder);
        fd->selectFile(folder);
        static_cast<QDialog*>(fd)->accept();
    });
}

} // namespace

TEST(FileSearch, PictureNamesAreTestedOnTheWholeNameWithTheDot)
{
    for (const char* yes : {"a.JPG", "b.Tiff", "c.jpeg", "f.PNG", "g.bmp", "h.gif", "i.tif", ".jpg", "x.y.jpg",
                            "p.HEIC", "q.heif", "r.avif", "s.WebP", "t.jxl", "u.pgm", "v.TGA", "w.pnm", "x.pbm", "y.ppm"})
        EXPECT_TRUE(FileSearch::IsPictureName(yes)) << yes;
    for (const char* no : {"d.jpe", "e.jpg.txt", "photojpg", "jpg", "a.xbmp.", "a.dib", "a.psd", "heic", "a.jxl.txt", ""})
        EXPECT_FALSE(FileSearch::IsPictureName(no)) << no;
}

TEST(FileSearch, JoiningNeverDoublesTheSeparator)
{
    EXPECT_EQ(AppPaths::JoinPath("/", "photo.jpg"), "/photo.jpg");
    EXPECT_EQ(AppPaths::JoinPath("/home/u", "photo.jpg"), "/home/u/photo.jpg");
    EXPECT_EQ(AppPaths::JoinPath("/home/u/", "photo.jpg"), "/home/u/photo.jpg");
}

TEST(FileSearch, FolderTreeInFileManagerOrderPicturesBeforeSubfolders)
{
    QTemporaryDir tmp;
    ASSERT_TRUE(tmp.isValid());
    const QString root = tmp.path();
    for (const char* f : {"a.JPG", "b.Tiff", "c.jpeg", "d.jpe", "e.jpg.txt", "f.PNG", ".hidden.jpg", "scan10.jpg",
                          "scan2.jpg", "Scan3.jpg"})
        touch(root + "/" + f);
    // A folder whose name sorts before the pictures still comes after them.
    makeDir(root + "/0first");
    touch(root + "/0first/in.gif");
    makeDir(root + "/.cache");
    touch(root + "/.cache/thumb.png");
    makeDir(root + "/sub10");
    touch(root + "/sub10/z.bmp");
    makeDir(root + "/sub2/deeper");
    touch(root + "/sub2/deeper/d.tif");
    touch(root + "/sub2/s.jpg");
    // A loop through a symbolic link, and a link to a picture folder elsewhere.
    ASSERT_TRUE(QFile::link(root, root + "/sub2/loop"));
    ASSERT_TRUE(QFile::link(root + "/sub10", root + "/link.d"));

    int yields = 0;
    const QStringList found = search(root, &yields);
    const QStringList expected = {
        root + "/.hidden.jpg", root + "/a.JPG",         root + "/b.Tiff",     root + "/c.jpeg",
        root + "/f.PNG",       root + "/scan2.jpg",     root + "/Scan3.jpg",  root + "/scan10.jpg",
        root + "/0first/in.gif", root + "/sub2/s.jpg",  root + "/sub2/deeper/d.tif",
        root + "/sub10/z.bmp",
    };
    EXPECT_EQ(found, expected);
    // Two event passes per directory entry: 15 at the top (ten files, four
    // folders, one link), 1 in 0first, 3 in sub2, 1 in deeper, 1 in sub10;
    // the hidden folder is not entered.
    EXPECT_EQ(yields, 2 * (15 + 1 + 3 + 1 + 1));
}

TEST(FileSearch, EveryOneOfManySubfoldersIsSearched)
{
    QTemporaryDir tmp;
    ASSERT_TRUE(tmp.isValid());
    QStringList expected;
    for (int i = 1; i <= 250; ++i) {
        const QString sub = tmp.path() + QString("/part%1").arg(i);
        makeDir(sub);
        touch(sub + "/page.jpg");
        expected.append(sub + "/page.jpg");
    }
    EXPECT_EQ(search(tmp.path()), expected);
}

// What the search cannot read is passed over and named: a folder it may
// not list or enter, a picture it may not read, a link to nothing.
TEST(FileSearch, EntriesThatCannotBeReadArePassedOverAndNamed)
{
    QTemporaryDir tmp;
    ASSERT_TRUE(tmp.isValid());
    const QString t = tmp.path();
    for (const char* f : {"b.jpg", "secret.jpg", "locked/x.jpg", "listed/y.jpg", "open/z.png"}) {
        makeDir(QFileInfo(t + "/" + f).absolutePath());
        touch(t + "/" + f);
    }
    ASSERT_TRUE(QFile::link(t + "/nothing", t + "/c.png"));
    const struct {
        const char* entry;
        mode_t mode;
    } modes[] = {{"secret.jpg", 0}, {"locked", 0}, {"listed", 0444}};
    for (const auto& m : modes)
        ASSERT_EQ(::chmod(QFile::encodeName(t + "/" + m.entry).constData(), m.mode), 0);

    QList<FolderWalk::Unreadable> unreadable;
    QStringList found;
    {
        ScopedNoReadOverride bound;
        found = search(t, nullptr, &unreadable);
    }
    EXPECT_EQ(found, QStringList({t + "/b.jpg", t + "/open/z.png"}));
    QStringList named;
    for (const FolderWalk::Unreadable& u : unreadable)
        named << u.path + ": " + u.reason;
    EXPECT_EQ(named, QStringList({t + "/c.png: No such file or directory", t + "/secret.jpg: Permission denied",
                                  t + "/listed: Permission denied", t + "/locked: Permission denied"}));
    for (const auto& m : modes)
        ::chmod(QFile::encodeName(t + "/" + m.entry).constData(), 0700);

    unreadable.clear();
    EXPECT_TRUE(search(t + "/nothing-here", nullptr, &unreadable).isEmpty());
    ASSERT_EQ(unreadable.size(), 1);
    EXPECT_EQ(unreadable[0].path, t + "/nothing-here");
}

TEST(FileSearch, SearchStopsWhenTheListTakesNoMore)
{
    QTemporaryDir tmp;
    ASSERT_TRUE(tmp.isValid());
    for (const char* f : {"a.jpg", "b.jpg", "c.jpg"})
        touch(tmp.path() + "/" + f);
    QStringList taken;
    const bool finished = FileSearch::SearchFolder(
        tmp.path(),
        [&taken](const QString& p) {
            if (taken.size() == 2)
                return false;
            taken.append(p);
            return true;
        },
        YieldFunction());
    EXPECT_FALSE(finished);
    EXPECT_EQ(taken.size(), 2);
}

TEST_F(FileListWindow, AddFolderAppendsTheTreeAndShowsSearchingMeanwhile)
{
    QTemporaryDir tmp;
    ASSERT_TRUE(tmp.isValid());
    touch(tmp.path() + "/b.jpg");
    makeDir(tmp.path() + "/in");
    touch(tmp.path() + "/in/a.png");
    setEntries({"/p/first.jpg"});
    QString prompt;
    chooseFolderWhenAsked(tmp.path(), &prompt);

    // Watches the hint from the event passes of the search.
    QStringList captionsSeen;
    bool hintShownWhileSearching = false;
    QTimer watch;
    watch.setInterval(0);
    QObject::connect(&watch, &QTimer::timeout, [&]() {
        if (!captionsSeen.contains(lblText->text()))
            captionsSeen.append(lblText->text());
        if (lblText->text() == "Searching Files..." && !picText->isHidden())
            hintShownWhileSearching = true;
    });
    watch.start();
    clickTool(1);
    watch.stop();

    EXPECT_EQ(prompt, "Please select a folder:");
    EXPECT_EQ(entries(), QStringList({"/p/first.jpg", tmp.path() + "/b.jpg", tmp.path() + "/in/a.png"}));
    EXPECT_TRUE(hintShownWhileSearching);
    EXPECT_TRUE(captionsSeen.contains("Searching Files..."));
    EXPECT_EQ(lblText->text(), "Drag && Drop Files Here");
    EXPECT_TRUE(picText->isHidden());
    EXPECT_TRUE(picDoor->isHidden());
    EXPECT_EQ(window->focusWidget(), tools[6]);
    EXPECT_TRUE(List1->updatesEnabled()); // painting is back on after the search

    // The same folder again gives every picture twice.
    chooseFolderWhenAsked(tmp.path());
    controller->CmdToolsBar_Click(1);
    EXPECT_EQ(entries().size(), 5);
}

TEST_F(FileListWindow, CancelledFolderChooserChangesNothing)
{
    List1->setFocus();
    bool searching = false;
    QTimer watch;
    watch.setInterval(0);
    QObject::connect(&watch, &QTimer::timeout, [&]() { searching |= lblText->text() == "Searching Files..."; });
    watch.start();
    whenModalOpens([](QWidget* modal) { EXPECT_TRUE(pressButton(modal, "Cancel")); });
    controller->AddFolder();
    watch.stop();
    EXPECT_TRUE(entries().isEmpty());
    EXPECT_FALSE(picText->isHidden());
    EXPECT_FALSE(searching);
    EXPECT_EQ(window->focusWidget(), List1);

    setEntries({"/p/a.jpg"});
    whenModalOpens([](QWidget* modal) { EXPECT_TRUE(pressButton(modal, "Cancel")); });
    controller->AddFolder();
    EXPECT_TRUE(picText->isHidden());
}

TEST_F(FileListWindow, CleanDuringASearchEmptiesAndTheSearchGoesOn)
{
    QTemporaryDir tmp;
    ASSERT_TRUE(tmp.isValid());
    for (const char* f : {"a.jpg", "b.jpg", "c.jpg", "d.jpg"})
        touch(tmp.path() + "/" + f);
    setEntries({"/p/old.jpg"});
    bool cleaned = false;
    QTimer watch;
    watch.setInterval(0);
    QObject::connect(&watch, &QTimer::timeout, [&]() {
        if (!cleaned && List1->count() == 3) {
            cleaned = true;
            controller->CmdToolsBar_Click(3);
        }
    });
    chooseFolderWhenAsked(tmp.path());
    watch.start();
    controller->CmdToolsBar_Click(1);
    watch.stop();
    ASSERT_TRUE(cleaned);
    EXPECT_EQ(entries(), QStringList({tmp.path() + "/c.jpg", tmp.path() + "/d.jpg"}));
    EXPECT_TRUE(picText->isHidden());
}

TEST_F(FileListWindow, AddFolderAddsWhatItCanReadAndNamesTheRestOnce)
{
    QTemporaryDir tmp;
    ASSERT_TRUE(tmp.isValid());
    touch(tmp.path() + "/a.jpg");
    for (int i = 1; i <= 5; ++i)
        ASSERT_TRUE(QFile::link(tmp.path() + "/nothing", tmp.path() + QString("/g%1.png").arg(i)));
    chooseFolderWhenAsked(tmp.path());
    clickTool(1);
    EXPECT_EQ(entries(), QStringList({tmp.path() + "/a.jpg"}));
    // One message for both: the entries left out and the (empty) picture added.
    const QString g = "\"" + tmp.path() + "/g%1.png\" (No such file or directory)";
    EXPECT_EQ(toldAfterAdd(), QString("5 entries could not be read, so they were not added: %1, %2, %3 and 2 more.\n\n"
                                      "This picture will not make a page:\n\"%4\": the file is empty.\n\n"
                                      "They stay in the list; Remove takes one away.")
                                  .arg(g.arg(1), g.arg(2), g.arg(3), tmp.path() + "/a.jpg"));
    EXPECT_TRUE(sink.messages.empty());
}

TEST_F(FileListWindow, FolderSearchStopsAtTheLimitAndSaysSoOnce)
{
    QTemporaryDir tmp;
    ASSERT_TRUE(tmp.isValid());
    for (const char* f : {"a.jpg", "b.jpg", "c.jpg"})
        touch(tmp.path() + "/" + f);
    makeDir(tmp.path() + "/sub");
    touch(tmp.path() + "/sub/d.jpg");
    QStringList many;
    for (int i = 0; i < FileListController::MaxEntries - 1; ++i)
        many.append(QStringLiteral("/p/%1.jpg").arg(i));
    setEntries(many);
    chooseFolderWhenAsked(tmp.path());
    controller->CmdToolsBar_Click(1);
    EXPECT_EQ(List1->count(), FileListController::MaxEntries);
    EXPECT_EQ(List1->item(FileListController::MaxEntries - 1)->text(), tmp.path() + "/a.jpg");
    ASSERT_EQ(sink.messages.size(), 1u);
    EXPECT_EQ(sink.messages[0].title, "Velunor");
    EXPECT_EQ(lblText->text(), "Drag && Drop Files Here");
}

TEST(FileSearch, ADeepTreeIsSearchedToTheBottomDepthFirst)
{
    QTemporaryDir tmp;
    ASSERT_TRUE(tmp.isValid());
    // Hundreds of levels, each adding "/d" and a picture.
    QString folder = tmp.path();
    QStringList expected;
    for (int depth = 0; folder.size() < 1500; ++depth) {
        touch(folder + "/p.jpg");
        expected.append(folder + "/p.jpg");
        folder += "/d";
        makeDir(folder);
    }
    // A sibling at the top comes after the whole deep branch.
    makeDir(tmp.path() + "/e");
    touch(tmp.path() + "/e/last.png");
    expected.append(tmp.path() + "/e/last.png");
    EXPECT_EQ(search(tmp.path()), expected);
}
