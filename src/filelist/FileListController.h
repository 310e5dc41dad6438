#pragma once
#include <QList>
#include <QObject>
#include <QString>

class QAbstractButton;
class QLabel;
class QListWidget;
class QWidget;
class CCommonDialogs;
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

signals:
    // Exit (index 5): the window closes itself.
    void exitRequested();
};
