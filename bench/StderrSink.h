#pragma once
#include "platform/MessageSink.h"

#include <QString>
#include <cstdio>

// Messages of the code under measurement go to standard error; questions
// are answered OK.
class StderrSink : public MessageSink {
public:
    void showMessage(const QString& title, const QString& text, MessageIcon) override
    {
        std::fprintf(stderr, "%s: %s\n", qPrintable(title), qPrintable(text));
    }
    bool askOkCancel(const QString&, const QString&) override { return true; }
};
