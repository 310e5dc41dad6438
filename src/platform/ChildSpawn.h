#pragma once
#include <QByteArray>
#include <QStringList>

#include <sys/types.h>
#include <vector>

// Starts the child of one command run: posix_spawnp, no shell; stdin
// /dev/null, stdout and stderr into one close-on-exec pipe, every other
// descriptor closed in the child, signals at their defaults. The child gets
// the caller's environment plus the runner's mark (ProcessList::RunnerVariable)
// and, under a locale that is not UTF-8, LC_ALL=C.UTF-8.
class ChildSpawn {
public:
    enum class Result { Started, NoPipe, NotStarted };

    struct Child {
        pid_t pid = 0;
        int pidfd = -1;  // -1 when the system gives none
        int readFd = -1; // the pipe's read end, the caller's to close
        // Only the child holds the write end now (the release succeeded).
        bool writeEndReleased = false;
    };

    // On NoPipe, *error is the system's error number; nothing is left open
    // unless Started.
    static Result Start(const QStringList& args, Child* child, int* error);

    // Starts one of our helper programs by its path: the child's descriptor i
    // is descriptors[i] (-1: /dev/null), every other one is closed, signals
    // at their defaults, the caller's environment. Returns 0 or the error.
    static int StartHelper(const QByteArray& program, char* const argv[], const std::vector<int>& descriptors,
                           pid_t* pid);

    // Whether the environment gives children a UTF-8 character type.
    static bool LocaleIsUtf8();
};
