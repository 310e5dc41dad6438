#pragma once
#include "TestSupport.h"

#include <QCoreApplication>
#include <QProcess>
#include <QString>

// The velunor-convert built beside this test program.
inline QString convertProgram()
{
    const QString build = qEnvironmentVariable("VELUNOR_BUILD_DIR");
    if (!build.isEmpty())
        return build + "/bin/velunor-convert";
    return QCoreApplication::applicationDirPath() + "/velunor-convert";
}

// Runs program (velunor-convert when empty) in p, set up by the caller, to
// its end: the exit code (-1 when it crashed or never started) and its words.
inline testsupport::ProcessResult runToEnd(QProcess& p, const QStringList& args, const QString& program = {},
                                           int timeoutMs = 300000)
{
    p.start(program.isEmpty() ? convertProgram() : program, args);
    testsupport::ProcessResult r;
    if (!p.waitForStarted(30000))
        return r;
    p.waitForFinished(timeoutMs);
    r.exitCode = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    r.out = QString::fromLocal8Bit(p.readAllStandardOutput());
    r.err = QString::fromLocal8Bit(p.readAllStandardError());
    return r;
}
