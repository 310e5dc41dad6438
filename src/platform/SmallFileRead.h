#pragma once
#include <QByteArray>
#include <QString>
#include <QtGlobal>

// Reads a settings-like file whole: only a regular file of at most
// maxBytes. Opened without blocking, so a FIFO or a device planted at the
// path cannot hold a start-up for ever. False (and *bytes empty) for
// anything else, or when reading fails.
bool ReadSmallRegularFile(const QString& path, qint64 maxBytes, QByteArray* bytes);
