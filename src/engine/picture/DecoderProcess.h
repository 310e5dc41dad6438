#pragma once
#include "platform/EventPump.h"
#include "platform/HelperChild.h"

#include <QString>
#include <QtGlobal>

#include <sys/types.h>

// Runs the decode step in the velunor-decode helper, a single-threaded
// program of ours: a damaged picture that crashes or hangs a decoder, or
// asks for too much memory, ends that process, not ours. The caller's yield
// runs while it waits, so the window stays live and Exit works at once.
// One helper serves every picture of a job (its start costs about 10 ms a
// page otherwise); a helper that crashed, hung or ran out of memory is gone
// with that picture, and the next picture starts a new one.
class DecoderProcess {
public:
    struct Options {
        QString program;            // the helper program
        int timeLimitMs = 120000;   // then it is killed
        qint64 memoryLimit = 1500000000; // its address space, in bytes
    };
    // velunor-decode beside our programs, with the limits above.
    static Options Defaults();

    explicit DecoderProcess(YieldFunction yield, Options options = Defaults());
    // A helper still running (the job is being torn down) is killed and reaped.
    ~DecoderProcess();
    DecoderProcess(const DecoderProcess&) = delete;
    DecoderProcess& operator=(const DecoderProcess&) = delete;

    // DecodeStep::WriteTempBitmap in the helper; the same results, but a
    // helper that failed may leave part of a bitmap: the caller removes it.
    bool Run(const QString& picture, int format, const QString& bitmap, int* width, int* height, QString* error,
             int page = 0);

    // Run in two halves, so that this process works while the helper does:
    // Send hands it the picture and returns at once, Receive waits for the
    // answer (with the caller's yield). One picture at a time.
    // With `keepAt` > 0 a JPEG that a page at that quality keeps as it is
    // is only checked (DecodeStep::KeepOrWriteTempBitmap; *kept).
    bool Send(const QString& picture, int format, const QString& bitmap, QString* error, int page = 0, int keepAt = 0);
    bool Receive(int* width, int* height, QString* error, bool* kept = nullptr);
    // Ends the helper with the picture it has: one no longer wanted.
    void Drop() { end(); }

private:
    bool start(QString* error);
    void end();

    YieldFunction m_yield;
    Options m_options;
    HelperChild m_child;
    int m_requests = -1; // its standard input: the pictures to decode
    int m_replies = -1;  // its descriptor 3: one answer a picture
    bool m_waiting = false; // a picture sent, its answer not yet received
};
