#pragma once
#include <QByteArray>
#include <QString>

// The six records of the settings file, in file order.
struct SettingsValues {
    QString title;
    QString author;
    QString subject;
    QString keywords;
    QString quality; // decimal digits of the slider value, as written
    QString outputFolder;
};

// The settings file: six lines, each one value in double quotes, ended by
// CR LF, UTF-8, values unescaped. Written whole to a temporary file in the
// same folder and renamed into place, so a crash leaves the old file or the
// new one, never a mix.
class SettingsFile {
public:
    // Largest file read: ours is a few hundred bytes.
    static constexpr qint64 MaxBytes = 1024 * 1024;

    // Reads what the file holds. False when it cannot be opened or is not a
    // regular file of at most MaxBytes (a FIFO, a device, a folder); otherwise
    // *records tells how many of the six were present (missing ones are left
    // unchanged in *values).
    static bool Read(const QString& path, SettingsValues* values, int* records = nullptr);

    // Record 5 as a slider value: true when it is a whole number within
    // [minimum, maximum].
    static bool QualityValue(const QString& record, int minimum, int maximum, int* value);

    // Creates the folder when needed. On failure the old file stays and
    // *error says why.
    static bool Write(const QString& path, const SettingsValues& values, QString* error = nullptr);

    static QByteArray Format(const SettingsValues& values);
    // The text of one record line: between its enclosing double quotes.
    static QString RecordText(const QByteArray& line);
};
