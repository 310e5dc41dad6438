#pragma once
#include <QDir>
#include <QString>

// A path as a message names it: in double quotes, so blanks and a trailing
// dot read as part of the name, with the system's separators.
inline QString QuotedPath(const QString& path)
{
    return QLatin1Char('"') + QDir::toNativeSeparators(path) + QLatin1Char('"');
}
