#include "platform/KillProcessByName.h"

#include "platform/ProcessList.h"

#include <QByteArray>

#include <csignal>
#include <fcntl.h>
#include <set>
#include <unistd.h>

namespace {

// The real user id from /proc/PID/status; false when it cannot be read.
bool realUid(pid_t pid, uid_t* uid)
{
    const QByteArray path = "/proc/" + QByteArray::number(pid) + "/status";
    const int fd = ::open(path.constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    char buf[4096];
    const ssize_t n = ::read(fd, buf, sizeof buf - 1);
    ::close(fd);
    if (n <= 0)
        return false;
    const QByteArray status(buf, n);
    const qsizetype at = status.indexOf("\nUid:");
    if (at < 0)
        return false;
    *uid = uid_t(std::strtoul(status.constData() + at + 5, nullptr, 10));
    return true;
}

bool ours(pid_t pid)
{
    uid_t uid = 0;
    return pid != ::getpid() && realUid(pid, &uid) && uid == ::getuid();
}

// A run that another Velunor process (still alive) has under way is its
// work in progress, not a stray: ending it would spoil that job.
bool runOfAnotherLiveRunner(pid_t pid, const std::vector<ProcessList::Entry>& list)
{
    const pid_t runner = ProcessList::RunnerOf(pid);
    if (runner <= 0 || runner == ::getpid())
        return false;
    for (const ProcessList::Entry& e : list)
        if (e.pid == runner)
            return !ProcessList::IsZombie(e);
    return false;
}

} // namespace

void KillProcessByName(const QString& name)
{
    if (name.isEmpty())
        return;
    const std::vector<ProcessList::Entry> list = ProcessList::Snapshot();
    std::set<pid_t> doomed;
    for (const ProcessList::Entry& e : list)
        if (!ProcessList::IsZombie(e) && ProcessList::NameMatches(e, name) && ours(e.pid)
            && !runOfAnotherLiveRunner(e.pid, list))
            doomed.insert(e.pid);
    // A run of a script (Debian's pdftk is one) does its work in a child
    // process: end the children of every ended process too, or they would
    // go on writing the files the caller is about to reuse.
    std::set<pid_t> tree = doomed;
    for (bool grown = true; grown;) {
        grown = false;
        for (const ProcessList::Entry& e : list)
            if (!tree.count(e.pid) && tree.count(e.ppid) && !ProcessList::IsZombie(e)
                && ours(e.pid) && !runOfAnotherLiveRunner(e.pid, list)) {
                tree.insert(e.pid);
                grown = true;
            }
    }
    // Failures (a process that ended meanwhile) are passed over.
    for (pid_t pid : doomed)
        ::kill(pid, SIGKILL);
    for (pid_t pid : tree)
        if (!doomed.count(pid))
            ::kill(pid, SIGKILL);
}
