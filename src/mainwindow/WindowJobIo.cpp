#include "mainwindow/WindowJobIo.h"

#include "ui_frmPrinting.h"

#include "filelist/FileListController.h"
#include "mainwindow/OcrMenu.h"
#include "mainwindow/PageMenu.h"
#include "platform/ProgramName.h"
#include "platform/widgets/QtMessageSink.h"

#include <QAction>
#include <QApplication>
#include <QDesktopServices>
#include <QFileInfo>
#include <QMessageBox>
#include <QUrl>

WindowJobIo::WindowJobIo(Ui::frmPrinting& ui, const QList<QToolButton*>& toolbar, FileListController& fileList,
                         QtMessageSink& sink)
    : m_ui(ui), m_toolbar(toolbar), m_fileList(fileList), m_sink(sink)
{
}

int WindowJobIo::EntryCount() const
{
    return m_ui.List1->count();
}

QString WindowJobIo::Entry(int i) const
{
    const QListWidgetItem* item = m_ui.List1->item(i);
    return item ? item->text() : QString();
}

JobSettings WindowJobIo::Settings() const
{
    JobSettings s;
    s.title = m_ui.txtTitle->text();
    s.author = m_ui.txtCreateFor->text();
    s.subject = m_ui.txtSubject->text();
    s.keywords = m_ui.txtKeywords->text();
    s.creationDate = m_ui.txtCreationDate->text();
    s.outputFolder = m_ui.txtPath->text();
    s.quality = m_ui.Slider1->value();
    if (m_pageMenu)
        s.page = m_pageMenu->Layout();
    if (m_ocrMenu)
        s.ocrLanguages = m_ocrMenu->JobLanguages();
    s.pdfa = m_archive && m_archive->isChecked();
    return s;
}

void WindowJobIo::SetOutputFolder(const QString& folder) { m_ui.txtPath->setText(folder); }

void WindowJobIo::setButtonsEnabled(bool convert, bool toolbar)
{
    m_ui.Command3->setEnabled(convert);
    for (QToolButton* b : std::as_const(m_toolbar))
        b->setEnabled(toolbar);
}

void WindowJobIo::setJobMenus(bool running)
{
    for (QAction* item : {m_ui.menuAdd, m_ui.menuFolder, m_ui.menuRemove, m_ui.menuRemoveAll, m_ui.menuUp,
                          m_ui.menuDown, m_ui.menuSort})
        item->setEnabled(!running);
    if (m_stop)
        m_stop->setEnabled(running);
}

void WindowJobIo::Started()
{
    // Command3 and the toolbar wait, and so do the list's menu items; the
    // fields and the slider stay live, and the list and drops hold still.
    setButtonsEnabled(false, false);
    setJobMenus(true);
    m_fileList.SetLocked(true);
}

void WindowJobIo::Progress(const QString& caption, int percent)
{
    if (percent >= 0)
        m_ui.pb->setValue(percent);
    m_ui.lblPB->setText(caption);
}

void WindowJobIo::Making(int i)
{
    if (QListWidgetItem* was = m_ui.List1->item(m_making)) {
        was->setData(Qt::BackgroundRole, QVariant());
        was->setData(Qt::FontRole, QVariant());
    }
    m_making = i;
    QListWidgetItem* now = m_ui.List1->item(i);
    if (!now)
        return;
    // A mark of its own, not the selection, which is the user's.
    QColor shade = m_ui.List1->palette().color(QPalette::Highlight);
    shade.setAlpha(70);
    now->setBackground(shade);
    QFont bold = m_ui.List1->font();
    bold.setBold(true);
    now->setFont(bold);
    m_ui.List1->scrollToItem(now);
}

void WindowJobIo::PictureFailed(int i)
{
    m_fileList.SelectEntry(i);
}

void WindowJobIo::Tell(const QString& title, const QString& text, MessageIcon icon)
{
    m_sink.showMessage(title, text, icon);
}

bool WindowJobIo::ConfirmOverwrite(const QString&)
{
    return m_sink.askOkCancel(OverwriteTitle(), OverwriteText());
}

bool WindowJobIo::GoOnDespite(const QString& warning)
{
    QMessageBox box(m_ui.centralwidget->window());
    box.setObjectName(QStringLiteral("smallPagesBox"));
    box.setWindowTitle(ProgramName);
    box.setIcon(QMessageBox::Warning);
    box.setText(warning + QStringLiteral(" Convert anyway?"));
    box.setStandardButtons(QMessageBox::Yes | QMessageBox::No);
    box.setDefaultButton(QMessageBox::No);
    return box.exec() == QMessageBox::Yes;
}

void WindowJobIo::Finished(JobOutcome outcome, const QString& document)
{
    switch (outcome) {
    case JobOutcome::Busy:
        return;
    case JobOutcome::EmptyList:
        // Nothing was disabled; the focus goes back to the toolbar.
        m_fileList.FocusSweep();
        return;
    case JobOutcome::BadTitle:
    case JobOutcome::Cancelled:
    case JobOutcome::Failed:
    case JobOutcome::Stopped:
        setButtonsEnabled(true, true);
        setJobMenus(false);
        m_fileList.SetLocked(false);
        return;
    case JobOutcome::Done:
        setJobMenus(false);
        m_ui.Command3->setEnabled(true);
        m_fileList.SetLocked(false);
        // The folder the document was written to, not the document.
        QDesktopServices::openUrl(QUrl::fromLocalFile(QFileInfo(document).path()));
        QApplication::beep();
        // The toolbar last, so the focus sweep ends on Move Up.
        setButtonsEnabled(true, true);
        m_fileList.FocusSweep();
        return;
    }
}
