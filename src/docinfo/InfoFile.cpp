#include "docinfo/InfoFile.h"

#include <algorithm>

namespace {

const std::string kBegin = "InfoBegin";
const std::string kKey = "InfoKey: ";
const std::string kValue = "InfoValue: ";

bool startsWith(const std::string& s, const std::string& head)
{
    return s.compare(0, head.size(), head) == 0;
}

// A key becomes a PDF name: printable ASCII without blanks, delimiters or '#'.
bool validKey(const std::string& key)
{
    if (key.empty() || key.size() > 127)
        return false;
    return std::all_of(key.begin(), key.end(), [](char c) {
        return c > ' ' && c < 0x7F && std::string("()<>[]{}/%#").find(c) == std::string::npos;
    });
}

// The line as the message shows it: short, and control characters as '?'.
std::string shown(const std::string& line)
{
    std::string s = line.size() > 60 ? line.substr(0, 60) + "..." : line;
    for (char& c : s)
        if (static_cast<unsigned char>(c) < 0x20)
            c = '?';
    return s;
}

} // namespace

bool InfoFile::IsUtf8(const std::string& text)
{
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    const auto* end = p + text.size();
    while (p < end) {
        const unsigned c = *p++;
        if (c < 0x80)
            continue;
        int more = 0;
        unsigned min = 0, cp = 0;
        if ((c & 0xE0) == 0xC0) {
            more = 1, min = 0x80, cp = c & 0x1F;
        } else if ((c & 0xF0) == 0xE0) {
            more = 2, min = 0x800, cp = c & 0x0F;
        } else if ((c & 0xF8) == 0xF0) {
            more = 3, min = 0x10000, cp = c & 0x07;
        } else {
            return false;
        }
        if (end - p < more)
            return false;
        for (int i = 0; i < more; ++i) {
            if ((p[i] & 0xC0) != 0x80)
                return false;
            cp = (cp << 6) | (p[i] & 0x3F);
        }
        p += more;
        // Overlong forms, surrogates and values past U+10FFFF are no text.
        if (cp < min || (cp >= 0xD800 && cp <= 0xDFFF) || cp > 0x10FFFF)
            return false;
    }
    return true;
}

const std::vector<std::string>& InfoFile::JobKeys()
{
    static const std::vector<std::string> keys = {"Title",    "Author",  "CreationDate", "Subject",
                                                  "Keywords", "Creator", "Producer"};
    return keys;
}

bool InfoFile::Parse(const std::string& text, const std::vector<std::string>& required, std::vector<Field>* fields,
                     std::string* error)
{
    fields->clear();
    auto fail = [&](const std::string& why) {
        fields->clear();
        *error = why;
        return false;
    };
    if (text.empty())
        return fail("it is empty");
    std::string pendingKey;
    int pendingLine = 0;
    size_t at = 0;
    int number = 0;
    while (at < text.size()) {
        ++number;
        const size_t nl = text.find('\n', at);
        // The job ends every line; a last line without its end was cut short.
        if (nl == std::string::npos)
            return fail("it ends in the middle of line " + std::to_string(number) + " (\"" + shown(text.substr(at))
                        + "\"): the file was cut short");
        std::string line = text.substr(at, nl - at);
        at = nl + 1;
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        const std::string where = "line " + std::to_string(number);
        if (!IsUtf8(line))
            return fail(where + " is not UTF-8 text");
        // A PDF text string would end there, while the XMP mirror went on.
        if (line.find('\0') != std::string::npos)
            return fail(where + " holds a NUL byte, which no document information can hold");
        if (line.empty())
            continue;
        if (line == kBegin || startsWith(line, kKey)) {
            if (!pendingKey.empty())
                return fail("the key " + pendingKey + " on line " + std::to_string(pendingLine)
                            + " has no \"InfoValue:\" line after it");
            if (line == kBegin)
                continue;
            pendingKey = line.substr(kKey.size());
            pendingLine = number;
            if (!validKey(pendingKey))
                return fail(where + " names no valid key (\"" + shown(line) + "\")");
            for (const Field& f : *fields)
                if (f.first == pendingKey)
                    return fail("the key " + pendingKey + " is given twice (again on " + where + ")");
            continue;
        }
        if (startsWith(line, kValue) || line == "InfoValue:") {
            if (pendingKey.empty())
                return fail(where + " is a value without an \"InfoKey:\" line before it");
            fields->emplace_back(pendingKey, line.size() > kValue.size() ? line.substr(kValue.size()) : std::string());
            pendingKey.clear();
            continue;
        }
        return fail(where + " is not a line of a document information file (\"" + shown(line) + "\")");
    }
    if (!pendingKey.empty())
        return fail("the key " + pendingKey + " on line " + std::to_string(pendingLine)
                    + " has no value: the file was cut short");
    for (const std::string& key : required) {
        if (std::none_of(fields->begin(), fields->end(), [&](const Field& f) { return f.first == key; }))
            return fail("it gives no " + key + ": the file is incomplete");
    }
    return true;
}
