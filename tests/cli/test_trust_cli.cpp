// Faults a user meets with a full disk, a planted link, signals and kills:
// never a false success, never a file touched that is not ours.
#include "test_job_support.h"
#include "TestSupport.h"
#include "cli_fixture.h"
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
#include <unistd.h>

using namespace testsupport;

namespace {

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

using TrustCli = CliWithPicture;

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
                    EXPECT_EQ(run({"-t", "", pic}, {}, {}, cache).exitCode, 1); // ends after the start-up sweep
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
