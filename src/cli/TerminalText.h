#pragma once
#include <QString>

#include <cstdio>

// What velunor-convert writes about names it was given. A file name may hold
// control characters; on a terminal an escape sequence in one would be
// obeyed (colours, a cleared screen, a retitled window, text that hides the
// message), so there they are shown escaped, "\x1B" for ESC. A pipe or file
// gets the bytes as they are: a script wants the real name.
class TerminalText {
public:
    static bool IsTerminal(std::FILE* stream);
    // `text` with control characters (other than the line break) and the
    // bidirectional overrides shown as \xHH or \uHHHH.
    static QString Escaped(const QString& text);
    // Escaped on a terminal, unchanged elsewhere.
    static QString For(std::FILE* stream, const QString& text);
};
