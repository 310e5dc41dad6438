#pragma once
#include "filelist/AddCheck.h"
#include "platform/widgets/CCommonDialogs.h"
#include "platform/widgets/QtMessageSink.h"

#include <QList>
#include <QStringList>
#include <QMainWindow>
#include <functional>
#include <memory>

class ConversionJob;
class DOSOutputs;
class QAction;
class FileListController;
class JobWorkArea;
class OcrMenu;
class PageMenu;
class QToolButton;
class ShowImage;
class WindowJobIo;

namespace Ui {
class frmPrinting;
}

// The program's one working window: its start-up, its handlers and its end.
// The conversion job reads and reports through WindowJobIo; the design's
// layout is put on by WindowLayout and CaptionFitter.
class frmPrinting : public QMainWindow {
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
    // Beside the design: Control, "Stop Converting" (Escape), live only
    // while a job runs.
    void menuStop_Click();

    // The toolbar control array, by index 0..6.
    const QList<QToolButton*>& CmdToolsBar() const { return m_toolbar; }
    FileListController* fileList() const { return m_fileList; }
    PageMenu* pageMenu() const { return m_pageMenu; }
    OcrMenu* ocrMenu() const { return m_ocrMenu; }

    // The about box's one line.
    static QString AboutText();
    // The documentation "Website" opens (the installed README).
    void setDocumentationFile(const QString& path) { m_documentation = path; }

    // What ends the program after the skin is off. By default: at once
    // (mid-job included) when a job runs, else by leaving the event loop.
    using ProgramEnder = std::function<void()>;
    void setProgramEnder(ProgramEnder ender) { m_ender = std::move(ender); }

    // The screen's twips per pixel for the layout rescaling; by default from
    // the screen's logical DPI. Set before Form_Load.
    void setTwipsPerPixel(double x, double y);

    // A running job holds the file list.
    bool jobRunning() const;

    // Called with each job before it runs (tests give it stand-in helpers).
    using JobSetup = std::function<void(ConversionJob&)>;
    void setJobSetup(JobSetup setup) { m_jobSetup = std::move(setup); }

protected:
    void closeEvent(QCloseEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void sweepWorkFolders();
    // The header check's news after an add: one box that does not hold the
    // window up; during a job it waits for the job's end.
    void tellAddProblems(const AddCheck::Problems& found);
    void showAddProblems();
    void endProgram();

    std::unique_ptr<Ui::frmPrinting> ui;
    QList<QToolButton*> m_toolbar;
    QtMessageSink m_sink;
    CCommonDialogs m_dialogs;
    DOSOutputs* m_dos = nullptr;
    FileListController* m_fileList = nullptr;
    ShowImage* m_prewImage = nullptr;
    PageMenu* m_pageMenu = nullptr;
    OcrMenu* m_ocrMenu = nullptr;
    std::unique_ptr<JobWorkArea> m_workArea;
    std::unique_ptr<WindowJobIo> m_jobIo;
    ProgramEnder m_ender;
    JobSetup m_jobSetup;
    ConversionJob* m_job = nullptr;
    QAction* m_menuStop = nullptr;
    AddCheck::Problems m_addProblems;
    QString m_documentation;
    double m_tppX = 0;
    double m_tppY = 0;
    bool m_loaded = false;
    bool m_unloading = false;
};
