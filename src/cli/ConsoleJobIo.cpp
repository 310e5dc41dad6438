#include "cli/ConsoleJobIo.h"

#include "platform/EventPump.h"

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
    const int span = m_max > m_min ? m_max - m_min : 1;
    int filled = (m_value - m_min) * kBarWidth / span;
    filled = filled < 0 ? 0 : (filled > kBarWidth ? kBarWidth : filled);
    // Carriage return and erase-to-end redraw the one line in place.
    print(QStringLiteral("\r\x1b[K[") + QString(filled, QLatin1Char('#'))
          + QString(kBarWidth - filled, QLatin1Char('.')) + QStringLiteral("] ") + m_caption);
    m_barOpen = true;
}

void ConsoleJobIo::SetCaption(const QString& caption)
{
    if (caption == m_caption)
        return;
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

void ConsoleJobIo::SetBarRange(int minimum, int maximum)
{
    m_min = minimum;
    m_max = maximum;
}

void ConsoleJobIo::SetBarValue(int value)
{
    m_value = value;
    if (m_terminal && m_barOpen)
        drawBar();
}

void ConsoleJobIo::Yield()
{
    YieldEvents();
}

void ConsoleJobIo::showMessage(const QString& title, const QString& text, MessageIcon)
{
    endBarLine();
    print(title + QStringLiteral(": ") + text + QLatin1Char('\n'));
}

bool ConsoleJobIo::askOkCancel(const QString& title, const QString& text)
{
    if (m_opt.yes)
        return true;
    endBarLine();
    const QString target =
        QDir::cleanPath(QFileInfo(m_opt.outputFolder + QLatin1Char('/') + m_opt.title + QStringLiteral(".pdf")).absoluteFilePath());
    if (!m_in || isatty(fileno(m_in)) != 1 || !m_terminal) {
        print(title + QStringLiteral(": ") + text + QStringLiteral(" (") + target
              + QStringLiteral(")\nNot replaced: there is no terminal to ask; use --yes to replace it.\n"));
        return false;
    }
    print(title + QStringLiteral(": ") + text + QStringLiteral(" (") + target + QStringLiteral(") [y/N] "));
    char answer[64] = {};
    if (!std::fgets(answer, sizeof answer, m_in))
        return false;
    const QString a = QString::fromLocal8Bit(answer).trimmed().toLower();
    return a == QLatin1String("y") || a == QLatin1String("yes");
}
