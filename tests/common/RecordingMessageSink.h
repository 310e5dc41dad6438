#pragma once
#include "platform/MessageSink.h"
#include <QStringList>
#include <vector>

// Collects what would have been shown to the user, and answers questions
// with a preset reply.
class RecordingMessageSink : public MessageSink {
public:
    struct Shown {
        QString title;
        QString text;
        MessageIcon icon;
    };
    std::vector<Shown> messages;
    std::vector<Shown> questions;
    bool answerOk = true;

    void showMessage(const QString& title, const QString& text, MessageIcon icon) override
    {
        messages.push_back({title, text, icon});
    }
    bool askOkCancel(const QString& title, const QString& text) override
    {
        questions.push_back({title, text, MessageIcon::None});
        return answerOk;
    }
};
