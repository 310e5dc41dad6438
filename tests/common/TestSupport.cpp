#include "TestSupport.h"

#include <FreeImage.h>
#include <QAbstractButton>
#include <QApplication>
#include <QDialogButtonBox>
#include <QFile>
#include <QMessageBox>
#include <QProcess>
#include <QRegularExpression>
#include <QTimer>
#include <QWidget>

#include <spawn.h>
#include <vector>

extern char** environ;

namespace testsupport {

int spawnWithEnv(const QString& program, const QByteArray& extraEnv)
{
    const QByteArray p = QFile::encodeName(program);
    char* argv[] = {const_cast<char*>(p.constData()), nullptr};
    std::vector<char*> envp;
    for (char** e = environ; *e; ++e)
        envp.push_back(*e);
    if (!extraEnv.isEmpty())
        envp.push_back(const_cast<char*>(extraEnv.constData()));
    envp.push_back(nullptr);
    pid_t pid = 0;
    return posix_spawn(&pid, argv[0], nullptr, nullptr, argv, envp.data()) == 0 ? int(pid) : 0;
}

ProcessResult runProgram(const QString& program, const QStringList& args, int timeoutMs)
{
    QProcess p;
    p.start(program, args);
    ProcessResult r;
    if (!p.waitForStarted(timeoutMs))
        return r;
    p.waitForFinished(timeoutMs);
    r.exitCode = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    r.out = QString::fromUtf8(p.readAllStandardOutput());
    r.err = QString::fromUtf8(p.readAllStandardError());
    return r;
}

QByteArray readAll(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

bool writeFile(const QString& path, const QByteArray& bytes)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(bytes) == bytes.size();
}

QString pdfInfoField(const QString& pdf, const QString& field)
{
    auto r = runProgram("pdfinfo", {"-enc", "UTF-8", pdf});
    if (r.exitCode != 0)
        return {};
    for (const QString& line : r.out.split('\n')) {
        if (line.startsWith(field + ":"))
            return line.mid(field.size() + 1).trimmed();
    }
    return {};
}

int pdfPageCount(const QString& pdf)
{
    auto r = runProgram("pdfinfo", {pdf});
    if (r.exitCode != 0)
        return -1;
    auto m = QRegularExpression("^Pages:\\s+(\\d+)", QRegularExpression::MultilineOption).match(r.out);
    return m.hasMatch() ? m.captured(1).toInt() : -1;
}

bool writeTestPicture(const QString& path, int format, int w, int h, int bpp)
{
    FIBITMAP* bmp = FreeImage_Allocate(w, h, bpp);
    if (!bmp)
        return false;
    if (bpp == 8) {
        RGBQUAD* pal = FreeImage_GetPalette(bmp);
        for (int i = 0; i < 256; ++i)
            pal[i].rgbRed = pal[i].rgbGreen = pal[i].rgbBlue = BYTE(i);
    }
    const int bytes = bpp / 8;
    for (int y = 0; y < h; ++y) {
        BYTE* line = FreeImage_GetScanLine(bmp, y);
        for (int x = 0; x < w; ++x) {
            BYTE* p = line + x * bytes;
            if (bpp == 8) {
                p[0] = BYTE((x * 255) / std::max(1, w - 1));
            } else {
                p[FI_RGBA_RED] = BYTE((x * 255) / std::max(1, w - 1));
                p[FI_RGBA_GREEN] = BYTE((y * 255) / std::max(1, h - 1));
                p[FI_RGBA_BLUE] = BYTE(((x + y) * 127) / std::max(1, w + h - 2));
                if (bpp == 32)
                    p[FI_RGBA_ALPHA] = BYTE(x < w / 2 ? 255 : 0);
            }
        }
    }
    const QByteArray p8 = path.toUtf8();
    const BOOL ok = FreeImage_Save(FREE_IMAGE_FORMAT(format), bmp, p8.constData(), 0);
    FreeImage_Unload(bmp);
    return ok;
}

void whenModalOpens(std::function<void(QWidget*)> answer)
{
    // Polls from the event loop (zero-time timer), so nothing sleeps.
    auto* timer = new QTimer(qApp);
    timer->setInterval(0);
    QObject::connect(timer, &QTimer::timeout, timer, [timer, answer]() {
        QWidget* modal = QApplication::activeModalWidget();
        if (!modal)
            return;
        timer->stop();
        timer->deleteLater();
        answer(modal);
    });
    timer->start();
}

bool pressButton(QWidget* modal, const QString& text)
{
    if (auto* box = qobject_cast<QMessageBox*>(modal)) {
        for (QAbstractButton* b : box->buttons()) {
            if (b->text().remove('&').compare(text, Qt::CaseInsensitive) == 0) {
                b->click();
                return true;
            }
        }
    }
    for (auto* bb : modal->findChildren<QDialogButtonBox*>()) {
        for (QAbstractButton* b : bb->buttons()) {
            if (b->text().remove('&').compare(text, Qt::CaseInsensitive) == 0) {
                b->click();
                return true;
            }
        }
    }
    for (auto* b : modal->findChildren<QAbstractButton*>()) {
        if (b->text().remove('&').compare(text, Qt::CaseInsensitive) == 0) {
            b->click();
            return true;
        }
    }
    return false;
}

} // namespace testsupport
