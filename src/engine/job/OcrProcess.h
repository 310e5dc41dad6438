#pragma once
#include "platform/EventPump.h"
#include "platform/HelperChild.h"

#include <QString>
#include <QtGlobal>


// Reads the text of one page picture in the velunor-ocr helper: Tesseract
// in a process of its own, under a memory and a time limit, ended with
// ours. Started, it works on the other core while the job makes the next
// page; Wait pumps events (at most kPassMs apart) until it has ended.
class OcrProcess {
public:
    struct Options {
        QString program;            // the helper program
        // For a page of up to 10 megapixels, and as much more as a larger
        // page has pixels (TimeLimitMs); then it is killed.
        int timeLimitMs = 300000;
        qint64 memoryLimit = 2000000000; // its address space, in bytes
    };
    // velunor-ocr beside our programs, with the limits above.
    static Options Defaults();

    explicit OcrProcess(YieldFunction yield, Options options = Defaults());
    // A helper still running (the job is being torn down) is killed and reaped.
    ~OcrProcess() = default;
    OcrProcess(const OcrProcess&) = delete;
    OcrProcess& operator=(const OcrProcess&) = delete;

    const Options& options() const { return m_options; }
    // The time a page of `pixels` gets: `perTenMegapixels` for every 10
    // megapixels (Tesseract's time grows with the pixels), never less.
    static qint64 TimeLimitMs(qint64 pixels, int perTenMegapixels);
    bool Running() const { return m_child.Running(); }

    // Starts reading `bitmap` in `languages` (Tesseract's codes, found in
    // `dataFolder`), to write textBase + ".pdf". False with *error when it
    // cannot start.
    bool Start(const QString& bitmap, const QString& languages, const QString& dataFolder, const QString& textBase,
               QString* error);
    // Until the started helper has ended: true when it wrote its page, else
    // false with *error (a reason, without the picture's name).
    bool Wait(QString* error);

private:
    YieldFunction m_yield;
    Options m_options;
    HelperChild m_child;
    qint64 m_limitMs = 0; // of the page being read
};
