#include "cli/TerminalText.h"

#include <unistd.h>

namespace {
bool shownEscaped(char16_t c)
{
    if (c == u'\n')
        return false;
    // C0, DEL and C1 controls (ESC and CSI start terminal sequences), and
    // the bidirectional embeddings, overrides and isolates, which reorder
    // what follows on the line.
    return c < 0x20 || (c >= 0x7f && c < 0xa0) || (c >= 0x202a && c <= 0x202e) || (c >= 0x2066 && c <= 0x2069);
}
} // namespace

bool TerminalText::IsTerminal(std::FILE* stream)
{
    return stream && isatty(fileno(stream)) == 1;
}

QString TerminalText::Escaped(const QString& text)
{
    QString out;
    out.reserve(text.size());
    for (const QChar ch : text) {
        const char16_t c = ch.unicode();
        if (!shownEscaped(c))
            out += ch;
        else
            out += (c < 0x100 ? QStringLiteral("\\x") : QStringLiteral("\\u"))
                + QString::number(unsigned(c), 16).toUpper().rightJustified(c < 0x100 ? 2 : 4, QLatin1Char('0'));
    }
    return out;
}

QString TerminalText::For(std::FILE* stream, const QString& text)
{
    return IsTerminal(stream) ? Escaped(text) : text;
}
