#include "engine/pdf/PdfDate.h"

#include <QDate>
#include <QRegularExpression>

QString PdfDateString(const QDateTime& moment)
{
    const QDateTime local = moment.toLocalTime();
    // The offset of that very moment, so summer time is right on either side
    // of a change.
    int offset = local.offsetFromUtc();
    const QChar sign = offset < 0 ? QLatin1Char('-') : QLatin1Char('+');
    offset = offset < 0 ? -offset : offset;
    const int minutes = offset / 60;
    return QStringLiteral("D:") + local.toString(QStringLiteral("yyyyMMddHHmmss")) + sign
        + QStringLiteral("%1'%2").arg(minutes / 60, 2, 10, QLatin1Char('0')).arg(minutes % 60, 2, 10, QLatin1Char('0'));
}

// D:YYYYMMDDHHmmSS with an optional zone: Z, or +HH'mm' / -HH'mm' (the
// closing apostrophe may be left out, as many writers do). The day must
// exist in its month and year, and nothing may follow (not even a line
// break, which "$" would let through).
bool IsPdfDate(const QString& text)
{
    static const QRegularExpression re(QRegularExpression::anchoredPattern(QStringLiteral(
        "D:(\\d{4})(\\d{2})(\\d{2})(\\d{2})(\\d{2})(\\d{2})(?:Z|[+-](\\d{2})'(\\d{2})'?)?")));
    const QRegularExpressionMatch m = re.match(text);
    if (!m.hasMatch())
        return false;
    auto in = [&m](int group, int lo, int hi) {
        if (m.captured(group).isEmpty())
            return true;
        const int v = m.captured(group).toInt();
        return v >= lo && v <= hi;
    };
    if (!QDate(m.captured(1).toInt(), m.captured(2).toInt(), m.captured(3).toInt()).isValid())
        return false;
    return in(2, 1, 12) && in(3, 1, 31) && in(4, 0, 23) && in(5, 0, 59) && in(6, 0, 59) && in(7, 0, 23) && in(8, 0, 59);
}
