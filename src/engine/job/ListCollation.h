#pragma once
#include <QCollator>

// The collation the file list uses: the user's locale, case ignored.
// `numeric` compares runs of digits as numbers (file-manager order: scan2
// before scan10). Under the C/POSIX locale Qt's collator falls back to plain
// code-point comparison and ignores numeric mode, so the neutral (root)
// collation stands in for it there.
QCollator ListCollator(bool numeric);
