#include "engine/job/SettingsFile.h"

#include "platform/SmallFileRead.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>


namespace {
void appendRecord(QByteArray& out, const QString& value)
{
    out += '"';
    out += value.toUtf8();
    out += "\"\r\n";
}
} // namespace

QByteArray SettingsFile::Format(const SettingsValues& v)
{
    QByteArray out;
    appendRecord(out, v.title);
    appendRecord(out, v.author);
    appendRecord(out, v.subject);
    appendRecord(out, v.keywords);
    appendRecord(out, v.quality);
    appendRecord(out, v.outputFolder);
    return out;
}

QString SettingsFile::RecordText(const QByteArray& rawLine)
{
    QByteArray line = rawLine;
    while (line.endsWith('\n') || line.endsWith('\r'))
        line.chop(1);
    // The value is what lies between the first and the last quote, so a
    // comma, or even a quote, inside it survives.
    const qsizetype first = line.indexOf('"');
    const qsizetype last = line.lastIndexOf('"');
    if (first >= 0 && last > first)
        line = line.mid(first + 1, last - first - 1);
    else
        line = line.trimmed();
    return QString::fromUtf8(line);
}

bool SettingsFile::Read(const QString& path, SettingsValues* values, int* records)
{
    if (records)
        *records = 0;
    // Only a regular file of a sane size is read, and never waited for.
    QByteArray data;
    if (!ReadSmallRegularFile(path, MaxBytes, &data))
        return false;
    QString* fields[] = {&values->title, &values->author, &values->subject,
                         &values->keywords, &values->quality, &values->outputFolder};
    int n = 0;
    for (qsizetype at = 0; n < 6 && at < data.size();) {
        qsizetype end = data.indexOf('\n', at);
        end = end < 0 ? data.size() : end + 1;
        *fields[n++] = RecordText(data.mid(at, end - at));
        at = end;
    }
    if (records)
        *records = n;
    return true;
}

bool SettingsFile::QualityValue(const QString& record, int minimum, int maximum, int* value)
{
    bool ok = false;
    const int q = record.trimmed().toInt(&ok);
    if (!ok || q < minimum || q > maximum)
        return false;
    *value = q;
    return true;
}

bool SettingsFile::Write(const QString& path, const SettingsValues& values, QString* error)
{
    const QString folder = QFileInfo(path).absolutePath();
    if (!QDir().mkpath(folder)) {
        if (error)
            *error = QStringLiteral("The folder %1 could not be made.").arg(folder);
        return false;
    }
    QSaveFile f(path);
    if (!f.open(QIODevice::WriteOnly)) {
        if (error)
            *error = QStringLiteral("%1: %2").arg(path, f.errorString());
        return false;
    }
    f.write(Format(values));
    if (!f.commit()) {
        if (error)
            *error = QStringLiteral("%1: %2").arg(path, f.errorString());
        return false;
    }
    return true;
}
