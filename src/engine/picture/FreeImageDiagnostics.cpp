#include "engine/picture/FreeImageDiagnostics.h"

#include <FreeImage.h>
#include <QStringList>

#include <cstdarg>
#include <cstdio>
#include <dlfcn.h>
#include <mutex>

namespace {

thread_local QString t_messages;
thread_local bool t_said = false;

void append(const QString& text)
{
    const QString line = text.trimmed();
    if (!line.isEmpty())
        t_said = true;
    if (line.isEmpty() || t_messages.split('\n').contains(line))
        return;
    if (!t_messages.isEmpty())
        t_messages += '\n';
    t_messages += line;
}

void onFreeImageMessage(FREE_IMAGE_FORMAT, const char* message)
{
    append(QString::fromUtf8(message ? message : ""));
}

using TiffHandler = void (*)(const char*, const char*, va_list);
using TiffSetHandler = TiffHandler (*)(TiffHandler);

QString formatTiff(const char* module, const char* fmt, va_list ap)
{
    char text[512];
    std::vsnprintf(text, sizeof text, fmt, ap);
    QString line = QString::fromUtf8(text);
    if (module && *module)
        line = QString::fromUtf8(module) + ": " + line;
    return line;
}

void onTiffError(const char* module, const char* fmt, va_list ap)
{
    const QString line = formatTiff(module, fmt, ap);
    // FreeImage asks libtiff about EXIF tags that libtiff does not register
    // for the main directory; those "errors" are noise on ordinary files.
    if (line.contains("unknown tag"))
        return;
    append(line);
}

void onTiffWarning(const char*, const char*, va_list) {}

} // namespace

void FreeImageDiagnostics::Install()
{
    static std::once_flag once;
    std::call_once(once, [] {
        // On Linux the shared FreeImage initialises itself when loaded, so
        // only the message hook is ours to set.
        FreeImage_SetOutputMessage(onFreeImageMessage);
        // libtiff comes in through FreeImage and is no build dependency of
        // ours, so its handler setters are looked up in the loaded library.
        if (auto setError = reinterpret_cast<TiffSetHandler>(dlsym(RTLD_DEFAULT, "TIFFSetErrorHandler")))
            setError(onTiffError);
        if (auto setWarning = reinterpret_cast<TiffSetHandler>(dlsym(RTLD_DEFAULT, "TIFFSetWarningHandler")))
            setWarning(onTiffWarning);
    });
}

void FreeImageDiagnostics::Collect()
{
    Install();
    t_messages.clear();
    t_said = false;
}

bool FreeImageDiagnostics::Quiet() { return !t_said; }

QString FreeImageDiagnostics::Take()
{
    QString text;
    text.swap(t_messages);
    return text;
}

QString FreeImageDiagnostics::WithReason(const QString& sentence)
{
    const QString said = Take();
    return said.isEmpty() ? sentence : sentence + " (" + QString(said).replace('\n', "; ") + ")";
}
