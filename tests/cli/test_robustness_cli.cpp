// velunor-convert given names Qt cannot hold as text.
#include "TestSupport.h"
#include "cli_program.h"

#include <FreeImage.h>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <cstdio>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace testsupport;

namespace {
// Copies a file or a folder tree, keeping permissions; false when `from`
// does not exist or a copy fails.
bool copyTree(const QString& from, const QString& to)
{
    const QFileInfo info(from);
    if (info.isFile())
        return QDir().mkpath(QFileInfo(to).absolutePath()) && QFile::copy(from, to);
    if (!info.isDir() || !QDir().mkpath(to))
        return false;
    for (const QString& name : QDir(from).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden)) {
        if (!copyTree(from + "/" + name, to + "/" + name))
            return false;
    }
    return true;
}
} // namespace

TEST(RobustCli, NameThatIsNoValidTextIsRefusedNotMissedOrPutElsewhere)
{
    QTemporaryDir tmp;
    ASSERT_TRUE(tmp.isValid());
    const QString root = tmp.path();
    const QString good = root + "/good.png";
    ASSERT_TRUE(writeTestPicture(good, FIF_PNG, 40, 20));
    // "café.png" and the folder "dé" in Latin-1: the byte E9 alone.
    const QByteArray root8 = QFile::encodeName(root);
    ASSERT_EQ(std::rename(QFile::encodeName(good).constData(), (root8 + "/caf\xe9.png").constData()), 0);
    ASSERT_TRUE(writeTestPicture(good, FIF_PNG, 40, 20));
    ASSERT_EQ(::mkdir((root8 + "/d\xe9").constData(), 0755), 0);

    // The shell makes the bytes; QProcess would pass only text.
    const QString script = "export XDG_CACHE_HOME=\"$1/cache\"; cd \"$1\" || exit 99; "
                           "case $2 in folder) exec \"$0\" -o \"$(printf 'd\\351')\" -y good.png ;; "
                           "picture) exec \"$0\" -y \"$(printf 'caf\\351.png')\" ;; esac";
    for (const char* what : {"folder", "picture"}) {
        SCOPED_TRACE(what);
        const ProcessResult r = runProgram("sh", {"-c", script, convertProgram(), root, what});
        EXPECT_EQ(r.exitCode, 2) << r.err.toStdString();
        EXPECT_TRUE(r.err.contains("not valid text")) << r.err.toStdString();
        EXPECT_TRUE(r.out.isEmpty()) << r.out.toStdString();
    }
    // No document anywhere, least of all in a folder of another name.
    struct stat st {};
    EXPECT_NE(::stat((root8 + "/d\xef\xbf\xbd").constData(), &st), 0);
    EXPECT_NE(::stat((root8 + "/d\xe9/New PDF Document.pdf").constData(), &st), 0);
    EXPECT_TRUE(QDir(root).entryList({"*.pdf"}, QDir::Files).isEmpty());
    // QTemporaryDir cannot remove names it cannot hold as text.
    ::unlink((root8 + "/caf\xe9.png").constData());
    ::rmdir((root8 + "/d\xe9").constData());
}

TEST(RobustCli, OutputThatCannotBeWrittenOrReplacedIsSaidBeforeAnyPageIsMade)
{
    // Permissions bind only a user other than root: as root the program runs
    // as "nobody".
    QStringList prefix;
    uid_t uid = ::geteuid();
    gid_t gid = ::getegid();
    if (uid == 0) {
        const passwd* nobody = ::getpwnam("nobody");
        if (!nobody || runProgram("setpriv", {"--version"}).exitCode != 0)
            GTEST_SKIP() << "needs the user nobody and setpriv";
        uid = nobody->pw_uid;
        gid = nobody->pw_gid;
        prefix = {"setpriv", "--reuid=" + QString::number(uid), "--regid=" + QString::number(gid), "--clear-groups"};
    }
    QTemporaryDir tmp;
    ASSERT_TRUE(tmp.isValid());
    const QString root = tmp.path();
    ASSERT_EQ(::chmod(QFile::encodeName(root).constData(), 0755), 0);
    const QString pic = root + "/a.png";
    ASSERT_TRUE(writeTestPicture(pic, FIF_PNG, 40, 20));
    const QString cache = root + "/cache";
    ASSERT_TRUE(QDir().mkpath(cache));
    ASSERT_EQ(::chown(QFile::encodeName(cache).constData(), uid, gid), 0);

    // The other user may not reach the build tree (a checkout in a private
    // home): it runs a copy of the program and its helpers kept in the
    // test's own folder, laid out as installed. Leak checking is off for it,
    // as it may not read the suppressions file either.
    QString program = convertProgram();
    QStringList env{"env", "XDG_CACHE_HOME=" + cache, "HOME=" + root};
    if (!prefix.isEmpty()) {
        const QString from = QFileInfo(program).absolutePath() + "/..";
        program = root + "/bin/velunor-convert";
        ASSERT_TRUE(copyTree(from + "/bin/velunor-convert", program));
        copyTree(from + "/libexec", root + "/libexec");
        env << "ASAN_OPTIONS=detect_leaks=0";
    }
    const struct Row {
        const char* folder;
        mode_t mode;
        bool othersDocument; // a document of root's is there (only when run as root)
        const char* said;
    } rows[] = {
        {"read-only", 0555, false, "cannot be written"},
        // Like /tmp: everyone may write, only an entry's owner replace it.
        {"shared", 01777, true, "belongs to another user in a shared folder"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.folder);
        if (row.othersDocument && prefix.isEmpty())
            continue;
        const QString out = root + "/" + row.folder, document = out + "/New PDF Document.pdf";
        ASSERT_TRUE(QDir().mkpath(out));
        if (row.othersDocument) {
            ASSERT_TRUE(writeFile(document, "root's document"));
        }
        ASSERT_EQ(::chmod(QFile::encodeName(out).constData(), row.mode), 0);
        const QStringList args = prefix + env + QStringList{program, "-o", out, "-y", pic, pic};
        const ProcessResult r = runProgram(args.first(), args.mid(1));
        EXPECT_EQ(r.exitCode, 1) << r.err.toStdString();
        EXPECT_TRUE(r.err.contains(out)) << r.err.toStdString();
        EXPECT_TRUE(r.err.contains(row.said)) << r.err.toStdString();
        EXPECT_FALSE(r.err.contains("Preparing Files...")) << r.err.toStdString();
        EXPECT_EQ(QDir(out).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot).size(),
                  row.othersDocument ? 1 : 0);
        if (row.othersDocument) {
            EXPECT_EQ(readAll(document), QByteArray("root's document"));
        }
        ::chmod(QFile::encodeName(out).constData(), 0755);
    }
}
