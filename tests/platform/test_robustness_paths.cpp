// Where the work and settings folders go when the environment is odd.
#include "platform/AppPaths.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <gtest/gtest.h>

namespace {

// Sets an environment variable for one test and puts the old value back.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const QByteArray& value) : m_name(name), m_had(qEnvironmentVariableIsSet(name)), m_old(qgetenv(name))
    {
        qputenv(name, value);
    }
    ~ScopedEnv()
    {
        if (m_had)
            qputenv(m_name, m_old);
        else
            qunsetenv(m_name);
    }
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
    const char* m_name;
    bool m_had;
    QByteArray m_old;
};

} // namespace

TEST(RobustPaths, RelativeXdgFoldersAreIgnoredAndHomeWithABlankWorks)
{
    QTemporaryDir tmp;
    ASSERT_TRUE(tmp.isValid());
    const QString home = tmp.filePath("my home");
    ASSERT_TRUE(QDir().mkpath(home));
    const QString cwd = QDir::currentPath();
    ASSERT_TRUE(QDir::setCurrent(tmp.path()));
    {
        ScopedEnv h("HOME", QFile::encodeName(home));
        ScopedEnv c("XDG_CACHE_HOME", "cache-here");
        ScopedEnv f("XDG_CONFIG_HOME", "config-here");
        ScopedEnv a("APPDATA", "");
        EXPECT_EQ(AppPaths::UserCacheFolder(), home + "/.cache/velunor");
        EXPECT_EQ(AppPaths::SettingsFilePath(), home + "/.config/velunor/setting.dll");
        EXPECT_FALSE(QFileInfo::exists(tmp.filePath("cache-here")));
    }
    QDir::setCurrent(cwd);
}
