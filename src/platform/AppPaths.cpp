#include "platform/AppPaths.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>

#include <sys/stat.h>
#include <unistd.h>

namespace AppPaths {

namespace {
// A relative XDG folder is invalid and ignored, as the base-directory rules
// say: it would name another folder in every current folder.
QString envOr(const char* name, const QString& fallback)
{
    const QString v = qEnvironmentVariable(name);
    return v.isEmpty() || QDir::isRelativePath(v) ? fallback : v;
}
} // namespace

QString ProgramFolder()
{
    QString dir;
    if (QCoreApplication::instance())
        dir = QCoreApplication::applicationDirPath();
    else
        dir = QFileInfo(QFile::symLinkTarget("/proc/self/exe")).absolutePath();
    while (dir.size() > 1 && dir.endsWith('/'))
        dir.chop(1);
    return dir;
}

QString HelperProgram(const QString& name)
{
    return QDir::cleanPath(ProgramFolder() + "/../libexec/velunor/" + name);
}

QString SettingsFilePath()
{
    const QString appData = qEnvironmentVariable("APPDATA");
    if (!appData.isEmpty())
        return JoinPath(appData, "setting.dll");
    const QString config = envOr("XDG_CONFIG_HOME", QDir::homePath() + "/.config");
    return JoinPath(JoinPath(config, "velunor"), "setting.dll");
}

QString UserCacheFolder()
{
    const QString cache = envOr("XDG_CACHE_HOME", QDir::homePath() + "/.cache");
    const QString dir = JoinPath(cache, "velunor");
    QDir().mkpath(dir);
    const QByteArray d8 = dir.toUtf8();
    struct stat st {};
    // Refuse a folder we do not own or that is a link someone else planted.
    if (lstat(d8.constData(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != geteuid())
        return {};
    if ((st.st_mode & 0777) != 0700 && chmod(d8.constData(), 0700) != 0)
        return {};
    return dir;
}

QString DefaultOutputFolder()
{
    return JoinPath(QDir::homePath(), "output");
}

QString JoinPath(const QString& folder, const QString& name)
{
    if (folder.endsWith('/'))
        return folder + name;
    return folder + '/' + name;
}

} // namespace AppPaths
