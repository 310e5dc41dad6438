#pragma once
#include "TestSupport.h"
#include "cli_program.h"

#include <FreeImage.h>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <cerrno>
#include <poll.h>
#include <sys/syscall.h>
#include <unistd.h>

inline QByteArray enc(const QString& path) { return QFile::encodeName(path); }
// Every entry of a folder, hidden ones too.
inline QStringList entries(const QString& dir)
{
    return QDir(dir).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
}
// Waits for a process to end (a pidfd becomes readable), for at most ms.
inline bool waitGone(pid_t pid, int ms = 30000)
{
    const int fd = int(::syscall(SYS_pidfd_open, pid, 0));
    if (fd < 0)
        return errno == ESRCH;
    pollfd p{fd, POLLIN, 0};
    const bool gone = ::poll(&p, 1, ms) == 1;
    ::close(fd);
    return gone;
}


// Runs of velunor-convert with their own cache, configuration and
// application-data folders under one temporary root, so a test can see what
// a run leaves behind.
class CliFixture : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(tmp.isValid());
        for (const char* d : {"pics", "out", "cache", "config", "appdata", "emptybin"})
            QDir().mkpath(root + "/" + d);
    }

    // Starts `program` in root with the run's folders (the cache at `cache`
    // when given); `extraEnv` holds NAME=VALUE entries.
    void start(QProcess& p, const QString& program, const QStringList& args, const QString& cache = {},
               const QStringList& extraEnv = {})
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("XDG_CACHE_HOME", cache.isEmpty() ? root + "/cache" : cache);
        env.insert("XDG_CONFIG_HOME", root + "/config");
        env.insert("APPDATA", root + "/appdata");
        env.remove("TESSDATA_PREFIX");
        if (!tessdata.isEmpty())
            env.insert("TESSDATA_PREFIX", tessdata);
        for (const QString& kv : extraEnv)
            env.insert(kv.section('=', 0, 0), kv.section('=', 1));
        p.setProcessEnvironment(env);
        p.setWorkingDirectory(root);
        p.setStandardInputFile(QProcess::nullDevice());
        p.start(program, args);
        ASSERT_TRUE(p.waitForStarted(30000)) << program.toStdString();
    }

    // velunor-convert (or `program`) to its end; PATH is `path` and the
    // cache `cache` when given.
    testsupport::ProcessResult run(const QStringList& args, const QString& path = {}, const QString& program = {},
                                   const QString& cache = {})
    {
        QProcess p;
        start(p, program.isEmpty() ? convertProgram() : program, args, cache,
              path.isEmpty() ? QStringList{} : QStringList{"PATH=" + path});
        testsupport::ProcessResult r;
        if (p.state() == QProcess::NotRunning && p.error() == QProcess::FailedToStart)
            return r;
        p.waitForFinished(300000);
        r.exitCode = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
        r.out = QString::fromLocal8Bit(p.readAllStandardOutput());
        r.err = QString::fromLocal8Bit(p.readAllStandardError());
        return r;
    }

    // To root/out, replacing what is there.
    testsupport::ProcessResult convert(const QStringList& args) { return run(QStringList{"-o", root + "/out", "-y"} + args); }
    QString inOut(const QString& title) const { return root + "/out/" + title + ".pdf"; }
    QString inPics(const QString& name) const { return root + "/pics/" + name; }
    QStringList outputFiles() const { return QDir(root + "/out").entryList(QDir::Files | QDir::Hidden); }
    QString picture(const QString& name, int format, int w, int h)
    {
        const QString path = inPics(name);
        EXPECT_TRUE(testsupport::writeTestPicture(path, format, w, h));
        return path;
    }

    // Nothing of a job may stay in the cache: no run folder, no lock file.
    QStringList leftovers() const
    {
        return QDir(root + "/cache/velunor").entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot);
    }
    QStringList pdfsIn(const QString& folder) const
    {
        return QDir(folder).entryList({"*.pdf", "*.pdf.*", ".*"}, QDir::Files | QDir::Hidden);
    }
    void expectSettingsUntouched() const
    {
        EXPECT_TRUE(QDir(root + "/config").isEmpty());
        EXPECT_TRUE(QDir(root + "/appdata").isEmpty());
    }

    QTemporaryDir tmp;
    QString root = tmp.path();
    QString tessdata; // the text reader's data for the runs, when set
};

// With a small picture ready at pics/a.png.
class CliWithPicture : public CliFixture {
protected:
    void SetUp() override
    {
        CliFixture::SetUp();
        pic = picture("a.png", FIF_PNG, 40, 20);
    }

    QString pic;
};
