#pragma once
#include <QString>

enum class MessageIcon { None, Information, Exclamation, Critical };

// Where the few things the user must be told go: message boxes in the
// window program, standard error in velunor-convert, a recorder in tests.
class MessageSink {
public:
    virtual ~MessageSink() = default;
    // A modal message with one OK button.
    virtual void showMessage(const QString& title, const QString& text, MessageIcon icon) = 0;
    // OK and Cancel, no icon; true only for OK.
    virtual bool askOkCancel(const QString& title, const QString& text) = 0;
};
