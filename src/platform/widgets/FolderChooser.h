#pragma once
#include <QString>

class QWidget;

// The shell's folder chooser: only folders can be confirmed. Returns false
// when the user cancels; otherwise *path holds the chosen folder.
// Uses Qt's own dialog (not the desktop's), so tests can answer it.
bool ChooseFolder(QWidget* owner, const QString& prompt, QString* path);
