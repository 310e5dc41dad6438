// Where the work and settings folders go when the environment is odd.
#include "ScopedEnv.h"
#include "platform/AppPaths.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <gtest/gtest.h>

TEST(RobustPaths, RelativeXdgFoldersAreIgnoredAndHomeWithABlankWorks)
{
    QTemporaryDir tmp;
    ASSERT_TRUE(tmp.isValid());
    const QString home = tmp.filePath("my home");
    ASSERT_TRUE(QDir().mkpath(home));
    const QString cwd = QDir::currentPath();
    ASSERT_TRUE(QDir::setCurrent(tmp.path()));
    {
        testsupport::ScopedEnv env;
        env.set("HOME", QFile::encodeName(home));
        env.set("XDG_CACHE_HOME", "cache-here");
        env.set("XDG_CONFIG_HOME", "config-here");
        env.set("APPDATA", "");
        EXPECT_EQ(AppPaths::UserCacheFolder(), home + "/.cache/velunor");
        EXPECT_EQ(AppPaths::SettingsFilePath(), home + "/.config/velunor/setting.dll");
        EXPECT_FALSE(QFileInfo::exists(tmp.filePath("cache-here")));
    }
    QDir::setCurrent(cwd);
}
