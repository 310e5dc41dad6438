#include "engine/pdf/PdfDate.h"

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
