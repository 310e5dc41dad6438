#pragma once
#include <QCoreApplication>
#include <QString>

// The velunor-convert built beside this test program.
inline QString convertProgram()
{
    const QString build = qEnvironmentVariable("VELUNOR_BUILD_DIR");
    if (!build.isEmpty())
        return build + "/bin/velunor-convert";
    return QCoreApplication::applicationDirPath() + "/velunor-convert";
}
