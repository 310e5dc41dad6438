#include "mainwindow/QualityWords.h"

namespace QualityWords {

QString Word(int value)
{
    if (value > 79)
        return QStringLiteral("Best");
    if (value > 59)
        return QStringLiteral("Good");
    if (value > 29)
        return QStringLiteral("Medium");
    return QStringLiteral("Low");
}

QString Percent(int value)
{
    return QString::number(value) + QLatin1Char('%');
}

} // namespace QualityWords
