#include "engine/job/SettingsFile.h"

#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <QDir>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include "TestSupport.h"

using testsupport::readAll;
using testsupport::writeFile;

namespace {
} // namespace

TEST(SettingsFile, WritesSixQuotedRecordsAndReadsThemBack)
{
    QTemporaryDir tmp;
    const QString path = tmp.path() + "/new/folder/setting.dll"; // folders made on demand
    const SettingsValues v{"Report, final", "Zoë \"Z\" Ålund", "", "a,b c", "85", "/media/other drive/out"};
    ASSERT_TRUE(SettingsFile::Write(path, v));
    EXPECT_EQ(readAll(path), QByteArray("\"Report, final\"\r\n\"Zoë \"Z\" Ålund\"\r\n\"\"\r\n\"a,b c\"\r\n\"85\"\r\n"
                                        "\"/media/other drive/out\"\r\n"));

    SettingsValues back;
    int records = 0;
    ASSERT_TRUE(SettingsFile::Read(path, &back, &records));
    EXPECT_EQ(records, 6);
    EXPECT_EQ(back.title, v.title);
    EXPECT_EQ(back.author, v.author); // quotes inside survive: first to last quote
    EXPECT_EQ(back.subject, "");
    EXPECT_EQ(back.keywords, v.keywords);
    EXPECT_EQ(back.quality, "85");
    EXPECT_EQ(back.outputFolder, v.outputFolder);
}

TEST(SettingsFile, MissingShortAndForeignFiles)
{
    QTemporaryDir tmp;
    SettingsValues v{"keep", "keep", "keep", "keep", "keep", "keep"};
    EXPECT_FALSE(SettingsFile::Read(tmp.path() + "/absent.dll", &v));
    EXPECT_EQ(v.title, "keep");

    // Fewer records, LF endings: what is there is read, the rest is untouched.
    const QString path = tmp.path() + "/setting.dll";
    ASSERT_TRUE(writeFile(path, "\"T\"\n\"A\"\n"));
    int records = -1;
    ASSERT_TRUE(SettingsFile::Read(path, &v, &records));
    EXPECT_EQ(records, 2);
    EXPECT_EQ(v.title, "T");
    EXPECT_EQ(v.author, "A");
    EXPECT_EQ(v.subject, "keep");

    ASSERT_TRUE(writeFile(path, QByteArray(200000, 'x')));
    ASSERT_TRUE(SettingsFile::Read(path, &v, &records)); // no crash, no hang on junk
}

// What is not a regular file of a sane size gives the defaults at once: a
// FIFO nobody writes (it blocked the start-up for ever), a device that never
// ends, a folder, an oversized file. Each read runs in a child that an alarm
// ends, so a read that blocks fails the test instead of hanging it.
TEST(SettingsFile, OnlyARegularFileOfSaneSizeIsRead)
{
    QTemporaryDir tmp;
    const QString fifo = tmp.filePath("fifo.dll"), huge = tmp.filePath("huge.dll");
    ASSERT_EQ(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    ASSERT_TRUE(writeFile(huge, QByteArray(SettingsFile::MaxBytes + 1, '"')));
    for (const QString& path : {fifo, QString("/dev/zero"), tmp.path(), huge}) {
        SCOPED_TRACE(path.toStdString());
        const pid_t child = ::fork();
        if (child == 0) {
            ::alarm(20);
            SettingsValues v{"keep", "keep", "keep", "keep", "keep", "keep"};
            const bool read = SettingsFile::Read(path, &v);
            ::_exit(!read && v.title == "keep" ? 0 : 1);
        }
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
    }
}

TEST(SettingsFile, QualityRecordMustBeAWholeNumberInRange)
{
    int q = 10;
    EXPECT_FALSE(SettingsFile::QualityValue("abc", 1, 100, &q));
    EXPECT_FALSE(SettingsFile::QualityValue("0", 1, 100, &q));
    EXPECT_FALSE(SettingsFile::QualityValue("101", 1, 100, &q));
    EXPECT_FALSE(SettingsFile::QualityValue("8.5", 1, 100, &q));
    EXPECT_EQ(q, 10);
    EXPECT_TRUE(SettingsFile::QualityValue("85", 1, 100, &q));
    EXPECT_EQ(q, 85);
}

TEST(SettingsFile, ReplacesTheFileWholeByRenaming)
{
    QTemporaryDir tmp;
    const QString path = tmp.path() + "/setting.dll";
    ASSERT_TRUE(SettingsFile::Write(path, {"old", "", "", "", "10", "/o"}));
    // A second name for the old file keeps the old text whole: the new text
    // came in under the name by a rename, not by rewriting the old file.
    const QString held = tmp.path() + "/held";
    ASSERT_EQ(::link(QFile::encodeName(path).constData(), QFile::encodeName(held).constData()), 0);
    const QByteArray before = readAll(path);
    ASSERT_TRUE(SettingsFile::Write(path, {"new", "", "", "", "85", "/n"}));
    EXPECT_TRUE(readAll(path).startsWith("\"new\""));
    EXPECT_EQ(readAll(held), before);
    // No temporary file is left in the folder.
    EXPECT_EQ(QDir(tmp.path()).entryList({"setting.dll*"}, QDir::Files | QDir::Hidden), QStringList{"setting.dll"});
}
