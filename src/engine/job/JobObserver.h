#pragma once
#include "platform/MessageSink.h"

#include <QString>

// How a conversion job ended. Busy: a job was already running in this
// program, nothing was done and the observer heard nothing.
enum class JobOutcome {
    Busy,
    EmptyList, // "Please add a file"
    BadTitle,  // the title cannot name a file; nothing created
    Cancelled, // the overwrite question was not answered OK
    Failed,    // a message said what failed; no document written
    Done,
    Stopped,   // the user stopped it; the work went, an earlier document stayed
};

// What a conversion job tells the program that runs it. The window turns it
// into its bar, caption, buttons, message boxes and the opened folder
// (WindowJobIo); velunor-convert into lines on standard error (ConsoleJobIo).
class JobObserver {
public:
    virtual ~JobObserver() = default;

    // The job has begun (the list was not empty). Until Finished the list
    // is the job's and no second job may start.
    virtual void Started() {}
    // The caption over the bar; percent (0 to 100) moves the bar, -1 leaves
    // it where it is. An empty caption clears the bar's line.
    virtual void Progress(const QString& caption, int percent) = 0;
    // List entry i is being made into its page (or joined); -1: none now.
    virtual void Making(int i) { Q_UNUSED(i); }
    // The picture of list entry i cannot make its page; the job fails
    // with a message naming it, told next.
    virtual void PictureFailed(int i) { Q_UNUSED(i); }
    // Something the user must read: why the job cannot start or go on.
    virtual void Tell(const QString& title, const QString& text, MessageIcon icon) = 0;
    // The document `target` exists already: replace it? True only for OK.
    // Put to the user with OverwriteTitle() and OverwriteText().
    virtual bool ConfirmOverwrite(const QString& target) = 0;
    // The page layout makes every picture tiny or coarse (`warning`, from
    // PageLayout::Warning): go on anyway? Asked once, before anything is
    // made; the window asks Yes/No, velunor-convert warns and goes on.
    virtual bool GoOnDespite(const QString& warning)
    {
        Q_UNUSED(warning);
        return true;
    }
    // The end of every run but a Busy one; `document` is the path written
    // when the outcome is Done, else empty.
    virtual void Finished(JobOutcome outcome, const QString& document)
    {
        Q_UNUSED(outcome);
        Q_UNUSED(document);
    }

    static QString OverwriteTitle() { return QStringLiteral("Overwrite"); }
    static QString OverwriteText() { return QStringLiteral("The output filename exists, overwrite?"); }
};
