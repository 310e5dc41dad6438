#pragma once
#include <QByteArray>
#include <QString>
#include <QStringList>
#include <functional>

class QWidget;

namespace testsupport {

// Output of an outside program (pdfinfo, qpdf, pdftoppm...), run without a shell.
struct ProcessResult {
    int exitCode = -1;
    QString out;
    QString err;
};
ProcessResult runProgram(const QString& program, const QStringList& args, int timeoutMs = 120000);

// Starts program, without arguments, with this process's environment plus
// extraEnv ("NAME=value"; none when empty). Its process id, or 0 when it
// could not start. The caller ends and reaps it.
int spawnWithEnv(const QString& program, const QByteArray& extraEnv = {});

// Whole-file reads and writes for fixtures; empty / false on any failure.
QByteArray readAll(const QString& path);
bool writeFile(const QString& path, const QByteArray& bytes);

// Number of pages of a PDF as pdfinfo reports it; -1 when pdfinfo fails.
int pdfPageCount(const QString& pdf);
// One field of pdfinfo's report ("Title", "Author", ...), trimmed.
QString pdfInfoField(const QString& pdf, const QString& field);

// Writes a w x h picture with FreeImage in the given format (FREE_IMAGE_FORMAT
// number); bpp 8 gives a grey ramp, 24 colour, 32 colour with alpha.
bool writeTestPicture(const QString& path, int format, int w, int h, int bpp = 24);

// Calls `answer` on the next modal widget that opens (message box or dialog),
// from the event loop, without sleeping. Use before the call that opens it.
void whenModalOpens(std::function<void(QWidget*)> answer);

// Presses the button of a QMessageBox/QDialogButtonBox with the given text or
// standard role ("OK", "Cancel"...).
bool pressButton(QWidget* modal, const QString& text);

} // namespace testsupport
