#pragma once
#include "platform/MessageSink.h"

#include <QString>

// Where the conversion job reports: the caption lblPB, the bar pb, the
// buttons, questions and messages, the opened folder and the beep.
class JobOutputs : public MessageSink {
public:
    virtual void SetCaption(const QString& caption) = 0;
    virtual void SetBarRange(int minimum, int maximum) = 0;
    virtual void SetBarValue(int value) = 0;
    virtual void SetConvertEnabled(bool enabled) = 0; // Command3
    virtual void SetToolbarEnabled(bool enabled) = 0; // CmdToolsBar 0..6
    // Toolbar buttons take the focus in index order, ending on index 6.
    virtual void FocusSweep() = 0;
    // true while a job runs: the file list's inputs are locked meanwhile.
    virtual void SetJobRunning(bool running) = 0;
    virtual void OpenFolder(const QString& folder) = 0;
    virtual void Beep() = 0;
    // One pass of the event loop.
    virtual void Yield() = 0;
};
