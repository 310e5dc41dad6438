#include "engine/job/OcrProcess.h"

#include "platform/AppPaths.h"

#include <QFile>
#include <QImageReader>

#include <climits>

#include <sys/wait.h>

namespace {

// velunor-ocr's exits besides 0 (it read the page).
enum HelperExit { Refused = 1, OutOfMemory = 3 };

} // namespace

OcrProcess::Options OcrProcess::Defaults()
{
    Options o;
    o.program = AppPaths::HelperProgram(QStringLiteral("velunor-ocr"));
    return o;
}

OcrProcess::OcrProcess(YieldFunction yield, Options options)
    : m_yield(std::move(yield)), m_options(std::move(options)),
      m_child({m_options.program, QStringLiteral("the text reader"), m_options.memoryLimit, Refused, OutOfMemory, QString()})
{
}

qint64 OcrProcess::TimeLimitMs(qint64 pixels, int perTenMegapixels)
{
    return qMax<qint64>(perTenMegapixels, qint64(double(perTenMegapixels) * double(pixels) / 1e7));
}

bool OcrProcess::Start(const QString& bitmap, const QString& languages, const QString& dataFolder,
                       const QString& textBase, QString* error)
{
    const QSize size = QImageReader(bitmap).size();
    m_limitMs = TimeLimitMs(qint64(qMax(0, size.width())) * qMax(0, size.height()), m_options.timeLimitMs);
    return m_child.Start({"--data", QFile::encodeName(dataFolder), "--languages", languages.toUtf8(),
                          QFile::encodeName(bitmap), QFile::encodeName(textBase)},
                         -1, {}, error);
}

bool OcrProcess::Wait(QString* error)
{
    if (!m_child.Running()) {
        *error = QStringLiteral("the text reader was not started");
        return false;
    }
    int status = 0;
    const HelperChild::End how = m_child.Wait(int(qMin<qint64>(m_limitMs, INT_MAX)), m_yield, &status);
    if (how == HelperChild::End::TimedOut) {
        *error = QStringLiteral("the text reader did not finish within %1 seconds").arg(double(m_limitMs) / 1000.0);
        return false;
    }
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0)
        return true;
    // Its last line is its reason; Tesseract's notes come before it.
    *error = m_child.EndReason(status, QString::fromUtf8(m_child.Said()).trimmed().section(QLatin1Char('\n'), -1));
    return false;
}
