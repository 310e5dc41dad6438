#include "engine/job/JobWorkArea.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <functional>
#include <vector>
#include "TestSupport.h"

using testsupport::readAll;
using testsupport::writeFile;

namespace {

// Leftovers as a program numbered `pid` would leave them.
void makeRun(const QString& base, const QString& name, bool withLockFile)
{
    QDir().mkpath(base + "/" + name + "/tmpvelunor");
    QDir().mkpath(base + "/" + name + "/jpgtmp");
    writeFile(base + "/" + name + "/jpgtmp/0.pdf", "page");
    if (withLockFile)
        writeFile(base + "/" + name + ".lock", "");
}
} // namespace

TEST(JobWorkArea, FoldersArePrivateAndPerProgram)
{
    QTemporaryDir tmp;
    const QString base = tmp.path() + "/velunor";
    QDir().mkpath(base);
    {
        JobWorkArea area(base);
        const QString run = base + "/run-" + QString::number(getpid());
        EXPECT_EQ(area.RunFolder(), run);
        EXPECT_EQ(area.Folders().tmpDir, run + "/tmpvelunor");
        EXPECT_EQ(area.Folders().pageDir, run + "/jpgtmp");
        QString error;
        ASSERT_TRUE(area.CreateFolders(&error)) << error.toStdString();
        EXPECT_TRUE(area.IsHeld());
        struct stat st {};
        ASSERT_EQ(stat(QFile::encodeName(area.Folders().pageDir).constData(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0700u);

        // Another opener cannot take the lock while we live.
        const int fd = ::open(QFile::encodeName(run + ".lock").constData(), O_RDWR);
        ASSERT_GE(fd, 0);
        EXPECT_NE(flock(fd, LOCK_EX | LOCK_NB), 0);
        ::close(fd);

        writeFile(area.Folders().tmpDir + "/tmp.bmp", "x");
        area.RemoveFolders({});
        EXPECT_FALSE(QFileInfo::exists(area.Folders().tmpDir));
        EXPECT_FALSE(QFileInfo::exists(area.Folders().pageDir));
    }
    // At the end of the program its folder and lock file go.
    EXPECT_TRUE(QDir(base).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden).isEmpty());
}

TEST(JobWorkArea, SweepRemovesKilledProgramsLeftoversButNotALiveOnes)
{
    QTemporaryDir tmp;
    const QString base = tmp.path();
    makeRun(base, "run-1", true);   // killed: lock file, nobody holds it
    makeRun(base, "run-2", false);  // killed before its lock file was removed... or never had one
    makeRun(base, "run-3", true);   // alive: its program holds the lock
    writeFile(base + "/unrelated.txt", "mine");
    const int live = ::open(QFile::encodeName(base + "/run-3.lock").constData(), O_RDWR);
    ASSERT_GE(live, 0);
    ASSERT_EQ(flock(live, LOCK_EX | LOCK_NB), 0);

    {
    JobWorkArea area(base);
    // Our own leftovers (a program that had our number) go too.
    makeRun(base, "run-" + QString::number(getpid()), false);
    area.SweepLeftovers({});

    EXPECT_FALSE(QFileInfo::exists(base + "/run-1"));
    EXPECT_FALSE(QFileInfo::exists(base + "/run-1.lock"));
    EXPECT_FALSE(QFileInfo::exists(base + "/run-2"));
    EXPECT_FALSE(QFileInfo::exists(base + "/run-2.lock"));
    EXPECT_TRUE(QFileInfo::exists(base + "/run-3/jpgtmp/0.pdf"));
    EXPECT_TRUE(QFileInfo::exists(base + "/run-3.lock"));
    EXPECT_TRUE(QFileInfo::exists(base + "/unrelated.txt"));
    EXPECT_FALSE(QFileInfo::exists(area.Folders().tmpDir));
    EXPECT_FALSE(QFileInfo::exists(area.Folders().pageDir));
    EXPECT_TRUE(area.IsHeld()); // the sweep took our own lock for the program's life
    }

    // Once that program is gone, the next start removes its folder.
    ::close(live);
    JobWorkArea next(base);
    next.SweepLeftovers({});
    EXPECT_FALSE(QFileInfo::exists(base + "/run-3"));
    EXPECT_FALSE(QFileInfo::exists(base + "/run-3.lock"));
}

TEST(JobWorkArea, NoPrivateFolderIsAnErrorInWords)
{
    JobWorkArea area(QStringLiteral("/proc/no-such-place"));
    QString error;
    EXPECT_FALSE(area.CreateFolders(&error));
    EXPECT_FALSE(error.isEmpty());
}

TEST(JobWorkArea, ANameHeldByAnotherLiveProgramIsNeverShared)
{
    // Another PID namespace sharing the cache can have a live program with
    // our number: its lock sends us to another name, its folder stays.
    QTemporaryDir tmp;
    const QString taken = tmp.path() + "/run-" + QString::number(getpid());
    makeRun(tmp.path(), "run-" + QString::number(getpid()), true);
    const int other = ::open(QFile::encodeName(taken + ".lock").constData(), O_RDWR);
    ASSERT_GE(other, 0);
    ASSERT_EQ(flock(other, LOCK_EX | LOCK_NB), 0);
    {
        JobWorkArea area(tmp.path());
        area.SweepLeftovers({});
        ASSERT_TRUE(area.IsHeld());
        EXPECT_NE(area.RunFolder(), taken);
        ASSERT_TRUE(area.CreateFolders());
        EXPECT_TRUE(QFileInfo(area.Folders().pageDir).isDir());
        EXPECT_TRUE(QFileInfo::exists(taken + "/jpgtmp/0.pdf"));
    }
    EXPECT_TRUE(QFileInfo::exists(taken + "/jpgtmp/0.pdf"));
    ::close(other);
}

TEST(JobWorkArea, WithoutALockTheSweepLeavesOurNamesFolderAlone)
{
    // Every name we could take is held by live programs: the folder under
    // our own number is theirs, and the sweep must not clear it.
    QTemporaryDir tmp;
    const QString pidName = "run-" + QString::number(getpid());
    makeRun(tmp.path(), pidName, true);
    std::vector<int> held;
    for (int k = 0; k <= 18; ++k) {
        const QString name = k == 0 ? pidName : pidName + "-" + QString::number(k);
        const int fd = ::open(QFile::encodeName(tmp.path() + "/" + name + ".lock").constData(),
                              O_RDWR | O_CREAT | O_CLOEXEC, 0600);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(flock(fd, LOCK_EX | LOCK_NB), 0);
        held.push_back(fd);
    }
    {
        JobWorkArea area(tmp.path());
        area.SweepLeftovers({});
        EXPECT_FALSE(area.IsHeld());
        EXPECT_TRUE(QFileInfo::exists(tmp.path() + "/" + pidName + "/jpgtmp/0.pdf"));
    }
    for (int fd : held)
        ::close(fd);
}

// No folder we did not make is trusted and no link is followed: what another
// user planted in a cache once open to them never gets a byte of ours, and
// the sweep never empties a folder a link points to.
TEST(JobWorkArea, PlantedFoldersAndLinksNeverRedirectAWrite)
{
    const QString run = "/run-" + QString::number(getpid());
    using Plant = std::function<void(const QString& base, const QString& victim)>;
    const struct Row {
        const char* what;
        Plant plant;
        bool sweep;     // the start-up sweep runs first
        bool swapLater; // tmpvelunor is swapped for a link once made
    } rows[] = {
        {"a link at run-<pid> to the victim's folder",
         [&](const QString& base, const QString& victim) { QFile::link(victim, base + run); }, true, false},
        {"a run-<pid> open to others, its tmpvelunor a link",
         [&](const QString& base, const QString& victim) {
             QDir().mkpath(base + run);
             ::chmod(QFile::encodeName(base + run).constData(), 0777);
             QFile::link(victim + "/tmpvelunor", base + run + "/tmpvelunor");
         }, false, false},
        {"a run-<pid> of another user (when run as root)", [&](const QString& base, const QString&) {
             QDir().mkpath(base + run + "/tmpvelunor");
             for (const QString& d : {base + run, base + run + "/tmpvelunor"})
                 if (::geteuid() == 0)
                     ::chown(QFile::encodeName(d).constData(), 65534, 65534);
         }, false, false},
        {"tmpvelunor swapped for a link after it was made", Plant([](const QString&, const QString&) {}), false, true},
    };
    for (const Row& row : rows) [&] { // a failed ASSERT ends its row only
        SCOPED_TRACE(row.what);
        QTemporaryDir tmp;
        const QString base = tmp.path() + "/velunor", victim = tmp.path() + "/victim";
        ASSERT_TRUE(QDir().mkpath(base));
        for (const char* sub : {"/tmpvelunor", "/jpgtmp"})
            ASSERT_TRUE(QDir().mkpath(victim + sub) && writeFile(victim + sub + "/tmp.bmp", "the victim's own file"));
        row.plant(base, victim);
        {
            JobWorkArea area(base);
            if (row.sweep)
                area.SweepLeftovers({});
            QString error;
            ASSERT_TRUE(area.CreateFolders(&error)) << error.toStdString();
            struct stat st {};
            ASSERT_EQ(::lstat(QFile::encodeName(area.RunFolder()).constData(), &st), 0);
            EXPECT_TRUE(S_ISDIR(st.st_mode) && st.st_uid == ::geteuid() && (st.st_mode & 0777) == 0700)
                << std::oct << st.st_mode << ' ' << std::dec << st.st_uid;
            if (row.swapLater) {
                const QString made = area.RunFolder() + "/tmpvelunor";
                ASSERT_EQ(::rename(QFile::encodeName(made).constData(), QFile::encodeName(made + ".moved").constData()), 0);
                ASSERT_TRUE(QFile::link(victim + "/tmpvelunor", made));
            }
            ASSERT_TRUE(writeFile(area.Folders().tempBitmap(), "BM our bitmap"));
            ASSERT_TRUE(writeFile(area.Folders().pageFile(0), "%PDF our page"));
            area.RemoveFolders({});
        }
        for (const char* sub : {"/tmpvelunor", "/jpgtmp"})
            EXPECT_EQ(readAll(victim + sub + "/tmp.bmp"), "the victim's own file") << sub;
        EXPECT_FALSE(QFileInfo::exists(victim + "/jpgtmp/0.pdf"));
    }();
}
