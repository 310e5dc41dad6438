#pragma once
#include "platform/MessageSink.h"

class QWidget;

// Modal QMessageBox owned by the given window.
class QtMessageSink : public MessageSink {
public:
    explicit QtMessageSink(QWidget* owner = nullptr) : m_owner(owner) {}
    void showMessage(const QString& title, const QString& text, MessageIcon icon) override;
    bool askOkCancel(const QString& title, const QString& text) override;

private:
    QWidget* m_owner;
};
