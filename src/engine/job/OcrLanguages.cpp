#include "engine/job/OcrLanguages.h"

#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>

QString OcrLanguages::DataFolder()
{
    const QString prefix = qEnvironmentVariable("TESSDATA_PREFIX");
    if (!prefix.isEmpty())
        return QDir::cleanPath(prefix);
    return QStringLiteral("/usr/share/tesseract-ocr/5/tessdata");
}

QStringList OcrLanguages::Installed()
{
    QStringList codes;
    const QFileInfoList files =
        QDir(DataFolder()).entryInfoList({QStringLiteral("*.traineddata")}, QDir::Files | QDir::Readable, QDir::Name);
    for (const QFileInfo& f : files) {
        if (f.completeBaseName() != QLatin1String("osd"))
            codes << f.completeBaseName();
    }
    return codes;
}

QString OcrLanguages::DebianPackage(const QString& code)
{
    return QStringLiteral("tesseract-ocr-") + code.toLower().replace(QLatin1Char('_'), QLatin1Char('-'));
}

QString OcrLanguages::Problem(const QString& languages)
{
    if (languages.trimmed().isEmpty())
        return QStringLiteral("No text recognition language is given (e.g. eng, or deu+eng).");
    // Said before the argument is shown: a line break would split the message.
    for (const QChar c : languages) {
        if (c.category() == QChar::Other_Control)
            return QStringLiteral("The text recognition languages hold a control character (U+%1): give "
                                  "Tesseract's codes joined by \"+\", e.g. eng or deu+eng.")
                .arg(QString::number(c.unicode(), 16).rightJustified(4, QLatin1Char('0')).toUpper());
    }
    static const QRegularExpression code(QRegularExpression::anchoredPattern(QStringLiteral("[A-Za-z0-9_]+")));
    const QStringList installed = Installed();
    for (const QString& c : languages.split(QLatin1Char('+'))) {
        if (!code.match(c).hasMatch())
            return QStringLiteral("\"%1\" is not a text recognition language: give Tesseract's codes joined by "
                                  "\"+\", e.g. eng or deu+eng.").arg(languages);
        if (c.compare(QLatin1String("osd"), Qt::CaseInsensitive) == 0)
            return QStringLiteral("\"%1\" is not a language: used by Tesseract to find a page's orientation. "
                                  "Please give a language such as eng.").arg(c);
        if (installed.contains(c))
            continue;
        // The data files are named in small letters, and Tesseract takes
        // the code exactly as its file is named.
        for (const QString& name : installed) {
            if (name.compare(c, Qt::CaseInsensitive) == 0)
                return QStringLiteral("The text recognition language \"%1\" is not installed under that name; "
                                      "its code is written \"%2\" (letter case counts).").arg(c, name);
        }
        return QStringLiteral("The text recognition language \"%1\" is not installed. Please install it "
                              "(Debian package \"%2\").").arg(c, DebianPackage(c));
    }
    return {};
}
