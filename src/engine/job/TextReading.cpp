#include "engine/job/TextReading.h"

#include "engine/job/OcrLanguages.h"
#include "engine/pdf/TextLayer.h"
#include "platform/QuotedPath.h"

#include <QFile>
#include <QFileInfo>

TextReading::TextReading(const WorkFolders& folders, const QString& languages, YieldFunction yield,
                         OcrProcess::Options options, bool rotate)
    : m_folders(folders), m_languages(languages), m_rotate(rotate), m_readers(kReaders)
{
    for (int k = 0; k < kReaders; ++k) {
        Reader& r = m_readers[size_t(k)];
        r.process = std::make_unique<OcrProcess>(yield, options);
        r.bitmap = m_folders.tmpDir + QStringLiteral("/ocr%1.bmp").arg(k);
        r.textBase = m_folders.tmpDir + QStringLiteral("/ocr%1").arg(k);
    }
}

QString TextReading::Problem() const
{
    const QString program = m_readers.front().process->options().program;
    if (!QFileInfo(program).isExecutable())
        return QStringLiteral("The text reader %1 is missing; the installation is incomplete.").arg(QuotedPath(program));
    const QString osd = OcrLanguages::DataFolder() + QStringLiteral("/osd.traineddata");
    if (m_rotate && !QFileInfo(osd).isFile())
        return QStringLiteral("Turning pages upright needs Tesseract's orientation data %1 (Debian's tesseract-ocr-osd).")
            .arg(QuotedPath(osd));
    return OcrLanguages::Problem(m_languages);
}

TextReading::Reader* TextReading::oldest()
{
    Reader* found = nullptr;
    for (Reader& r : m_readers)
        if (r.page >= 0 && (!found || r.started < found->started))
            found = &r;
    return found;
}

const TextReading::Reader* TextReading::oldest() const { return const_cast<TextReading*>(this)->oldest(); }

bool TextReading::Free() const
{
    for (const Reader& r : m_readers)
        if (r.page < 0)
            return true;
    return false;
}

int TextReading::Pending() const
{
    const Reader* r = oldest();
    return r ? r->page : -1;
}

bool TextReading::Start(int i, const QString& pageFile, const QString& picture, QString* error)
{
    if (!Free() && !Finish(error))
        return false;
    Reader* free = nullptr;
    for (Reader& r : m_readers)
        if (!free && r.page < 0)
            free = &r;
    auto failed = [&](const QString& why) {
        *error = QStringLiteral("Cannot read the text of the picture %1: %2.").arg(QuotedPath(picture), why);
        return false;
    };
    // Moved, not copied: the next page writes a bitmap of its own.
    QFile::remove(free->bitmap);
    if (!QFile::rename(m_folders.tempBitmap(), free->bitmap))
        return failed(QStringLiteral("its temporary bitmap %1 is gone").arg(QuotedPath(m_folders.tempBitmap())));
    QFile::remove(free->textBase + QStringLiteral(".pdf"));
    QFile::remove(free->textBase + QStringLiteral(".txt"));
    QString why;
    if (!free->process->Start(free->bitmap, m_languages, OcrLanguages::DataFolder(), free->textBase, m_rotate, &why))
        return failed(why);
    free->page = i;
    free->started = ++m_started;
    free->pageFile = pageFile;
    free->picture = picture;
    return true;
}

bool TextReading::Finish(QString* error)
{
    Reader* r = oldest();
    if (!r)
        return true;
    r->page = -1;
    QString why;
    const QString text = r->textBase + QStringLiteral(".pdf");
    QRectF rect;
    int turn = 0;
    const bool ok = r->process->Wait(&turn, &why) &&
                    (QFileInfo(text).isFile() || (why = QStringLiteral("the text reader wrote no text page"), false)) &&
                    TextLayer::PictureRect(r->pageFile, &rect, &why) &&
                    TextLayer::Overlay(r->pageFile, text, rect, turn, &why) &&
                    (m_wordsFile.isEmpty() || keepWords(r->textBase + QStringLiteral(".txt"), &why));
    QFile::remove(r->bitmap);
    QFile::remove(text);
    QFile::remove(r->textBase + QStringLiteral(".txt"));
    if (!ok)
        *error = QStringLiteral("Cannot read the text of the picture %1: %2.").arg(QuotedPath(r->picture), why);
    return ok;
}

bool TextReading::keepWords(const QString& wordsOfPage, QString* why)
{
    QFile words(wordsOfPage);
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
