#pragma once
#include <QString>

// Where things live on this platform.
namespace AppPaths {

// Folder of the running executable, without a trailing "/" (except "/").
QString ProgramFolder();

// A helper program of ours, as installed (and as laid out in the build tree):
// <program folder>/../libexec/velunor/<name>.
QString HelperProgram(const QString& name);

// The settings file: $APPDATA/setting.dll when APPDATA is set, else
// $XDG_CONFIG_HOME/velunor/setting.dll (default ~/.config/velunor).
QString SettingsFilePath();

// Private (0700) per-user cache folder $XDG_CACHE_HOME/velunor (default
// ~/.cache/velunor), created on demand; empty when it cannot be made private.
QString UserCacheFolder();

// The designed output folder: the home folder + "/output".
QString DefaultOutputFolder();

// Appends "/" + name to folder without doubling a "/" at the root.
QString JoinPath(const QString& folder, const QString& name);

} // namespace AppPaths
