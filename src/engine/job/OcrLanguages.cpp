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
    static const QRegularExpression code(QStringLiteral("^[A-Za-z0-9_]+$"));
    const QStringList installed = Installed();
    for (const QString& c : languages.split(QLatin1Char('+'))) {
        if (!code.match(c).hasMatch())
            return QStringLiteral("\"%1\" is not a text recognition language: give Tesseract's codes joined by "
                                  "\"+\", e.g. eng or deu+eng.").arg(languages);
        if (!installed.contains(c))
            return QStringLiteral("The text recognition language \"%1\" is not installed. Please install it "
                                  "(Debian package \"%2\").").arg(c, DebianPackage(c));
    }
    return {};
}
