#pragma once
#include <QDateTime>
#include <QString>

// The PDF date string: "D:" + local "YYYYMMDDHHNNSS" + the machine's own UTC
// offset at that moment as "+01'00" / "-05'00" / "+00'00" (22 characters).
QString PdfDateString(const QDateTime& moment = QDateTime::currentDateTime());

// D:YYYYMMDDHHmmSS with an optional zone (Z, +HH'mm', -HH'mm'), naming a day
// that exists, and nothing after it.
bool IsPdfDate(const QString& text);
