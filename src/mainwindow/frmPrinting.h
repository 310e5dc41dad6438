#pragma once
#include "engine/JobInputs.h"
#include "engine/JobOutputs.h"
#include "platform/CCommonDialogs.h"
#include "platform/QtMessageSink.h"

#include <QList>
#include <QMainWindow>
#include <functional>
#include <memory>

class DOSOutputs;
class FileListController;
class JobWorkArea;
class QToolButton;
class ShowImage;

namespace Ui {
class frmPrinting;
}

// The program's one working window. It is also what the conversion job reads
// its inputs from and reports to.
class frmPrinting : public QMainWindow, public JobInputs, public JobOutputs {
    Q_OBJECT
public:
    explicit frmPrinting(QWidget* parent = nullptr);
    ~frmPrinting() override;

    // Start-up: runs once, before the window is first shown.
    void Form_Load();
    // The end of the program: every way of closing the window comes here.
    void Form_Unload();

    // Handlers.
    void Command1_Click();
    void cmdBrowse_Click();
    void Slider1_Change();
    void Slider1_Click();
    void Command3_Click();
    void CmdToolsBar_Click(int Index);
    void menuExit_Click();
    void menuWeb_Click();
    void menuAbout_Click();

    // The toolbar control array, by index 0..6.
    const QList<QToolButton*>& CmdToolsBar() const { return m_toolbar; }
    FileListController* fileList() const { return m_fileList; }
    CCommonDialogs& commonDialogs() { return m_dialogs; }
    DOSOutputs* dosOutputs() const { return m_dos; }
    ShowImage* prewImage() const { return m_prewImage; }

    // The about box's one line.
    static QString AboutText();
    // The documentation "Website" opens (the installed README).
    void setDocumentationFile(const QString& path) { m_documentation = path; }
    QString documentationFile() const { return m_documentation; }

    // What ends the program after the skin is off. By default: at once
    // (mid-job included) when a job runs, else by leaving the event loop.
    using ProgramEnder = std::function<void()>;
    void setProgramEnder(ProgramEnder ender) { m_ender = std::move(ender); }

    // The screen's twips per pixel for the layout rescaling; by default from
    // the screen's logical DPI. Set before Form_Load.
    void setTwipsPerPixel(double x, double y);

    // A running job holds the file list.
    bool jobRunning() const;

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

    // JobOutputs
    void showMessage(const QString& title, const QString& text, MessageIcon icon) override;
    bool askOkCancel(const QString& title, const QString& text) override;
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

    // Font of the controls: Tahoma when the system has it, else the
    // desktop's sans-serif.
    static QString ControlFontFamily();

    // The widest texts the changing labels show.
    static const QString WidestPageNumber;
    static const QString WidestPercent;
    static const QString WidestQualityWord;
    static const QString WidestProgressCaption;

protected:
    void closeEvent(QCloseEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void applyDesignFonts();
    // The controls the layout scaling and the caption fitting resize.
    QList<QWidget*> designControls() const;
    void rescaleLayout();
    void fitCaptions();
    void sweepWorkFolders();

    std::unique_ptr<Ui::frmPrinting> ui;
    QList<QToolButton*> m_toolbar;
    QtMessageSink m_sink;
    CCommonDialogs m_dialogs;
    DOSOutputs* m_dos = nullptr;
    FileListController* m_fileList = nullptr;
    ShowImage* m_prewImage = nullptr;
    std::unique_ptr<JobWorkArea> m_workArea;
    ProgramEnder m_ender;
    QString m_documentation;
    double m_tppX = 0;
    double m_tppY = 0;
    bool m_loaded = false;
    bool m_unloading = false;
};
