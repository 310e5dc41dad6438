#include "cli/ConsoleJobIo.h"

#include "cli/TerminalText.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>

#include <unistd.h>

namespace {
constexpr int kBarWidth = 30;
}

ConsoleJobIo::ConsoleJobIo(const Options& options, std::FILE* in, std::FILE* err)
    : m_opt(options), m_in(in), m_err(err), m_terminal(isatty(fileno(err)) == 1)
{
}

ConsoleJobIo::~ConsoleJobIo()
{
    endBarLine();
}

int ConsoleJobIo::EntryCount() const
{
    return int(m_opt.pictures.size());
}

QString ConsoleJobIo::Entry(int i) const
{
    return i >= 0 && i < m_opt.pictures.size() ? m_opt.pictures.at(i) : QString();
}

void ConsoleJobIo::print(const QString& text)
{
    std::fputs(text.toLocal8Bit().constData(), m_err);
    std::fflush(m_err);
}

void ConsoleJobIo::endBarLine()
{
    if (m_barOpen) {
        print(QStringLiteral("\n"));
        m_barOpen = false;
    }
}

void ConsoleJobIo::drawBar()
{
    const int filled = qBound(0, m_percent * kBarWidth / 100, kBarWidth);
    // Carriage return and erase-to-end redraw the one line in place.
    print(QStringLiteral("\r\x1b[K[") + QString(filled, QLatin1Char('#'))
          + QString(kBarWidth - filled, QLatin1Char('.')) + QStringLiteral("] ") + m_caption);
    m_barOpen = true;
}

void ConsoleJobIo::Progress(const QString& caption, int percent)
{
    if (percent >= 0)
        m_percent = percent;
    if (caption == m_caption) {
        if (m_terminal && m_barOpen)
            drawBar();
        return;
    }
    m_caption = caption;
    if (m_terminal) {
        if (caption.isEmpty())
            endBarLine();
        else
            drawBar();
        if (caption == QLatin1String("Done."))
            endBarLine();
    } else if (!caption.isEmpty()) {
        print(caption + QLatin1Char('\n'));
    }
}

void ConsoleJobIo::Tell(const QString&, const QString& text, MessageIcon)
{
    endBarLine();
    // One prefix, the program's own name, as command-line tools write; the
    // window's box titles ("Velunor", "PDF") would read as a second one.
    print(QCoreApplication::applicationName() + QStringLiteral(": ") + TerminalText::For(m_err, text) + QLatin1Char('\n'));
}

bool ConsoleJobIo::GoOnDespite(const QString& warning)
{
    // A script asked for these pages: it is told, and they are made.
    endBarLine();
    print(QCoreApplication::applicationName() + QStringLiteral(": warning: ") + TerminalText::For(m_err, warning) +
          QLatin1Char('\n'));
    return true;
}

void ConsoleJobIo::showMessage(const QString& title, const QString& text, MessageIcon icon)
{
    Tell(title, text, icon);
}

bool ConsoleJobIo::ConfirmOverwrite(const QString& target)
{
    return ask(OverwriteTitle() + QStringLiteral(": ") + OverwriteText() + QStringLiteral(" (")
               + TerminalText::For(m_err, QDir::cleanPath(QFileInfo(target).absoluteFilePath())) + QLatin1Char(')'));
}

bool ConsoleJobIo::askOkCancel(const QString& title, const QString& text)
{
    return ask(title + QStringLiteral(": ") + text);
}

bool ConsoleJobIo::ask(const QString& question)
{
    if (m_opt.yes)
        return true;
    endBarLine();
    if (!m_in || isatty(fileno(m_in)) != 1 || !m_terminal) {
        print(question + QLatin1Char('\n') + QCoreApplication::applicationName()
              + QStringLiteral(": not replaced: there is no terminal to ask; use --yes to replace it.\n"));
        return false;
    }
    print(question + QStringLiteral(" [y/N] "));
    char answer[64] = {};
    if (!std::fgets(answer, sizeof answer, m_in))
        return false;
    const QString a = QString::fromLocal8Bit(answer).trimmed().toLower();
    return a == QLatin1String("y") || a == QLatin1String("yes");
}
