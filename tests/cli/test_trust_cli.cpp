// Faults a user meets with a full disk, a planted link, signals and kills:
// never a false success, never a file touched that is not ours.
#include "test_job_support.h"
#include "TestSupport.h"
#include "cli_program.h"
#include "engine/job/ConversionJob.h"
#include "engine/job/JobWorkArea.h"
#include "platform/DOSOutputs.h"

#include <FreeImage.h>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <poll.h>
#include <random>
#include <sys/inotify.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace testsupport;

namespace {

QByteArray enc(const QString& path)
{
    return QFile::encodeName(path);
}

// A small tmpfs of our own at `dir`, gone with this object.
class Tmpfs {
public:
    Tmpfs(const QString& dir, qint64 bytes) : m_dir(dir)
    {
        QDir().mkpath(dir);
        const QByteArray opts = "size=" + QByteArray::number(bytes / 1024) + "k,mode=0755";
        if (::geteuid() != 0)
            m_why = "mounting a small tmpfs needs root";
        else if (::mount("tmpfs", enc(dir).constData(), "tmpfs", 0, opts.constData()) != 0)
            m_why = std::string("mount(tmpfs) failed: ") + std::strerror(errno);
        else
            m_mounted = true;
    }
    ~Tmpfs()
    {
        if (m_mounted)
            ::umount2(enc(m_dir).constData(), MNT_DETACH);
    }
    bool mounted() const { return m_mounted; }
    std::string why() const { return m_why; }

private:
    QString m_dir;
    bool m_mounted = false;
    std::string m_why;
};

// Fills the disk of `file`'s folder so that `free` bytes stay free.
bool fillLeaving(const QString& file, qint64 free)
{
    struct statvfs vfs {};
    if (::statvfs(enc(QFileInfo(file).absolutePath()).constData(), &vfs) != 0)
        return false;
    qint64 fill = qint64(vfs.f_bavail) * qint64(vfs.f_frsize) - free;
    const int fd = ::open(enc(file).constData(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0)
        return false;
    const QByteArray block(64 * 1024, 'f');
    while (fill > 0 || free == 0) {
        const ssize_t w = ::write(fd, block.constData(), size_t(free == 0 ? block.size() : qMin<qint64>(fill, block.size())));
        if (w <= 0)
            break; // no space left: exactly what free == 0 asks
        fill -= w;
    }
    ::close(fd);
    return true;
}

// Every entry of a folder, hidden ones too.
QStringList entries(const QString& dir)
{
    return QDir(dir).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
}

// A picture of noise: its page stays big whatever the quality.
QString noisePicture(const QString& path, int w, int h)
{
    FIBITMAP* bmp = FreeImage_Allocate(w, h, 24);
    std::mt19937 random(7);
    for (int y = 0; y < h; ++y) {
        BYTE* line = FreeImage_GetScanLine(bmp, y);
        for (int x = 0; x < w * 3; ++x)
            line[x] = BYTE(random());
    }
    EXPECT_TRUE(FreeImage_Save(FIF_PNG, bmp, enc(path).constData(), PNG_Z_NO_COMPRESSION));
    FreeImage_Unload(bmp);
    return path;
}

// Waits for a process to end (a pidfd becomes readable), for at most ms.
bool waitGone(pid_t pid, int ms = 30000)
{
    const int fd = int(::syscall(SYS_pidfd_open, pid, 0));
    if (fd < 0)
        return errno == ESRCH;
    pollfd p{fd, POLLIN, 0};
    const bool gone = ::poll(&p, 1, ms) == 1;
    ::close(fd);
    return gone;
}

class TrustCli : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(tmp.isValid());
        QDir().mkpath(root + "/pics");
        pic = root + "/pics/a.png";
        ASSERT_TRUE(writeTestPicture(pic, FIF_PNG, 40, 20));
    }

    void start(QProcess& p, const QString& program, const QStringList& args, const QString& cache,
               const QStringList& extraEnv = {})
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("XDG_CACHE_HOME", cache);
        env.insert("XDG_CONFIG_HOME", root + "/config");
        env.insert("APPDATA", root + "/appdata");
        for (const QString& kv : extraEnv)
            env.insert(kv.section('=', 0, 0), kv.section('=', 1));
        p.setProcessEnvironment(env);
        p.setWorkingDirectory(root);
        p.setStandardInputFile(QProcess::nullDevice());
        p.start(program, args);
        ASSERT_TRUE(p.waitForStarted(30000));
    }
    ProcessResult run(const QStringList& args, const QString& cache = QString())
    {
        QProcess p;
        start(p, convertProgram(), args, cache.isEmpty() ? root + "/cache" : cache);
        p.waitForFinished(300000);
        ProcessResult r;
        r.exitCode = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
        r.out = QString::fromLocal8Bit(p.readAllStandardOutput());
        r.err = QString::fromLocal8Bit(p.readAllStandardError());
        return r;
    }

    QTemporaryDir tmp;
    QString root = tmp.path();
    QString pic;
};

} // namespace

TEST_F(TrustCli, FullOutputDiskFailsWithTheSystemsReasonAndKeepsTheEarlierDocument)
{
    const QString noise = noisePicture(root + "/pics/noise.png", 600, 600);
    // The document as a roomy disk takes it: its size sets the rows.
    const auto roomy = run({"-o", root + "/roomy", "-t", "Album", "-q", "100", noise});
    ASSERT_EQ(roomy.exitCode, 0) << roomy.err.toStdString();
    const qint64 size = QFileInfo(root + "/roomy/Album.pdf").size();
    ASSERT_GT(size, 300 * 1024);

    const QByteArray earlier = QByteArray("%PDF-1.4 the earlier document\n").repeated(2000);
    const struct Row {
        bool window; // the window's job (same ConversionJob, no process of its own)
        qint64 free;
    } rows[] = {{false, 0}, {false, 64 * 1024}, {false, size - 16 * 1024}, {true, size / 2}};
    int i = 0;
    for (const Row& row : rows) {
        SCOPED_TRACE(QString("window %1, %2 bytes free").arg(row.window).arg(row.free).toStdString());
        const QString out = root + "/disk" + QString::number(i++);
        Tmpfs disk(out, earlier.size() + size + 1024 * 1024);
        if (!disk.mounted())
            GTEST_SKIP() << disk.why();
        ASSERT_TRUE(writeFile(out + "/Album.pdf", earlier));
        ASSERT_TRUE(fillLeaving(out + "/filler", row.free));

        QString said;
        if (row.window) {
            RecordingJobIo io;
            io.entries = {noise};
            io.title = "Album";
            io.outputFolder = out;
            io.quality = 100;
            JobWorkArea area(root + "/jobcache");
            DOSOutputs runner(io);
            ConversionJob job(io, io, runner, area);
            job.SetSettingsPath(root + "/config/setting.dll");
            EXPECT_EQ(job.Run(), ConversionJob::Outcome::Failed);
            said = io.messages().join('\n');
            EXPECT_FALSE(io.captions.contains("Done."));
        } else {
            const auto r = run({"-o", out, "-t", "Album", "-q", "100", "-y", noise});
            EXPECT_EQ(r.exitCode, 1);
            EXPECT_TRUE(r.out.isEmpty()) << r.out.toStdString();
            EXPECT_FALSE(r.err.contains("Done.")) << r.err.toStdString();
            said = r.err;
        }
        EXPECT_TRUE(said.contains("No space left on device")) << said.toStdString();
        EXPECT_TRUE(readAll(out + "/Album.pdf") == earlier);
        EXPECT_EQ(entries(out), (QStringList{"Album.pdf", "filler"}));
    }
}

TEST_F(TrustCli, LinkAtTheOutputPathIsAnEntryReplacedItselfNeverFollowed)
{
    const QByteArray victimBytes = "someone else's file\n";
    const struct Row {
        const char* kind; // what is planted at out/Doc.pdf
        bool yes;
        int exitCode;
    } rows[] = {
        {"link to a file", false, 3}, {"link to a file", true, 0},   {"dangling link", false, 3},
        {"dangling link", true, 0},   {"link to a folder", true, 0}, {"folder", true, 1},
    };
    int i = 0;
    for (const Row& row : rows) {
        SCOPED_TRACE(std::string(row.kind) + (row.yes ? ", -y" : ""));
        const QString n = QString::number(i++);
        const QString out = root + "/out" + n, entry = out + "/Doc.pdf";
        const QString victim = root + "/victim" + n, nowhere = root + "/nowhere" + n, folder = root + "/folder" + n;
        QDir().mkpath(out);
        QDir().mkpath(folder);
        ASSERT_TRUE(writeFile(victim, victimBytes));
        const QString kind = row.kind;
        const QString linkTo = kind == "link to a file" ? victim : kind == "dangling link" ? nowhere : folder;
        if (kind == "folder")
            ASSERT_TRUE(QDir().mkpath(entry));
        else
            ASSERT_EQ(::symlink(enc(linkTo).constData(), enc(entry).constData()), 0);

        QStringList args{"-o", out, "-t", "Doc", pic};
        if (row.yes)
            args.prepend("-y");
        const auto r = run(args);
        EXPECT_EQ(r.exitCode, row.exitCode) << r.err.toStdString();
        // Whatever happened, nothing the link points at was touched.
        EXPECT_TRUE(readAll(victim) == victimBytes);
        EXPECT_FALSE(QFileInfo::exists(nowhere));
        EXPECT_TRUE(entries(folder).isEmpty());
        EXPECT_EQ(entries(out), QStringList{"Doc.pdf"});

        struct stat st {};
        ASSERT_EQ(::lstat(enc(entry).constData(), &st), 0);
        if (kind == "folder") {
            EXPECT_TRUE(r.err.contains(entry + " is a folder")) << r.err.toStdString();
            EXPECT_FALSE(r.err.contains("Preparing Files...")) << r.err.toStdString();
            EXPECT_TRUE(S_ISDIR(st.st_mode));
        } else if (!row.yes) {
            EXPECT_TRUE(r.err.contains("The output filename exists, overwrite?")) << r.err.toStdString();
            EXPECT_TRUE(S_ISLNK(st.st_mode));
            EXPECT_EQ(QFileInfo(entry).symLinkTarget(), linkTo);
        } else {
            EXPECT_TRUE(S_ISREG(st.st_mode));
            EXPECT_EQ(pdfPageCount(entry), 1);
        }
    }
}

TEST_F(TrustCli, SignalsEndTheProgramWithItsToolkitRunAndWorkFolder)
{
    // A join that says when it runs (through a FIFO, with its own child's
    // number) and then waits for ever, as a hung toolkit would.
    // It is found among our helpers: a copy of the program in a tree of its
    // own, with the real page maker's helper.
    const QString tree = root + "/tree", helpers = tree + "/libexec/velunor", program = tree + "/bin/velunor-convert";
    QDir().mkpath(tree + "/bin");
    QDir().mkpath(helpers);
    ASSERT_TRUE(QFile::copy(convertProgram(), program));
    ASSERT_TRUE(QFile::link(QFileInfo(convertProgram()).path() + "/../libexec/velunor/velunor-decode",
                            helpers + "/velunor-decode"));
    ASSERT_TRUE(QFile::link(QFileInfo(convertProgram()).path() + "/../libexec/velunor/velunor-docinfo",
                            helpers + "/velunor-docinfo"));
    ASSERT_TRUE(writeFile(helpers + "/velunor-join", "#!/bin/sh\nsleep 600 &\necho \"$$ $!\" > \"$VELUNOR_TEST_READY\"\nwait\n"));
    ASSERT_EQ(::chmod(enc(helpers + "/velunor-join").constData(), 0755), 0);
    const QString window = QFileInfo(convertProgram()).absolutePath() + "/velunor";

    const struct Row {
        bool window;
        int sig;
        int exitCode;
    } rows[] = {{false, SIGTERM, 128 + SIGTERM}, {false, SIGINT, 128 + SIGINT}, {false, SIGHUP, 128 + SIGHUP},
                {true, SIGTERM, 0},              {true, SIGHUP, 0}};
    int i = 0;
    for (const Row& row : rows) {
        SCOPED_TRACE(std::string(row.window ? "window, " : "velunor-convert, ") + strsignal(row.sig));
        const QString n = QString::number(i++);
        const QString cache = root + "/cache" + n;
        QDir().mkpath(cache + "/velunor");
        QProcess p;
        pid_t toolkit[2] = {0, 0};
        if (row.window) {
            // Up once its start-up has taken its lock in the cache.
            const int in = inotify_init1(IN_CLOEXEC);
            inotify_add_watch(in, enc(cache + "/velunor").constData(), IN_CREATE);
            start(p, window, {}, cache);
            const QString lock = cache + "/velunor/run-" + QString::number(p.processId()) + ".lock";
            pollfd pf{in, POLLIN, 0};
            while (!QFileInfo::exists(lock) && ::poll(&pf, 1, 60000) == 1) {
                char buf[4096];
                [[maybe_unused]] const ssize_t got = ::read(in, buf, sizeof buf);
            }
            ::close(in);
            ASSERT_TRUE(QFileInfo::exists(lock));
        } else {
            const QString ready = root + "/ready" + n;
            ASSERT_EQ(::mkfifo(enc(ready).constData(), 0600), 0);
            const int fifo = ::open(enc(ready).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
            start(p, program, {"-o", root + "/out" + n, "-y", pic, pic}, cache, {"VELUNOR_TEST_READY=" + ready});
            pollfd pf{fifo, POLLIN, 0};
            ASSERT_EQ(::poll(&pf, 1, 120000), 1) << p.readAllStandardError().toStdString();
            char text[64] = {};
            [[maybe_unused]] const ssize_t got = ::read(fifo, text, sizeof text - 1);
            ::close(fifo);
            const QStringList pids = QString(text).split(' ');
            ASSERT_EQ(pids.size(), 2) << text;
            toolkit[0] = pids[0].toInt();
            toolkit[1] = pids[1].trimmed().toInt();
        }
        ASSERT_EQ(::kill(pid_t(p.processId()), row.sig), 0);
        ASSERT_TRUE(p.waitForFinished(60000));
        EXPECT_EQ(p.exitStatus(), QProcess::NormalExit);
        EXPECT_EQ(p.exitCode(), row.exitCode) << p.readAllStandardError().toStdString();
        for (pid_t t : toolkit) {
            if (t > 0) {
                EXPECT_TRUE(waitGone(t)) << "toolkit process " << t << " still runs";
            }
        }
        if (!row.window) {
            EXPECT_TRUE(entries(root + "/out" + n).isEmpty());
        }
        EXPECT_TRUE(entries(cache + "/velunor").isEmpty()) << entries(cache + "/velunor").join(' ').toStdString();
    }
}

// Every step's helper or toolkit run is ended, and reaped, before the work
// folder goes: here each is a stand-in that keeps writing new files into the
// work folder from the moment it says so, and the signal comes then. Tried
// 100 times, with the test's own children keeping both cores busy.
TEST_F(TrustCli, SignalsAtEveryStepLeaveNoWorkFolder)
{
    const QString built = QFileInfo(convertProgram()).absolutePath() + "/..";
    const QString writer = VELUNOR_TEST_HELPER_DIR "/vlnh2_workwriter";
    const QString pic2 = root + "/pics/b.png";
    ASSERT_TRUE(writeTestPicture(pic2, FIF_PNG, 30, 20));
    const struct Step {
        const char* name;
        const char* standIn; // in the installed tree
        QStringList more;    // arguments
    } steps[] = {{"decoding", "libexec/velunor/velunor-decode", {}},
                 {"reading text", "libexec/velunor/velunor-ocr", {"--ocr", "eng"}},
                 {"joining", "libexec/velunor/velunor-join", {}},
                 {"writing the information", "libexec/velunor/velunor-docinfo", {}}};
    // Each step's tree: the program itself (linked: it finds its helpers
    // beside it), the real helpers but the stand-in.
    QStringList trees;
    for (const Step& step : steps) {
        const QString tree = root + "/tree" + QString::number(trees.size());
        QDir().mkpath(tree + "/bin");
        QDir().mkpath(tree + "/libexec/velunor");
        ASSERT_EQ(::link(enc(convertProgram()).constData(), enc(tree + "/bin/velunor-convert").constData()), 0)
            << std::strerror(errno);
        for (const QString& helper : QDir(built + "/libexec/velunor").entryList(QDir::Files))
            ASSERT_TRUE(QFile::link(built + "/libexec/velunor/" + helper, tree + "/libexec/velunor/" + helper));
        QFile::remove(tree + "/" + step.standIn);
        ASSERT_TRUE(QFile::link(writer, tree + "/" + step.standIn));
        trees << tree;
    }
    // The load: two children that count to a bound, ended at the end.
    std::vector<pid_t> load;
    for (int i = 0; i < 2; ++i) {
        const pid_t pid = ::fork();
        if (pid == 0) {
            for (long n = 0; n < 40000000000L; ++n)
                asm volatile("" : : "r"(n)); // kept, not optimised away
            ::_exit(0);
        }
        load.push_back(pid);
    }
    const auto endLoad = qScopeGuard([&] {
        for (pid_t pid : load) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, nullptr, 0);
        }
    });

    const int stops[] = {SIGTERM, SIGINT, SIGHUP};
    const QString ready = root + "/ready";
    ASSERT_EQ(::mkfifo(enc(ready).constData(), 0600), 0);
    for (int attempt = 0; attempt < 100; ++attempt) {
        const size_t k = size_t(attempt) % std::size(steps);
        const int sig = stops[attempt / std::size(steps) % std::size(stops)];
        SCOPED_TRACE(QString("attempt %1: %2 while %3").arg(attempt).arg(strsignal(sig)).arg(steps[k].name).toStdString());
        const QString cache = root + "/cache";
        const int fifo = ::open(enc(ready).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        QProcess p;
        start(p, trees[int(k)] + "/bin/velunor-convert",
              steps[k].more + QStringList{"-o", root + "/out", "-y", pic, pic2}, cache,
              {"VELUNOR_TEST_READY=" + ready});
        // The stand-in at work, or the program ended without reaching it.
        const int exited = int(::syscall(SYS_pidfd_open, pid_t(p.processId()), 0));
        pollfd pf[2] = {{fifo, POLLIN, 0}, {exited, POLLIN, 0}};
        ::poll(pf, 2, 120000);
        ::close(fifo);
        ::close(exited);
        ASSERT_TRUE(pf[0].revents & POLLIN) << p.readAllStandardError().toStdString();
        ASSERT_EQ(::kill(pid_t(p.processId()), sig), 0);
        ASSERT_TRUE(p.waitForFinished(60000));
        EXPECT_EQ(p.exitCode(), 128 + sig) << p.readAllStandardError().toStdString();
        const QStringList left = entries(cache + "/velunor");
        ASSERT_TRUE(left.isEmpty()) << left.join(' ').toStdString();
    }
}

TEST_F(TrustCli, KillAtAnyMomentOfThePlacementLeavesTheOldDocumentOrTheNew)
{
    const QByteArray earlier = "%PDF-1.4 the earlier document\n";
    // Output on the work folder's disk (the usual case) and on a disk of its
    // own; killed at the first, second and third change in the output folder.
    std::unique_ptr<Tmpfs> other;
    int i = 0;
    for (bool ownDisk : {false, true}) {
        if (ownDisk) {
            other = std::make_unique<Tmpfs>(root + "/otherdisk", 16 * 1024 * 1024);
            if (!other->mounted()) {
                std::printf("output on a disk of its own not tried: %s\n", other->why().c_str());
                break;
            }
        }
        for (int sig : {SIGKILL, SIGTERM}) {
            for (int nth = 1; nth <= 3; ++nth) {
                SCOPED_TRACE(QString("own disk %1, %2 at change %3").arg(ownDisk).arg(strsignal(sig)).arg(nth).toStdString());
                const QString n = QString::number(i++);
                const QString out = (ownDisk ? root + "/otherdisk/out" : root + "/out") + n, cache = root + "/cache" + n;
                QDir().mkpath(out);
                ASSERT_TRUE(writeFile(out + "/Doc.pdf", earlier));
                const int in = inotify_init1(IN_CLOEXEC);
                inotify_add_watch(in, enc(out).constData(),
                                  IN_CREATE | IN_MOVED_TO | IN_MOVED_FROM | IN_MODIFY | IN_ATTRIB | IN_CLOSE_WRITE | IN_DELETE);
                QProcess p;
                start(p, convertProgram(), {"-o", out, "-t", "Doc", "-y", pic}, cache);
                const int exited = int(::syscall(SYS_pidfd_open, pid_t(p.processId()), 0));
                ASSERT_GE(exited, 0);
                int seen = 0;
                while (seen < nth) {
                    pollfd pf[2] = {{in, POLLIN, 0}, {exited, POLLIN, 0}};
                    if (::poll(pf, 2, 120000) < 1 || (pf[1].revents && !pf[0].revents))
                        break;
                    alignas(inotify_event) char buf[4096];
                    const ssize_t got = ::read(in, buf, sizeof buf);
                    for (char* e = buf; e < buf + got; e += sizeof(inotify_event) + reinterpret_cast<inotify_event*>(e)->len)
                        ++seen;
                }
                if (seen >= nth)
                    ::kill(pid_t(p.processId()), sig);
                ::close(in);
                ::close(exited);
                ASSERT_TRUE(p.waitForFinished(60000));
                // A hidden name on a disk of its own lives for two system
                // calls; a kill right there leaves it to the next start.
                if (ownDisk) {
                    EXPECT_EQ(run({"-t", "", pic}, cache).exitCode, 1); // ends after the start-up sweep
                }
                EXPECT_EQ(entries(out), QStringList{"Doc.pdf"});
                const QByteArray now = readAll(out + "/Doc.pdf");
                if (now != earlier) {
                    EXPECT_EQ(pdfPageCount(out + "/Doc.pdf"), 1);
                    EXPECT_EQ(runProgram("qpdf", {"--check", out + "/Doc.pdf"}).exitCode, 0);
                }
                // The exit tells the truth: 0 and the path when the new
                // document is in place, 128 + n when the old one stayed.
                if (sig == SIGTERM) {
                    const bool replaced = now != earlier;
                    EXPECT_EQ(p.exitCode(), replaced ? 0 : 128 + SIGTERM);
                    EXPECT_EQ(QString::fromLocal8Bit(p.readAllStandardOutput()).trimmed() == out + "/Doc.pdf", replaced);
                }
            }
        }
    }
}

TEST_F(TrustCli, InputsAreCheckedBeforeAnyPageIsMade)
{
    // A folder whose path is just short enough, so that folder/title.pdf is too long.
    QString longFolder = root + "/long";
    while (enc(longFolder).size() < 3900)
        longFolder += "/" + QString(200, QChar(u'd'));
    ASSERT_EQ(runProgram("mkdir", {"-p", longFolder}).exitCode, 0);
    const QString bom = QString(QChar(0xFEFF)) + "Title after a byte order mark";

    const struct Row {
        QStringList args;
        int exitCode;
        QString said; // on standard error
    } rows[] = {
        {{"-t", "two\nlines"}, 1, "holds a line break"},
        {{"-t", "tab\there"}, 1, "holds a control character (U+0009)"},
        {{"-t", QString("del") + QChar(0x7f)}, 1, "holds a control character (U+007F)"},
        {{"-d", "yesterday"}, 2, "must be a PDF date"},
        {{"-d", "D:20241301000000Z"}, 2, "must be a PDF date"},
        {{"-d", "D:2024013115450"}, 2, "must be a PDF date"},
        {{"-d", "D:20240131154500+1'00'"}, 2, "must be a PDF date"},
        {{"-d", "D:20240131154500Z"}, 0, ""},
        {{"-d", "D:20240131154500-06'00"}, 0, ""},
        {{"-d", "D:20240131154500+05'30'"}, 0, ""},
        {{"-d", "D:20240131154500"}, 0, ""},
        {{"-t", bom}, 0, ""},
        {{"-o", longFolder, "-t", QString(200, QChar(u'x'))}, 1, "is too long"},
        {{"-d", "D:20240231120000Z"}, 2, "must be a PDF date"},
        {{"-d", "D:20230229120000Z"}, 2, "must be a PDF date"},
        {{"-d", "D:21000229120000Z"}, 2, "must be a PDF date"},
        {{"-d", "D:20240430120000Z\n"}, 2, "must be a PDF date"},
        {{"-d", "D:20240131154500Zx"}, 2, "must be a PDF date"},
        {{"-d", "D:20240229120000Z"}, 0, ""},
    };
    int i = 0;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.args.join(' ').toStdString());
        QStringList args = row.args;
        const QString out = root + "/out" + QString::number(i++);
        if (!args.contains("-o"))
            args << "-o" << out;
        const auto r = run(args << "-y" << pic);
        EXPECT_EQ(r.exitCode, row.exitCode) << r.err.toStdString();
        EXPECT_TRUE(r.err.contains(row.said)) << r.err.toStdString();
        if (row.exitCode != 0) {
            EXPECT_FALSE(r.err.contains("Preparing Files...")) << r.err.toStdString();
        }
    }
    // The mark stays part of the title and of the file name.
    const QString withBom = root + "/out11/" + bom + ".pdf";
    EXPECT_EQ(pdfPageCount(withBom), 1);
    EXPECT_TRUE(pdfInfoField(withBom, "Title").contains("Title after a byte order mark"));
}
