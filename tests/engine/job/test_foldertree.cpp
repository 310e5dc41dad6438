#include "engine/job/FolderTree.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <sys/stat.h>
#include "TestSupport.h"

using testsupport::readAll;
using testsupport::writeFile;

namespace {
} // namespace

TEST(FolderTree, RemovesEverythingButNeverFollowsLinks)
{
    QTemporaryDir tmp;
    const QString tree = tmp.path() + "/tmpvelunor";
    const QString outside = tmp.path() + "/keep";
    ASSERT_TRUE(QDir().mkpath(tree + "/sub/deeper"));
    ASSERT_TRUE(QDir().mkpath(outside));
    ASSERT_TRUE(writeFile(outside + "/precious.txt", "x"));
    ASSERT_TRUE(writeFile(tree + "/tmp.bmp", "x"));
    ASSERT_TRUE(writeFile(tree + "/.hidden", "x"));
    ASSERT_TRUE(writeFile(tree + "/sub/readonly.pdf", "x"));
    ASSERT_TRUE(writeFile(tree + "/sub/deeper/0.pdf", "x"));
    chmod(QFile::encodeName(tree + "/sub/readonly.pdf").constData(), 0444);
    chmod(QFile::encodeName(tree + "/sub/deeper").constData(), 0500); // read-only folder
    ASSERT_TRUE(QFile::link(outside, tree + "/link-to-folder"));
    ASSERT_TRUE(QFile::link(outside + "/precious.txt", tree + "/sub/link-to-file"));

    int yields = 0;
    RemoveFolderTree(tree, [&] { ++yields; });
    EXPECT_FALSE(QFileInfo::exists(tree));
    EXPECT_TRUE(QFileInfo::exists(outside + "/precious.txt"));
    EXPECT_EQ(yields, 8); // once per entry, at every level
}

TEST(FolderTree, AbsentFolderOrAFileIsLeftAlone)
{
    QTemporaryDir tmp;
    RemoveFolderTree(tmp.path() + "/absent", {});
    RemoveFolderTree(QString(), {});
    ASSERT_TRUE(writeFile(tmp.path() + "/file", "x"));
    RemoveFolderTree(tmp.path() + "/file", {});
    EXPECT_TRUE(QFileInfo::exists(tmp.path() + "/file"));
}
