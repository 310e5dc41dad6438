#include "platform/widgets/FolderChooser.h"

#include <QDir>
#include <QFileDialog>

bool ChooseFolder(QWidget* owner, const QString& prompt, QString* path)
{
    QFileDialog dialog(owner, prompt);
    dialog.setObjectName("folderChooser");
    dialog.setFileMode(QFileDialog::Directory);
    dialog.setOption(QFileDialog::ShowDirsOnly, true);
    dialog.setOption(QFileDialog::DontUseNativeDialog, true);
    if (!prompt.isEmpty())
        dialog.setLabelText(QFileDialog::LookIn, prompt);
    dialog.setDirectory(QDir::homePath());
    if (dialog.exec() != QDialog::Accepted)
        return false;
    const QStringList chosen = dialog.selectedFiles();
    if (chosen.isEmpty())
        return false;
    QString p = QDir::cleanPath(chosen.first());
    if (path)
        *path = p;
    return true;
}
