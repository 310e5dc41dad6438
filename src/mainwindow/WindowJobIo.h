#pragma once
#include "engine/JobInputs.h"
#include "engine/JobOutputs.h"

#include <QList>

class FileListController;
class QToolButton;

namespace Ui {
class frmPrinting;
}

// The conversion job's inputs and outputs in the window: it reads the list
// and the fields at the moment of use, and reports on lblPB, pb, Command3,
// the toolbar, message boxes, the desktop and the speaker.
class WindowJobIo : public JobInputs, public JobOutputs {
public:
    WindowJobIo(Ui::frmPrinting& ui, const QList<QToolButton*>& toolbar, FileListController& fileList,
                MessageSink& sink);

    // JobInputs
    int EntryCount() const override;
    QString Entry(int i) const override;
    QString Title() const override;
    QString Author() const override;
    QString Subject() const override;
    QString Keywords() const override;
    QString CreationDate() const override;
    QString OutputFolder() const override;
    void SetOutputFolder(const QString& folder) override;
    int Quality() const override;

    // MessageSink
    void showMessage(const QString& title, const QString& text, MessageIcon icon) override;
    bool askOkCancel(const QString& title, const QString& text) override;

    // JobOutputs
    void SetCaption(const QString& caption) override;
    void SetBarRange(int minimum, int maximum) override;
    void SetBarValue(int value) override;
    void SetConvertEnabled(bool enabled) override;
    void SetToolbarEnabled(bool enabled) override;
    void FocusSweep() override;
    void SetJobRunning(bool running) override;
    void OpenFolder(const QString& folder) override;
    void Beep() override;
    void Yield() override;

private:
    Ui::frmPrinting& m_ui;
    QList<QToolButton*> m_toolbar;
    FileListController& m_fileList;
    MessageSink& m_sink;
};
