#include "engine/job/OptionsFile.h"

#include "platform/AppPaths.h"
#include "platform/SmallFileRead.h"

#include <QDir>
#include <QFileInfo>
#include <QSaveFile>
#include <QStringDecoder>

namespace {

// One line of the file: no line breaks, no "=" in a key.
QString oneLine(QString text)
{
    text.replace(QLatin1Char('\r'), QLatin1Char(' '));
    text.replace(QLatin1Char('\n'), QLatin1Char(' '));
    return text.trimmed();
}

} // namespace

OptionsFile::OptionsFile(QString path) : m_path(std::move(path)) {}

QString OptionsFile::DefaultPath()
{
    return AppPaths::JoinPath(QFileInfo(AppPaths::SettingsFilePath()).absolutePath(), QStringLiteral("options.ini"));
}

bool OptionsFile::Load()
{
    m_values.clear();
    QByteArray bytes;
    if (!ReadSmallRegularFile(m_path, MaxBytes, &bytes))
        return false;
    QStringDecoder utf8(QStringDecoder::Utf8, QStringConverter::Flag::Stateless);
    const QString text = utf8(bytes);
    if (utf8.hasError() || text.contains(QChar(0)))
        return false;
    m_values = Parse(text);
    return true;
}

QString OptionsFile::Value(const QString& key, const QString& fallback) const { return m_values.value(key, fallback); }

void OptionsFile::SetValue(const QString& key, const QString& value) { m_values.insert(oneLine(key), oneLine(value)); }

QMap<QString, QString> OptionsFile::Parse(const QString& text)
{
    QMap<QString, QString> values;
    const QStringList lines = text.split(QLatin1Char('\n'));
    for (QString line : lines) {
        line = line.trimmed();
        // Comments and the section headers some editors add are passed over.
        if (line.isEmpty() || line.startsWith(QLatin1Char('#')) || line.startsWith(QLatin1Char(';')) ||
            line.startsWith(QLatin1Char('[')))
            continue;
        const qsizetype eq = line.indexOf(QLatin1Char('='));
        if (eq <= 0)
            continue;
        const QString key = line.left(eq).trimmed();
        if (!key.isEmpty())
            values.insert(key, line.mid(eq + 1).trimmed());
    }
    return values;
}

QByteArray OptionsFile::Format(const QMap<QString, QString>& values)
{
    QByteArray out("# Velunor's options (the page layout and more); setting.dll beside it holds the rest.\n");
    for (auto it = values.cbegin(); it != values.cend(); ++it) {
        const QString key = oneLine(it.key()).remove(QLatin1Char('='));
        if (!key.isEmpty())
            out += (key + " = " + oneLine(it.value()) + "\n").toUtf8();
    }
    return out;
}

bool OptionsFile::Save(QString* error) const
{
    const QString folder = QFileInfo(m_path).absolutePath();
    if (!QDir().mkpath(folder)) {
        if (error)
            *error = QStringLiteral("The folder %1 could not be made.").arg(folder);
        return false;
    }
    QSaveFile f(m_path);
    if (!f.open(QIODevice::WriteOnly) || f.write(Format(m_values)) < 0 || !f.commit()) {
        if (error)
            *error = QStringLiteral("%1: %2").arg(m_path, f.errorString());
        return false;
    }
    return true;
}
