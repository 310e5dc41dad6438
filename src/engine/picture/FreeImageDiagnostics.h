#pragma once
#include <QString>

// FreeImage's own messages (and those of the libtiff it uses) belong in the
// reason of an error, not on the terminal. Collect() starts a fresh record;
// Take() returns what was said since, one message per line.
class FreeImageDiagnostics {
public:
    // Installs the hooks once per process; later calls do nothing.
    static void Install();
    static void Collect();
    static QString Take();
    // `sentence`, with what was said since Collect() in brackets (taken).
    static QString WithReason(const QString& sentence);
    // Whether nothing at all was said since Collect(), Take() or not: a
    // JPEG whose decoder warned is no file to pass on as it is.
    static bool Quiet();
};
