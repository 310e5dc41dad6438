#include "mainwindow/frmPrinting.h"
#include "platform/MemoryTuning.h"
#include "platform/ProgramName.h"
#include "platform/SignalNotifier.h"

#include <QApplication>
#include <QDir>
#include <QIcon>

#include <csignal>

namespace {

// The README beside the program, as installed (the build tree has the same
// layout).
QString documentationFile()
{
    return QDir::cleanPath(
        QDir(QCoreApplication::applicationDirPath()).filePath(QStringLiteral(VELUNOR_DOC_FROM_BIN "/README.md")));
}

} // namespace

int main(int argc, char** argv)
{
    KeepPageMemoryFlat();
    QApplication app(argc, argv);
    QApplication::setApplicationName(ProgramName);
    QApplication::setApplicationVersion(QStringLiteral(VELUNOR_VERSION));
    QApplication::setDesktopFileName(QStringLiteral("velunor"));

    frmPrinting window;
    // A logout (SIGHUP) or a polite kill (SIGTERM) ends the program as File,
    // Exit does, also in the middle of a job.
    SignalNotifier stop({SIGTERM, SIGHUP});
    QObject::connect(&stop, &SignalNotifier::Arrived, &window, [&window] { window.menuExit_Click(); });
    QApplication::setWindowIcon(window.windowIcon());
    window.setDocumentationFile(documentationFile());
    window.Form_Load();
    window.show();
    return app.exec();
}
