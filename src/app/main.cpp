#include "mainwindow/frmPrinting.h"

#include <QApplication>
#include <QDir>
#include <QFileInfo>
#include <QIcon>

#include <malloc.h>

namespace {

// The README as installed beside the program; in a build tree, the one of
// the source tree it was built from.
QString documentationFile()
{
    const QString installed =
        QDir(QCoreApplication::applicationDirPath()).filePath(QStringLiteral(VELUNOR_DOC_FROM_BIN "/README.md"));
    if (QFileInfo::exists(installed))
        return QDir::cleanPath(installed);
    const QString source = QStringLiteral(VELUNOR_SOURCE_README);
    if (QFileInfo::exists(source))
        return source;
    return QDir::cleanPath(installed);
}

} // namespace

int main(int argc, char** argv)
{
    // Page pictures are megabytes each; a fixed mmap threshold hands their
    // buffers back after every page, so memory stays flat over long jobs.
    mallopt(M_MMAP_THRESHOLD, 1 << 20);
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Velunor"));
    QApplication::setApplicationVersion(QStringLiteral(VELUNOR_VERSION));
    QApplication::setDesktopFileName(QStringLiteral("velunor"));

    frmPrinting window;
    QApplication::setWindowIcon(window.windowIcon());
    window.setDocumentationFile(documentationFile());
    window.Form_Load();
    window.show();
    return app.exec();
}
