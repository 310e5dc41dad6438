#pragma once
#include <string>
#include <utility>
#include <vector>

// The document information file the job writes for the information step:
// lines "InfoKey: KEY" and "InfoValue: TEXT", each ended by CR LF (or LF),
// optionally grouped by "InfoBegin" lines; values are UTF-8 taken exactly as
// written (no quotes, no escapes, "&#233;" stays those six characters).
class InfoFile {
public:
    using Field = std::pair<std::string, std::string>; // key, value (UTF-8)

    // The fields in file order; false with *error (a sentence) when the text
    // is not such a file: empty, garbled (a line of another kind, a value
    // without its key, text that is not UTF-8 or holds a NUL, a key given
    // twice), or cut short (a key without its value, a last line without its
    // line end, one of the `required` keys missing).
    static bool Parse(const std::string& text, const std::vector<std::string>& required, std::vector<Field>* fields,
                      std::string* error);

    // The seven fields the job writes, in its order.
    static const std::vector<std::string>& JobKeys();

    static bool IsUtf8(const std::string& text);
};
