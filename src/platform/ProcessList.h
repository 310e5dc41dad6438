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

    // True when a live (not zombie) process goes by the given name; the
    // process `likely` (when positive) is asked first.
    static bool IsRunning(const QString& name, pid_t likely = 0);

    // Whether the process goes by the name, ignoring case: its comm equals
    // it; or the name is longer than comm can hold (15 bytes), comm is its
    // start and the program file of argv[0] carries the whole name; or the
    // process is the interpreter named by the "#!" line of the script file
    // argv[1] whose file name equals it.
    static bool NameMatches(const Entry& e, const QString& name);

    static bool IsZombie(const Entry& e) { return e.state == 'Z' || e.state == 'X'; }

    // DOSOutputs marks its children (and so their children) with this
    // environment variable, naming the runner's process unambiguously:
    // "PID:NAMESPACE:START", its id, the inode of its PID namespace and its
    // start time in ticks after boot. An id alone means nothing in another
    // PID namespace (a sandbox), and may be reused once the runner is gone.
    static constexpr const char* RunnerVariable = "VELUNOR_RUNNER_PID";
    struct RunnerMark {
        pid_t pid = 0;
        unsigned long long pidNamespace = 0;
        unsigned long long startTime = 0;
        // Only a complete mark can be judged; anything else is never acted on.
        bool IsComplete() const { return pid > 0 && pidNamespace != 0 && startTime != 0; }
        bool operator==(const RunnerMark& o) const
        {
            return pid == o.pid && pidNamespace == o.pidNamespace && startTime == o.startTime;
        }
        QByteArray Text() const;
        static RunnerMark Parse(const QByteArray& text); // incomplete when it is no such text
    };
    // The mark of a process as seen from here (incomplete when its /proc
    // files cannot be read); OwnMark() is this process's, taken once.
    static RunnerMark MarkOf(pid_t pid);
    static const RunnerMark& OwnMark();
    // The mark a process carries in its environment; incomplete when it
    // carries none, an older one (a bare id) or its environment is unreadable.
    static RunnerMark RunnerMarkOf(pid_t pid);
    // The runner's id from that mark; 0 when there is none.
    static pid_t RunnerOf(pid_t pid) { return RunnerMarkOf(pid).pid; }
    // The real user id of a process, from /proc/PID/status; false when it
    // cannot be read (the process ended meanwhile).
    static bool RealUser(pid_t pid, uid_t* uid);
};
