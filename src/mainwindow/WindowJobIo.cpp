#include "mainwindow/WindowJobIo.h"

#include "ui_frmPrinting.h"

#include "filelist/FileListController.h"
#include "platform/EventPump.h"

#include <QApplication>
#include <QDesktopServices>
#include <QUrl>

WindowJobIo::WindowJobIo(Ui::frmPrinting& ui, const QList<QToolButton*>& toolbar, FileListController& fileList,
                         MessageSink& sink)
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

QString WindowJobIo::Title() const { return m_ui.txtTitle->text(); }
QString WindowJobIo::Author() const { return m_ui.txtCreateFor->text(); }
QString WindowJobIo::Subject() const { return m_ui.txtSubject->text(); }
QString WindowJobIo::Keywords() const { return m_ui.txtKeywords->text(); }
QString WindowJobIo::CreationDate() const { return m_ui.txtCreationDate->text(); }
QString WindowJobIo::OutputFolder() const { return m_ui.txtPath->text(); }
void WindowJobIo::SetOutputFolder(const QString& folder) { m_ui.txtPath->setText(folder); }
int WindowJobIo::Quality() const { return m_ui.Slider1->value(); }

void WindowJobIo::showMessage(const QString& title, const QString& text, MessageIcon icon)
{
    m_sink.showMessage(title, text, icon);
}

bool WindowJobIo::askOkCancel(const QString& title, const QString& text)
{
    return m_sink.askOkCancel(title, text);
}

void WindowJobIo::SetCaption(const QString& caption) { m_ui.lblPB->setText(caption); }
void WindowJobIo::SetBarRange(int minimum, int maximum) { m_ui.pb->setRange(minimum, maximum); }
void WindowJobIo::SetBarValue(int value) { m_ui.pb->setValue(value); }
void WindowJobIo::SetConvertEnabled(bool enabled) { m_ui.Command3->setEnabled(enabled); }

void WindowJobIo::SetToolbarEnabled(bool enabled)
{
    for (QToolButton* b : std::as_const(m_toolbar))
        b->setEnabled(enabled);
}

void WindowJobIo::FocusSweep() { m_fileList.FocusSweep(); }
void WindowJobIo::SetJobRunning(bool running) { m_fileList.SetLocked(running); }

void WindowJobIo::OpenFolder(const QString& folder)
{
    QDesktopServices::openUrl(QUrl::fromLocalFile(folder));
}

void WindowJobIo::Beep() { QApplication::beep(); }
void WindowJobIo::Yield() { YieldEvents(); }
