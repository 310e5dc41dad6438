#pragma once
#include "engine/job/JobInputs.h"
#include "engine/job/JobObserver.h"

#include <QList>

class FileListController;
class OcrMenu;
class QAction;
class PageMenu;
class QAction;
class QtMessageSink;
class QToolButton;

namespace Ui {
class frmPrinting;
}

// The conversion job in the window: it reads the list and the fields at the
// moment of use, and decides what the job's news means here: lblPB and pb
// follow the progress, Command3 and the toolbar are disabled and the list
// locked while it runs, messages and the overwrite question are message
// boxes, and a finished document opens its folder, beeps and sweeps the
// focus over the toolbar.
class WindowJobIo : public JobInputs, public JobObserver {
public:
    WindowJobIo(Ui::frmPrinting& ui, const QList<QToolButton*>& toolbar, FileListController& fileList,
                QtMessageSink& sink);

    // The page layout comes from the Page menu, as it stands at each read.
    void SetPageMenu(const PageMenu* menu) { m_pageMenu = menu; }
    // Searchable pages: the languages while the menu's item is checked.
    void SetOcrMenu(const OcrMenu* menu) { m_ocrMenu = menu; }
    // "Stop Converting": live only while a job runs.
    void SetStopItem(QAction* stop) { m_stop = stop; }
    // A PDF/A document while this checkable item is checked.
    void SetArchiveItem(const QAction* item) { m_archive = item; }

    // JobInputs
    int EntryCount() const override;
    QString Entry(int i) const override;
    JobSettings Settings() const override;
    void SetOutputFolder(const QString& folder) override;

    // JobObserver
    void Started() override;
    void Progress(const QString& caption, int percent) override;
    // The entry being made is marked and scrolled into view; the user's
    // selection stays as it was.
    void Making(int i) override;
    // Selected and scrolled into view, so Remove takes it away at once.
    void PictureFailed(int i) override;
    void Tell(const QString& title, const QString& text, MessageIcon icon) override;
    bool ConfirmOverwrite(const QString& target) override;
    bool GoOnDespite(const QString& warning) override;
    void Finished(JobOutcome outcome, const QString& document) override;

private:
    void setButtonsEnabled(bool convert, bool toolbar);
    // The menu items that change the list wait while a job runs; Stop is
    // live only then.
    void setJobMenus(bool running);

    Ui::frmPrinting& m_ui;
    QList<QToolButton*> m_toolbar;
    FileListController& m_fileList;
    QtMessageSink& m_sink;
    const PageMenu* m_pageMenu = nullptr;
    const OcrMenu* m_ocrMenu = nullptr;
    QAction* m_stop = nullptr;
    int m_making = -1;
    const QAction* m_archive = nullptr;
};
