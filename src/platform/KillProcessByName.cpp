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
bool strayRun(const ProcessList::Entry& run, const std::vector<ProcessList::Entry>& list)
{
    const pid_t runner = ProcessList::RunnerOf(run.pid);
    if (runner <= 0 || runner == ::getpid())
        return false;
    for (const ProcessList::Entry& e : list)
        if (e.pid == runner)
            return ProcessList::IsZombie(e) || e.startTime > run.startTime;
    return true;
}

} // namespace

void KillProcessByName(const QString& name)
{
    if (name.isEmpty())
        return;
    const std::vector<ProcessList::Entry> list = ProcessList::Snapshot();
    std::map<pid_t, pid_t> doomed; // process -> the runner whose mark it carries
    for (const ProcessList::Entry& e : list)
        if (!ProcessList::IsZombie(e) && ProcessList::NameMatches(e, name) && ours(e.pid)
            && strayRun(e, list))
            doomed.emplace(e.pid, ProcessList::RunnerOf(e.pid));
    // A run of a script (a toolkit program may be one) does its work in a child
    // process: end the children of every ended run too, or they would go on
    // writing the files the caller is about to reuse. Only children that
    // carry the same mark: the run's own, not something it handed over.
    std::map<pid_t, pid_t> tree = doomed;
    for (bool grown = true; grown;) {
        grown = false;
        for (const ProcessList::Entry& e : list) {
            const auto parent = tree.find(e.ppid);
            if (parent == tree.end() || tree.count(e.pid) || ProcessList::IsZombie(e) || !ours(e.pid)
                || ProcessList::RunnerOf(e.pid) != parent->second)
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
