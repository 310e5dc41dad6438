#pragma once
#include "engine/JobInputs.h"
#include "engine/JobOutputs.h"

#include <QString>
#include <QStringList>

#include <cstdio>

// The conversion job's inputs and outputs for velunor-convert: the inputs
// come from the command line; captions go to standard error (a bar on a
// terminal, plain lines otherwise); questions are answered by --yes, asked
// on the terminal, or refused when there is none.
class ConsoleJobIo : public JobInputs, public JobOutputs {
public:
    struct Options {
        QStringList pictures;
        QString title;
        QString author;
        QString subject;
        QString keywords;
        QString creationDate;
        QString outputFolder;
        int quality = 10;
        bool yes = false;
    };

    // in: where an answer is read; err: where captions and messages go.
    ConsoleJobIo(const Options& options, std::FILE* in = stdin, std::FILE* err = stderr);
    ~ConsoleJobIo() override;

    // JobInputs
    int EntryCount() const override;
    QString Entry(int i) const override;
    QString Title() const override { return m_opt.title; }
    QString Author() const override { return m_opt.author; }
    QString Subject() const override { return m_opt.subject; }
    QString Keywords() const override { return m_opt.keywords; }
    QString CreationDate() const override { return m_opt.creationDate; }
    QString OutputFolder() const override { return m_opt.outputFolder; }
    void SetOutputFolder(const QString& folder) override { m_opt.outputFolder = folder; }
    int Quality() const override { return m_opt.quality; }

    // MessageSink
    void showMessage(const QString& title, const QString& text, MessageIcon icon) override;
    bool askOkCancel(const QString& title, const QString& text) override;

    // JobOutputs
    void SetCaption(const QString& caption) override;
    void SetBarRange(int minimum, int maximum) override;
    void SetBarValue(int value) override;
    void SetConvertEnabled(bool) override {}
    void SetToolbarEnabled(bool) override {}
    void FocusSweep() override {}
    void SetJobRunning(bool) override {}
    void OpenFolder(const QString&) override {} // a script has no desktop to show
    void Beep() override {}
    void Yield() override;

private:
    void drawBar();
    void endBarLine();
    void print(const QString& text);

    Options m_opt;
    std::FILE* m_in;
    std::FILE* m_err;
    bool m_terminal;
    QString m_caption;
    int m_min = 0;
    int m_max = 100;
    int m_value = 0;
    bool m_barOpen = false;
};
