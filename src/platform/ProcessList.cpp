#include "platform/ProcessList.h"

#include <QByteArray>
#include <QByteArrayList>
#include <QHash>
#include <QMutex>

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr int CommLength = 15; // TASK_COMM_LEN - 1

// Reads at most `limit` bytes of a /proc (or any) file; empty on failure.
QByteArray readSmallFile(const QByteArray& path, int limit = 4096)
{
    QByteArray data;
    const int fd = ::open(path.constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return data;
    data.resize(limit);
    qsizetype got = 0;
    while (got < limit) {
        const ssize_t n = ::read(fd, data.data() + got, size_t(limit - got));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        got += n;
    }
    ::close(fd);
    data.truncate(got);
    return data;
}

bool isPidName(const char* s)
{
    if (!*s)
        return false;
    for (; *s; ++s)
        if (!std::isdigit(static_cast<unsigned char>(*s)))
            return false;
    return true;
}

QByteArray baseName(const QByteArray& path)
{
    const qsizetype slash = path.lastIndexOf('/');
    return slash < 0 ? path : path.mid(slash + 1);
}

bool sameName(const QString& a, const QString& b)
{
    return !a.isEmpty() && a.compare(b, Qt::CaseInsensitive) == 0;
}

// The first two arguments of a process. Reading /proc/PID/cmdline reads the
// process's memory, which is slow next to a 50 ms poll over every process,
// so they are kept until the process (by id, start time and comm, which an
// exec changes) is gone.
QByteArrayList commandArgs(const ProcessList::Entry& e)
{
    struct Cached {
        unsigned long long startTime;
        QString comm;
        QByteArrayList args;
    };
    static QMutex mutex;
    static QHash<pid_t, Cached> cache;
    QMutexLocker lock(&mutex);
    const auto it = cache.constFind(e.pid);
    if (it != cache.cend() && it->startTime == e.startTime && it->comm == e.comm)
        return it->args;
    const QByteArray raw = readSmallFile("/proc/" + QByteArray::number(e.pid) + "/cmdline", 8192);
    QByteArrayList args = raw.split('\0');
    if (!args.isEmpty() && args.last().isEmpty())
        args.removeLast();
    while (args.size() > 2)
        args.removeLast();
    if (cache.size() > 4096)
        cache.clear();
    cache.insert(e.pid, Cached {e.startTime, e.comm, args});
    return args;
}

// The program a "#!" line runs: its file name, or for "env" the first
// operand of env. Empty when the file is no script.
QByteArray scriptInterpreter(pid_t pid, const QByteArray& script)
{
    const QByteArray path = script.startsWith('/')
        ? script
        : "/proc/" + QByteArray::number(pid) + "/cwd/" + script;
    const QByteArray head = readSmallFile(path, 256);
    if (!head.startsWith("#!"))
        return {};
    QByteArray line = head.mid(2);
    const qsizetype nl = line.indexOf('\n');
    if (nl >= 0)
        line.truncate(nl);
    const QByteArrayList words = line.simplified().split(' ');
    if (words.isEmpty() || words.first().isEmpty())
        return {};
    const QByteArray first = baseName(words.first());
    if (first != "env")
        return first;
    for (qsizetype i = 1; i < words.size(); ++i) {
        const QByteArray& w = words.at(i);
        if (w.isEmpty() || w.startsWith('-') || w.contains('='))
            continue;
        return baseName(w);
    }
    return {};
}

} // namespace

namespace {

// The entry of one process from its /proc/PID/stat; false when it ended
// meanwhile.
bool readEntry(const char* pidName, ProcessList::Entry* e)
{
    // "pid (comm) state ppid ...": comm may itself hold ") ".
    const QByteArray stat = readSmallFile(QByteArray("/proc/") + pidName + "/stat", 1024);
    const qsizetype open = stat.indexOf('(');
    const qsizetype close = stat.lastIndexOf(')');
    if (open < 0 || close < open || close + 4 > stat.size())
        return false;
    e->pid = pid_t(std::atol(pidName));
    e->comm = QString::fromUtf8(stat.mid(open + 1, close - open - 1));
    e->state = stat.at(close + 2);
    // Fields after comm: state ppid pgrp session tty tpgid flags minflt
    // cminflt majflt cmajflt utime stime cutime cstime priority nice
    // threads itrealvalue starttime.
    const QList<QByteArray> fields = stat.mid(close + 2).split(' ');
    if (fields.size() < 20)
        return false;
    e->ppid = pid_t(fields.at(1).toLong());
    e->startTime = fields.at(19).toULongLong();
    return true;
}

} // namespace

std::vector<ProcessList::Entry> ProcessList::Snapshot()
{
    std::vector<Entry> list;
    DIR* dir = ::opendir("/proc");
    if (!dir)
        return list;
    while (const dirent* d = ::readdir(dir)) {
        Entry e;
        if (isPidName(d->d_name) && readEntry(d->d_name, &e))
            list.push_back(e);
    }
    ::closedir(dir);
    return list;
}

bool ProcessList::NameMatches(const Entry& e, const QString& name)
{
    if (name.isEmpty())
        return false;
    if (sameName(e.comm, name))
        return true;
    const QByteArray wanted = name.toUtf8();
    const bool truncated = wanted.size() > CommLength
        && sameName(e.comm, QString::fromUtf8(wanted.left(CommLength)));
    const QByteArrayList args = commandArgs(e);
    if (args.isEmpty())
        return false;
    if (truncated)
        return sameName(QString::fromUtf8(baseName(args.first())), name);
    if (args.size() < 2 || !sameName(QString::fromUtf8(baseName(args.at(1))), name))
        return false;
    const QByteArray interpreter = scriptInterpreter(e.pid, args.at(1));
    return sameName(QString::fromUtf8(interpreter), e.comm);
}

bool ProcessList::IsRunning(const QString& name, pid_t likely)
{
    if (name.isEmpty())
        return false;
    // The process most likely to go by the name answers alone when it does;
    // a walk over every process is the price only of a "no".
    Entry e;
    if (likely > 0 && readEntry(QByteArray::number(likely).constData(), &e) && !IsZombie(e) && NameMatches(e, name))
        return true;
    for (const Entry& e : Snapshot())
        if (!IsZombie(e) && NameMatches(e, name))
            return true;
    return false;
}

QByteArray ProcessList::RunnerMark::Text() const
{
    return QByteArray::number(pid) + ':' + QByteArray::number(pidNamespace) + ':' + QByteArray::number(startTime);
}

ProcessList::RunnerMark ProcessList::RunnerMark::Parse(const QByteArray& text)
{
    RunnerMark m;
    const QByteArrayList parts = text.split(':');
    bool ok[3] = {false, false, false};
    if (parts.size() != 3)
        return m;
    const long pid = parts.at(0).toLong(&ok[0]);
    const unsigned long long ns = parts.at(1).toULongLong(&ok[1]);
    const unsigned long long start = parts.at(2).toULongLong(&ok[2]);
    if (ok[0] && ok[1] && ok[2] && pid > 0)
        m = RunnerMark{pid_t(pid), ns, start};
    return m;
}

ProcessList::RunnerMark ProcessList::MarkOf(pid_t pid)
{
    const QByteArray base = "/proc/" + QByteArray::number(pid);
    struct stat ns {};
    if (::stat((base + "/ns/pid").constData(), &ns) != 0)
        return {};
    const QByteArray stat = readSmallFile(base + "/stat", 1024);
    const qsizetype close = stat.lastIndexOf(')');
    const QList<QByteArray> fields = close < 0 ? QList<QByteArray>() : stat.mid(close + 2).split(' ');
    if (fields.size() < 20)
        return {};
    return RunnerMark{pid, (unsigned long long)ns.st_ino, fields.at(19).toULongLong()};
}

const ProcessList::RunnerMark& ProcessList::OwnMark()
{
    // Through /proc/self: a /proc of another PID namespace (mounted before
    // an unshare) would show someone else under our id. Then the mark is
    // left incomplete, and nothing is judged by it.
    static const RunnerMark own = [] {
        RunnerMark m = MarkOf(::getpid());
        const QByteArray self = readSmallFile("/proc/self/stat", 64);
        if (self.left(self.indexOf(' ')).toLong() != ::getpid())
            m = RunnerMark{::getpid(), 0, 0};
        return m;
    }();
    return own;
}

ProcessList::RunnerMark ProcessList::RunnerMarkOf(pid_t pid)
{
    const QByteArray env = readSmallFile("/proc/" + QByteArray::number(pid) + "/environ", 256 * 1024);
    const QByteArray key = QByteArray(RunnerVariable) + '=';
    for (const QByteArray& entry : env.split('\0'))
        if (entry.startsWith(key))
            return RunnerMark::Parse(entry.mid(key.size()));
    return {};
}

bool ProcessList::RealUser(pid_t pid, uid_t* uid)
{
    const QByteArray status = readSmallFile("/proc/" + QByteArray::number(pid) + "/status");
    const qsizetype at = status.indexOf("\nUid:");
    if (at < 0)
        return false;
    *uid = uid_t(std::strtoul(status.constData() + at + 5, nullptr, 10));
    return true;
}
