#pragma once
#include "engine/job/OcrProcess.h"
#include "engine/job/WorkFolders.h"
#include "platform/EventPump.h"

#include <QString>

// The searchable text of a job's pages. Once page i is made, its temporary
// bitmap (the same pixels, upright) is moved aside and read by the text
// reader while the job makes page i + 1 on this core; when it is done, its
// text page is laid over page file i. One page is read at a time, and
// every page is done before the joins begin, so their files and order are
// as without text.
class TextReading {
public:
    TextReading(const WorkFolders& folders, const QString& languages, YieldFunction yield,
                OcrProcess::Options options = OcrProcess::Defaults());

    // Every page's words, in the order the pages are finished, are also
    // gathered into `path` (UTF-8, a form feed between pages).
    void SetWordsFile(const QString& path) { m_wordsFile = path; }

    // Why no page could be read (the helper or a language is missing), in
    // user words; empty when all is in place. Asked before any page.
    QString Problem() const;

    // `pageFile`, a page of entry i (`picture`), has just been made from the
    // temporary bitmap: reads it. A page still being read is finished first.
    bool Start(int i, const QString& pageFile, const QString& picture, QString* error);
    // A page is being read: its entry's number, else -1.
    int Pending() const { return m_page; }
    // Waits for the page being read and lays its text over its page file;
    // *error names the picture.
    bool Finish(QString* error);

private:
    QString bitmap() const { return m_folders.tmpDir + QStringLiteral("/ocr.bmp"); }
    QString textBase() const { return m_folders.tmpDir + QStringLiteral("/ocr"); }
    // Appends the finished page's words to the words file.
    bool keepWords(QString* why);

    WorkFolders m_folders;
    QString m_languages;
    OcrProcess m_process;
    int m_page = -1;
    QString m_pageFile;
    QString m_picture;
    QString m_wordsFile;
    int m_wordsPages = 0;
};
