#include "engine/picture/PictureLimits.h"

#include <QLocale>

qint64 PictureLimits::MaxPixels() { return qint64(20000) * 20000; }

int PictureLimits::MaxSide() { return 65500; }

qint64 PictureLimits::MaxDecodeBytes() { return 1000000000; }

QString PictureLimits::IncompleteText()
{
    return QStringLiteral("the file is damaged or incomplete: it ends before the picture does");
}

bool PictureLimits::WithinLimit(qint64 w, qint64 h, QString* error)
{
    if (w * h <= MaxPixels() && w <= MaxSide() && h <= MaxSide())
        return true;
    const QLocale c(QLocale::English, QLocale::UnitedStates); // 20,000
    *error = QString("the picture is %1 x %2 pixels, larger than the limit of %3 pixels "
                     "(%4 x %4) or %5 pixels a side")
                 .arg(c.toString(w), c.toString(h), c.toString(MaxPixels()), c.toString(20000), c.toString(MaxSide()));
    return false;
}

bool PictureLimits::WithinMemory(qint64 w, qint64 h, int bitsPerPixel, int copyBytesPerPixel, QString* error)
{
    const double bytes = double(w) * double(h) * (bitsPerPixel / 8.0 + copyBytesPerPixel);
    if (bytes <= double(MaxDecodeBytes()))
        return true;
    const QLocale c(QLocale::English, QLocale::UnitedStates);
    *error = QString("the picture is %1 x %2 pixels of %3 bits: decoding it would take %4 GB of memory, "
                     "more than the limit of %5 GB")
                 .arg(c.toString(w), c.toString(h), QString::number(bitsPerPixel),
                      QString::number(bytes / 1e9, 'f', 1), QString::number(MaxDecodeBytes() / 1e9, 'f', 1));
    return false;
}
