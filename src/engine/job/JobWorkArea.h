#pragma once
#include "engine/job/WorkFolders.h"
#include "platform/EventPump.h"

#include <QString>

// The work folders of this running program: <base>/run-<pid>/tmpvelunor and
// <base>/run-<pid>/jpgtmp, where <base> is the private per-user cache folder.
// The lock file <base>/run-<pid>.lock is held with flock() from Acquire()
// until this object goes (or the program dies, when the system frees it), so
// another running Velunor can tell a live program's folders from the
// leftovers of a killed one.
//
// No folder we did not make is trusted. Each is made with mkdirat() and
// opened with O_NOFOLLOW | O_DIRECTORY relative to its parent's descriptor,
// and its owner and mode are checked through its own descriptor: a folder
// of another user or with group or other write (planted in a base folder
// that was once world-writable) is removed if we can, else refused, and
// never written into. The work files are reached through those descriptors
// (Folders()), so a rename or a link put in place later cannot redirect a
// write.
class JobWorkArea {
public:
    explicit JobWorkArea(const QString& baseFolder = QString()); // empty: AppPaths::UserCacheFolder()
    ~JobWorkArea(); // removes this program's run folder, then frees the lock
    JobWorkArea(const JobWorkArea&) = delete;
    JobWorkArea& operator=(const JobWorkArea&) = delete;

    // Takes this program's lock (once; later calls just say whether it is
    // held). False with *error in user words when it cannot be had, or when
    // the base folder is not ours.
    bool Acquire(QString* error = nullptr);
    bool IsHeld() const { return m_lockFd >= 0; }

    QString BaseFolder() const { return m_base; }
    QString RunFolder() const;
    // While the folders are made: paths through their descriptors
    // (/proc/PID/fd/N, which this program and its children open as the very
    // folder we made). Otherwise, or where /proc cannot serve, their
    // ordinary paths, which NamedFolders() always gives (for messages).
    WorkFolders Folders() const;
    WorkFolders NamedFolders() const;

    // Makes both work folders (and the run folder). False with *error
    // naming the folder that could not be made or trusted.
    bool CreateFolders(QString* error = nullptr);
    // Removes both work folders with everything in them.
    void RemoveFolders(const YieldFunction& yield = YieldEvents);

    // Start-up: removes this program's own work folders and the run folders
    // of every program whose lock is free (one that was killed). A run
    // folder whose lock is held by a live program is never touched; links
    // are removed as links, never followed.
    void SweepLeftovers(const YieldFunction& yield = YieldEvents);

private:
    bool openBase(QString* error);
    void closeWorkFolders();

    QString m_base;
    QString m_runName;
    int m_lockFd = -1;
    int m_baseFd = -1;
    int m_runFd = -1;
    int m_tmpFd = -1;
    int m_pageFd = -1;
};
