#pragma once
#include "engine/job/JobInputs.h"
#include "engine/job/JobObserver.h"
#include "platform/MessageSink.h"

#include <QString>
#include <QStringList>

#include <cstdio>

// The conversion job for velunor-convert: the inputs come from the command
// line; captions go to standard error (a bar on a terminal, plain lines
// otherwise); the overwrite question is answered by --yes, asked on the
// terminal, or refused when there is none. It is also the command runner's
// MessageSink, so every message lands on standard error the same way.
class ConsoleJobIo : public JobInputs, public JobObserver, public MessageSink {
public:
    struct Options : JobSettings {
        QStringList pictures;
        bool yes = false;
    };

    // in: where an answer is read; err: where captions and messages go.
    ConsoleJobIo(const Options& options, std::FILE* in = stdin, std::FILE* err = stderr);
    ~ConsoleJobIo() override;

    // JobInputs
    int EntryCount() const override;
    QString Entry(int i) const override;
    JobSettings Settings() const override { return m_opt; }
    void SetOutputFolder(const QString& folder) override { m_opt.outputFolder = folder; }

    // JobObserver
    void Progress(const QString& caption, int percent) override;
    void Tell(const QString& title, const QString& text, MessageIcon icon) override;
    bool ConfirmOverwrite(const QString& target) override;
    bool GoOnDespite(const QString& warning) override;

    // MessageSink
    void showMessage(const QString& title, const QString& text, MessageIcon icon) override;
    bool askOkCancel(const QString& title, const QString& text) override;

private:
    // "question [y/N]" on the terminal; true only for y or yes.
    bool ask(const QString& question);
    void drawBar();
    void endBarLine();
    void print(const QString& text);

    Options m_opt;
    std::FILE* m_in;
    std::FILE* m_err;
    bool m_terminal;
    QString m_caption;
    int m_percent = 0;
    bool m_barOpen = false;
};
