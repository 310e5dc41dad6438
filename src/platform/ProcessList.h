#pragma once
#include <QString>

#include <sys/types.h>
#include <vector>

// The running processes as /proc shows them. The executable name of a
// process is its /proc/PID/comm; a script run through "#!/usr/bin/env sh"
// shows the interpreter's name there, so such a run also goes by the
// script's file name (see nameMatches).
class ProcessList {
public:
    struct Entry {
        pid_t pid = 0;
        pid_t ppid = 0;
        char state = '?';  // R, S, D, Z, ...
        unsigned long long startTime = 0; // ticks after boot; tells reused ids apart
        QString comm;
    };

    // Every process (not thread) of the system, zombies included.
    static std::vector<Entry> Snapshot();

    // True when a live (not zombie) process goes by the given name.
    static bool IsRunning(const QString& name);

    // Whether the process goes by the name, ignoring case: its comm equals
    // it; or the name is longer than comm can hold (15 bytes), comm is its
    // start and the program file of argv[0] carries the whole name; or the
    // process is the interpreter named by the "#!" line of the script file
    // argv[1] whose file name equals it.
    static bool NameMatches(const Entry& e, const QString& name);

    static bool IsZombie(const Entry& e) { return e.state == 'Z' || e.state == 'X'; }

    // DOSOutputs marks its children (and so their children) with the id of
    // the runner's process in this environment variable.
    static constexpr const char* RunnerVariable = "VELUNOR_RUNNER_PID";
    // The runner a process was started by, from its environment; 0 when it
    // carries no mark or the environment cannot be read.
    static pid_t RunnerOf(pid_t pid);
    // The real user id of a process, from /proc/PID/status; false when it
    // cannot be read (the process ended meanwhile).
    static bool RealUser(pid_t pid, uid_t* uid);
};
