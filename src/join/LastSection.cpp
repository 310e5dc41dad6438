#include "join/LastSection.h"

#include <cctype>
#include <cstring>
#include <map>
#include <unistd.h>

namespace {

// A section of ours is a few lines; an object of ours at most the page
// list of a long document.
constexpr long long MaxSection = 1 << 20;
constexpr long long MaxObject = 64 << 20;

bool readAt(int fd, long long at, long long length, std::string* out)
{
    out->assign(size_t(length), '\0');
    long long done = 0;
    while (done < length) {
        const ssize_t n = ::pread(fd, out->data() + done, size_t(length - done), off_t(at + done));
        if (n <= 0)
            return false;
        done += n;
    }
    return true;
}

bool isSpace(char c)
{
    return c == ' ' || c == '\r' || c == '\n' || c == '\t' || c == '\f' || c == '\0';
}

void skipSpace(const std::string& s, size_t* at)
{
    while (*at < s.size() && isSpace(s[*at]))
        ++*at;
}

// A whole number of at most 10 digits at *at; false without one.
bool number(const std::string& s, size_t* at, long long* value)
{
    size_t i = *at;
    long long v = 0;
    while (i < s.size() && i - *at < 11 && std::isdigit(static_cast<unsigned char>(s[i])))
        v = v * 10 + (s[i++] - '0');
    if (i == *at || i - *at > 10)
        return false;
    *at = i;
    *value = v;
    return true;
}

struct Entry {
    long long offset;
    int gen;
};

// The table "xref" (first count, then count entries of 20 bytes)* up to
// "trailer"; *at ends after that keyword.
bool parseTable(const std::string& s, size_t* at, std::map<int, Entry>* entries)
{
    if (s.compare(0, 4, "xref") != 0)
        return false;
    *at = 4;
    for (;;) {
        skipSpace(s, at);
        if (s.compare(*at, 7, "trailer") == 0) {
            *at += 7;
            return !entries->empty();
        }
        long long first = 0, count = 0;
        if (!number(s, at, &first) || s[*at] != ' ')
            return false;
        ++*at;
        if (!number(s, at, &count))
            return false;
        // The end of the line: up to two bytes of space and line ends.
        for (int k = 0; k < 2 && *at < s.size() && (s[*at] == ' ' || s[*at] == '\r' || s[*at] == '\n'); ++k)
            if (s[(*at)++] == '\n')
                break;
        if (count <= 0 || *at + size_t(count) * 20 > s.size())
            return false;
        for (long long k = 0; k < count; ++k, *at += 20) {
            // "oooooooooo ggggg n" and two bytes of line end.
            const std::string line = s.substr(*at, 20);
            size_t offsetEnd = 0, genEnd = 11;
            long long offset = 0, gen = 0;
            if (!number(line, &offsetEnd, &offset) || offsetEnd != 10 || line[10] != ' ' || !number(line, &genEnd, &gen)
                || genEnd != 16 || line[16] != ' ' || (line[17] != 'n' && line[17] != 'f'))
                return false;
            if (line[17] == 'n')
                (*entries)[int(first + k)] = Entry{offset, int(gen)};
        }
    }
}

// The object `ref` as the section places it, parsed; null when it is not
// there as "N G obj ... endobj" holding one object without a stream.
QPDFObjectHandle objectAt(int fd, const std::map<int, Entry>& entries, long long sectionAt, QPDFObjGen ref,
                          QPDF& context)
{
    const auto it = entries.find(ref.getObj());
    if (it == entries.end() || it->second.gen != ref.getGen() || it->second.offset >= sectionAt)
        return QPDFObjectHandle::newNull();
    // Ours follow one another: the next offset after it ends it.
    long long end = sectionAt;
    for (const auto& [n, e] : entries)
        if (e.offset > it->second.offset && e.offset < end)
            end = e.offset;
    std::string text;
    if (end - it->second.offset > MaxObject || !readAt(fd, it->second.offset, end - it->second.offset, &text))
        return QPDFObjectHandle::newNull();
    const std::string head = std::to_string(ref.getObj()) + ' ' + std::to_string(ref.getGen()) + " obj";
    const size_t close = text.rfind("endobj");
    if (text.compare(0, head.size(), head) != 0 || close == std::string::npos || text.find("stream") != std::string::npos)
        return QPDFObjectHandle::newNull();
    return QPDFObjectHandle::parse(&context, text.substr(head.size(), close - head.size()), "chain object");
}

} // namespace

int LastSection::VersionNumber(const std::string& v)
{
    if (v.size() < 3 || v[1] != '.' || v[0] < '1' || v[0] > '9' || v[2] < '0' || v[2] > '9')
        return 0;
    return (v[0] - '0') * 10 + (v[2] - '0');
}

bool LastSection::Has(QPDFObjectHandle dict, const std::string& key)
{
    std::map<std::string, QPDFObjectHandle> items = dict.getDictAsMap();
    const auto it = items.find(key);
    return it != items.end() && (it->second.isIndirect() || !it->second.isNull());
}

std::string LastSection::Written(QPDFObjectHandle obj)
{
    if (obj.isIndirect())
        return std::to_string(obj.getObjGen().getObj()) + ' ' + std::to_string(obj.getObjGen().getGen()) + " R";
    if (obj.isArray()) {
        std::string out = "[";
        for (QPDFObjectHandle& item : obj.getArrayAsVector())
            out += ' ' + Written(item);
        return out + " ]";
    }
    if (obj.isDictionary()) {
        std::string out = "<<";
        for (auto& [key, item] : obj.getDictAsMap())
            if (item.isIndirect() || !item.isNull())
                out += ' ' + QPDFObjectHandle::newName(key).unparse() + ' ' + Written(item);
        return out + " >>";
    }
    return obj.unparse();
}

bool LastSection::Read(int fd, long long fileSize, long long startxref, QPDF& context, ChainTail* tail)
{
    std::string section, header;
    if (startxref <= 0 || fileSize - startxref > MaxSection || !readAt(fd, startxref, fileSize - startxref, &section)
        || !readAt(fd, 0, 8, &header) || header.compare(0, 5, "%PDF-") != 0)
        return false;
    std::map<int, Entry> entries;
    size_t at = 0;
    const size_t end = section.rfind("startxref");
    if (!parseTable(section, &at, &entries) || end == std::string::npos || end < at)
        return false;
    try {
        QPDFObjectHandle trailer = QPDFObjectHandle::parse(&context, section.substr(at, end - at), "chain trailer");
        QPDFObjectHandle root = trailer.getKey("/Root"), size = trailer.getKey("/Size"), prev = trailer.getKey("/Prev");
        // Without a section before it, the file is read whole anyway, at
        // the cost of its one page; encrypted, it is refused from there.
        if (!root.isIndirect() || !size.isInteger() || !prev.isInteger() || Has(trailer, "/Encrypt")
            || entries.rbegin()->first >= size.getIntValue())
            return false;
        tail->catalogRef = root.getObjGen();
        tail->catalog = objectAt(fd, entries, startxref, tail->catalogRef, context);
        QPDFObjectHandle pages = tail->catalog.isDictionary() ? tail->catalog.getKey("/Pages") : QPDFObjectHandle();
        if (!pages.isIndirect() || tail->catalog.getKey("/Version").isIndirect())
            return false;
        tail->rootRef = pages.getObjGen();
        tail->root = objectAt(fd, entries, startxref, tail->rootRef, context);
        QPDFObjectHandle kids = tail->root.isDictionary() ? tail->root.getKey("/Kids") : QPDFObjectHandle();
        if (!kids.isArray() || kids.getArrayNItems() == 0 || !kids.getArrayItem(kids.getArrayNItems() - 1).isIndirect())
            return false;
        tail->kids = kids.getArrayAsVector();
        tail->lastPage = objectAt(fd, entries, startxref, tail->kids.back().getObjGen(), context);
        if (!tail->lastPage.isDictionary() || context.anyWarnings())
            return false;
        tail->prev = startxref;
        tail->size = size.getIntValue();
        tail->version = VersionNumber(header.substr(5, 3));
        tail->info = Has(trailer, "/Info") ? Written(trailer.getKey("/Info")) : std::string();
        tail->id = Has(trailer, "/ID") ? Written(trailer.getKey("/ID")) : std::string();
        return true;
    } catch (const std::exception&) {
        return false;
    }
}
