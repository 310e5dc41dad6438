#include "engine/job/TextReading.h"

#include "engine/job/OcrLanguages.h"
#include "engine/pdf/TextLayer.h"
#include "platform/QuotedPath.h"

#include <QFile>
#include <QFileInfo>

TextReading::TextReading(const WorkFolders& folders, const QString& languages, YieldFunction yield,
                         OcrProcess::Options options)
    : m_folders(folders), m_languages(languages), m_process(std::move(yield), std::move(options))
{
}

QString TextReading::Problem() const
{
    const QString program = m_process.options().program;
    if (!QFileInfo(program).isExecutable())
        return QStringLiteral("The text reader %1 is missing; the installation is incomplete.").arg(QuotedPath(program));
    return OcrLanguages::Problem(m_languages);
}

bool TextReading::Start(int i, const QString& pageFile, const QString& picture, QString* error)
{
    if (m_page >= 0 && !Finish(error))
        return false;
    auto failed = [&](const QString& why) {
        *error = QStringLiteral("Cannot read the text of the picture %1: %2.").arg(QuotedPath(picture), why);
        return false;
    };
    // Moved, not copied: the next page writes a bitmap of its own.
    QFile::remove(bitmap());
    if (!QFile::rename(m_folders.tempBitmap(), bitmap()))
        return failed(QStringLiteral("its temporary bitmap %1 is gone").arg(QuotedPath(m_folders.tempBitmap())));
    QFile::remove(textBase() + QStringLiteral(".pdf"));
    QFile::remove(textBase() + QStringLiteral(".txt"));
    QString why;
    if (!m_process.Start(bitmap(), m_languages, OcrLanguages::DataFolder(), textBase(), &why))
        return failed(why);
    m_page = i;
    m_pageFile = pageFile;
    m_picture = picture;
    return true;
}

bool TextReading::Finish(QString* error)
{
    if (m_page < 0)
        return true;
    m_page = -1;
    QString why;
    const QString text = textBase() + QStringLiteral(".pdf");
    QRectF rect;
    const bool ok = m_process.Wait(&why) &&
                    (QFileInfo(text).isFile() || (why = QStringLiteral("the text reader wrote no text page"), false)) &&
                    TextLayer::PictureRect(m_pageFile, &rect, &why) && TextLayer::Overlay(m_pageFile, text, rect, &why) &&
                    (m_wordsFile.isEmpty() || keepWords(&why));
    QFile::remove(bitmap());
    QFile::remove(text);
    QFile::remove(textBase() + QStringLiteral(".txt"));
    if (!ok)
        *error = QStringLiteral("Cannot read the text of the picture %1: %2.").arg(QuotedPath(m_picture), why);
    return ok;
}

bool TextReading::keepWords(QString* why)
{
    QFile words(textBase() + QStringLiteral(".txt"));
    QFile all(m_wordsFile);
    if (!words.open(QIODevice::ReadOnly)) {
        *why = QStringLiteral("the text reader wrote no words: %1").arg(words.errorString());
        return false;
    }
    // Pages are told apart by a form feed, as printers and pagers know it.
    const QByteArray page = (m_wordsPages > 0 ? QByteArray("\f") : QByteArray()) + words.readAll();
    if (!all.open(QIODevice::WriteOnly | QIODevice::Append) || all.write(page) != page.size() || !all.flush()) {
        *why = QStringLiteral("its words could not be kept in %1: %2").arg(QuotedPath(m_wordsFile), all.errorString());
        return false;
    }
    ++m_wordsPages;
    return true;
}
