#pragma once
#include "RecordingMessageSink.h"
#include "filelist/FileListController.h"
#include "platform/widgets/CCommonDialogs.h"

#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QSignalSpy>
#include <QStringList>
#include <QWidget>
#include <gtest/gtest.h>
#include <memory>

class QFileDialog;
class QLineEdit;

// `modal` as the open dialog, with its file name box in *fileName; when it is
// something else, a failure is recorded, the modal closed and null returned.
QFileDialog* asOpenDialog(QWidget* modal, QLineEdit** fileName);
// What a user does in the open dialog: go to `folder`, type `name`, press Open.
void openByName(QFileDialog* fd, QLineEdit* fileName, const QString& folder, const QString& name);

// A small window holding the widgets the file list works on, laid out like
// the main window's list area, with a real controller over them.
class FileListWindow : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    QStringList entries() const;
    void setEntries(const QStringList& paths);
    // A real mouse click on the entry at `row`.
    void clickRow(int row);
    // A real mouse click on toolbar button `index`.
    void clickTool(int index);
    int selectedRow() const;
    // The one message the last add ended in (after its header check),
    // waited for.
    QString toldAfterAdd();

    std::unique_ptr<QWidget> window;
    QListWidget* List1 = nullptr;
    QListWidget* List2 = nullptr;
    QLabel* picDoor = nullptr;
    QWidget* picText = nullptr;
    QLabel* lblText = nullptr;
    QLabel* lblPageNum = nullptr;
    QList<QPushButton*> tools;
    RecordingMessageSink sink;
    CCommonDialogs dialogs;
    FileListController* controller = nullptr;
    std::unique_ptr<QSignalSpy> found; // the add checks' Found()
};
