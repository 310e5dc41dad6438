#pragma once
#include <QByteArray>
#include <QMap>
#include <QString>

// The program's own options beside the designed settings file: options.ini
// in the same folder as setting.dll, one "key = value" a line, UTF-8. Keys
// are grouped by a dotted prefix (page.size, page.margin...), so every part
// of the program keeps its choices in this one file and keys it does not
// know are kept as they are.
//
// Read safely: only a regular file of sane size is read, opened without
// waiting (a FIFO put in its place cannot stall the start); a file that is
// damaged as a whole gives no values, a line that makes no sense is passed
// over. Written whole to a temporary file and renamed into place.
class OptionsFile {
public:
    explicit OptionsFile(QString path = DefaultPath());

    // options.ini beside AppPaths::SettingsFilePath().
    static QString DefaultPath();
    // Files larger than this are not ours.
    static constexpr qint64 MaxBytes = 64 * 1024;

    const QString& Path() const { return m_path; }

    // Reads the file anew. False, with no values, when it is absent, not a
    // regular file, too large or not UTF-8 text.
    bool Load();
    QString Value(const QString& key, const QString& fallback = QString()) const;
    void SetValue(const QString& key, const QString& value);
    const QMap<QString, QString>& Values() const { return m_values; }

    // Creates the folder when needed. On failure the old file stays and
    // *error says why.
    bool Save(QString* error = nullptr) const;

    static QMap<QString, QString> Parse(const QString& text);
    static QByteArray Format(const QMap<QString, QString>& values);

private:
    QString m_path;
    QMap<QString, QString> m_values;
};
