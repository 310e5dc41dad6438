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
class JobWorkArea {
public:
    explicit JobWorkArea(const QString& baseFolder = QString()); // empty: AppPaths::UserCacheFolder()
    ~JobWorkArea(); // removes this program's run folder, then frees the lock
    JobWorkArea(const JobWorkArea&) = delete;
    JobWorkArea& operator=(const JobWorkArea&) = delete;

    // Takes this program's lock (once; later calls just say whether it is
    // held). False with *error in user words when it cannot be had.
    bool Acquire(QString* error = nullptr);
    bool IsHeld() const { return m_lockFd >= 0; }

    QString BaseFolder() const { return m_base; }
    QString RunFolder() const;
    WorkFolders Folders() const;

    // Makes both work folders (and the run folder). False with *error
    // naming the folder that could not be made.
    bool CreateFolders(QString* error = nullptr);
    // Removes both work folders with everything in them.
    void RemoveFolders(const YieldFunction& yield = YieldEvents);

    // Start-up: removes this program's own work folders and the run folders
    // of every program whose lock is free (one that was killed). A run
    // folder whose lock is held by a live program is never touched.
    void SweepLeftovers(const YieldFunction& yield = YieldEvents);

private:
    QString m_base;
    QString m_runName;
    int m_lockFd = -1;
};
