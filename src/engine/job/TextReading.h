#pragma once
#include "engine/job/OcrProcess.h"
#include "engine/job/WorkFolders.h"
#include "platform/EventPump.h"

#include <QString>

#include <memory>
#include <vector>

// The searchable text of a job's pages. Once page i is made, its temporary
// bitmap (the same pixels, upright) is moved aside and read by a text
// reader while the job makes the next pages; when it is done, its text page
// is laid over page file i. Two readers work at once, each a velunor-ocr of
// its own with its own limits, so both cores read; a third page waits until
// the older of the two is done, so at most two pages wait. Pages are
// finished in the order they were made, and every page is done before the
// joins begin, so their files and order are as without text.
class TextReading {
public:
    static constexpr int kReaders = 2;

    // `rotate`: pages whose text stands clearly sideways or upside down are
    // turned upright (by the page's /Rotate; their picture stays as coded).
    TextReading(const WorkFolders& folders, const QString& languages, YieldFunction yield,
                OcrProcess::Options options = OcrProcess::Defaults(), bool rotate = false);

    // Every page's words, in the order the pages are finished, are also
    // gathered into `path` (UTF-8, a form feed between pages).
    void SetWordsFile(const QString& path) { m_wordsFile = path; }

    // Why no page could be read (the helper or a language is missing), in
    // user words; empty when all is in place. Asked before any page.
    QString Problem() const;

    // Whether a reader is free for the next page.
    bool Free() const;
    // `pageFile`, a page of entry i (`picture`), has just been made from the
    // temporary bitmap: reads it. When no reader is free, the oldest page is
    // finished first.
    bool Start(int i, const QString& pageFile, const QString& picture, QString* error);
    // The oldest page being read: its entry's number, else -1.
    int Pending() const;
    // Waits for the oldest page being read and lays its text over its page
    // file; *error names the picture.
    bool Finish(QString* error);

private:
    struct Reader {
        std::unique_ptr<OcrProcess> process;
        QString bitmap;   // its own copy of the page's picture
        QString textBase; // + ".pdf", ".txt": the text page and the words it writes
        int page = -1;    // the entry it reads, else -1
        quint64 started = 0;
        QString pageFile;
        QString picture;
    };
    Reader* oldest();
    const Reader* oldest() const;
    // Appends the finished page's words (`words`, its reader's) to the words file.
    bool keepWords(const QString& words, QString* why);

    WorkFolders m_folders;
    QString m_languages;
    bool m_rotate = false;
    std::vector<Reader> m_readers;
    quint64 m_started = 0;
    QString m_wordsFile;
    int m_wordsPages = 0;
};
