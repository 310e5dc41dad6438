#pragma once
#include "engine/job/FolderWalk.h"

#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>

class QAbstractButton;
class QLabel;
class QListWidget;
class QWidget;
class AddCheck;
class CCommonDialogs;
class DropIntake;
class MessageSink;

// The widgets of the main window that the file list commands work on.
struct FileListWidgets {
    QWidget* window = nullptr;
    QListWidget* List1 = nullptr;
    QListWidget* List2 = nullptr; // hidden sort buffer
    QWidget* picDoor = nullptr;
    QWidget* picText = nullptr;
    QLabel* lblText = nullptr;
    QLabel* lblPageNum = nullptr;
    QList<QAbstractButton*> CmdToolsBar; // by index 0..6
};

// The toolbar/menu commands of the file list, the folder search and the drop
// intake, as handlers the main window forwards to.
class FileListController : public QObject {
    Q_OBJECT
public:
    FileListController(const FileListWidgets& widgets, CCommonDialogs& dialogs, MessageSink& sink,
                       QObject* parent = nullptr);

    static constexpr int MaxEntries = 32767;

    void CmdToolsBar_Click(int Index);
    void menuSort_Click();
    void List1_Click();
    void AddFolder();
    // Toolbar buttons take the focus in index order, ending on Move Up (6).
    void FocusSweep();
    // While a conversion runs the list does not change.
    void SetLocked(bool locked);
    bool IsLocked() const;

    // False while locked or while a Sort is rebuilding the list: the commands
    // that change the list and the drop targets then do nothing.
    bool AcceptsChanges() const;

    // Appends paths at the end of the list, selection unchanged, as long as
    // it holds fewer than MaxEntries; the first path that does not fit ends
    // the appending and is reported once, in a "Velunor" message. Returns how
    // many were appended. A drop reports after the drop has finished
    // (Queued), so the dragging program is not left waiting on a message box.
    enum class Report { Now, Queued };
    int AppendPaths(const QStringList& paths, Report report = Report::Now);
    // Selects entry `row` and scrolls it into view, as a click would (the
    // page number follows).
    void SelectEntry(int row);
    // Hides the drop hint when the list holds entries.
    void HideHintIfListed();

    // The drop filter on List1, picText and picDoor (made by the constructor).
    DropIntake* drops() const { return m_drops; }
    // The header check of what Add, Add Folder and drops append; its
    // Found() tells which will not make a page, and which entries could
    // not be read and so were not added.
    AddCheck* addCheck() const { return m_check; }

    // Texts the commands use.
    static const QString OpenFilter;
    static const QString OpenTitle;     // "Open Files"
    static const QString FolderPrompt;  // "Please select a folder:"
    static const QString SearchingText; // "Searching Files..."
    static const QString PageNumberText; // "Page Number of Selected File: "

signals:
    // Exit (index 5): the window closes itself.
    void exitRequested();

private:
    int selectedRow() const;
    void selectRow(int row);
    void moveSelected(int step);
    void addFile();
    // Appends one path; false (with one message per *told) when full.
    bool appendOne(const QString& path, bool* told, Report report = Report::Now);
    bool listIsFull() const;
    void tellListFull(bool* told, Report report);
    void tell(const QString& text, Report report);
    void finishSortNow();

    FileListWidgets m_w;
    CCommonDialogs& m_dialogs;
    MessageSink& m_sink;
    DropIntake* m_drops = nullptr;
    AddCheck* m_check = nullptr;
    bool m_locked = false;
    bool m_sorting = false;
    // During a Sort's rebuild: the List2 position appended next, else -1.
    int m_sortNext = -1;
    int m_searchDepth = 0;
    QString m_hintCaption;
    // Selection changes made by the commands themselves do not count as clicks.
    int m_quiet = 0;
};
