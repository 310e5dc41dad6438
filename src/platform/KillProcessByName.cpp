#include "platform/KillProcessByName.h"

#include "platform/ProcessList.h"

#include <csignal>
#include <map>
#include <unistd.h>

namespace {

bool ours(pid_t pid)
{
    uid_t uid = 0;
    return pid != ::getpid() && ProcessList::RealUser(pid, &uid) && uid == ::getuid();
}

// A stray is a run that a Velunor program started (it carries the runner's
// mark) and whose program is gone: nobody waits for it any more. A run
// without the mark is the user's own and is never touched; a run of a
// live program (this one included) is that program's work in progress.
// A live process under the runner's id that started after the run is a
// newcomer that merely reuses the id.
// A mark is judged only when it is complete and was made in our own PID
// namespace: there its id names the same process as here, and the start
// time tells that process from a later one under the same id. A run marked
// in another namespace (a sandbox) or by an older program is never signalled.
bool strayRun(const ProcessList::RunnerMark& mark, const std::vector<ProcessList::Entry>& list)
{
    const ProcessList::RunnerMark& own = ProcessList::OwnMark();
    if (!mark.IsComplete() || !own.IsComplete() || mark.pidNamespace != own.pidNamespace || mark == own)
        return false;
    for (const ProcessList::Entry& e : list)
        if (e.pid == mark.pid)
            return ProcessList::IsZombie(e) || e.startTime != mark.startTime;
    return true;
}

} // namespace

void KillProcessByName(const QString& name)
{
    if (name.isEmpty())
        return;
    const std::vector<ProcessList::Entry> list = ProcessList::Snapshot();
    using Mark = ProcessList::RunnerMark;
    std::map<pid_t, Mark> doomed; // process -> the runner's mark it carries
    for (const ProcessList::Entry& e : list) {
        if (ProcessList::IsZombie(e) || !ProcessList::NameMatches(e, name) || !ours(e.pid))
            continue;
        const Mark mark = ProcessList::RunnerMarkOf(e.pid);
        if (strayRun(mark, list))
            doomed.emplace(e.pid, mark);
    }
    // A run of a script (a toolkit program may be one) does its work in a child
    // process: end the children of every ended run too, or they would go on
    // writing the files the caller is about to reuse. Only children that
    // carry the same mark: the run's own, not something it handed over.
    std::map<pid_t, Mark> tree = doomed;
    for (bool grown = true; grown;) {
        grown = false;
        for (const ProcessList::Entry& e : list) {
            const auto parent = tree.find(e.ppid);
            if (parent == tree.end() || tree.count(e.pid) || ProcessList::IsZombie(e) || !ours(e.pid)
                || !(ProcessList::RunnerMarkOf(e.pid) == parent->second))
                continue;
            tree.emplace(e.pid, parent->second);
            grown = true;
        }
    }
    // Failures (a process that ended meanwhile) are passed over.
    for (const auto& [pid, runner] : doomed)
        ::kill(pid, SIGKILL);
    for (const auto& [pid, runner] : tree)
        if (!doomed.count(pid))
            ::kill(pid, SIGKILL);
}
