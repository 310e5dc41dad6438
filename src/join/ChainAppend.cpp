#include "join/ChainAppend.h"

#include "join/LastSection.h"

#include <qpdf/Pipeline.hh>
#include <qpdf/QPDF.hh>
#include <qpdf/QPDFObjectHandle.hh>
#include <qpdf/QPDFPageDocumentHelper.hh>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fcntl.h>
#include <map>
#include <stdexcept>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

// A refusal with its reason, caught in Run.
struct Refusal : std::runtime_error {
    using std::runtime_error::runtime_error;
};

Refusal notOurs(const std::string& chain, const std::string& why)
{
    return Refusal("the chain file " + chain + " is not a chain file of ours: " + why);
}

std::string systemError(int err)
{
    return std::strerror(err);
}

std::string ref(const QPDFObjGen& og)
{
    return std::to_string(og.getObj()) + ' ' + std::to_string(og.getGen()) + " R";
}

// A write to the chain that failed, with its errno; not a std::exception,
// so that no catch of a damaged page's words takes it.
struct WriteFailure {
    int err;
};

bool writeAt(int fd, const char* bytes, size_t size, long long at)
{
    size_t done = 0;
    while (done < size) {
        const ssize_t n = ::pwrite(fd, bytes + done, size - done, off_t(at + (long long)done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            if (n == 0)
                errno = EIO;
            return false;
        }
        done += size_t(n);
    }
    return true;
}

// What a join adds, written after the chain's bytes as it is made, in
// writes of 64 KB: a picture's coded data passes through from the page
// file and is never held whole (fresh memory for each one was most of a
// kept photo's join).
class Appender : public Pipeline {
public:
    Appender(int fd, long long at) : Pipeline("chain file", nullptr), m_fd(fd), m_at(at) {}
    void write(unsigned char const* data, size_t len) override { Put(reinterpret_cast<const char*>(data), len); }
    void finish() override {}
    void Put(const std::string& text) { Put(text.data(), text.size()); }
    void Put(const char* data, size_t len)
    {
        m_buffer.append(data, len);
        if (m_buffer.size() >= kChunk)
            Flush();
    }
    void Flush()
    {
        if (!writeAt(m_fd, m_buffer.data(), m_buffer.size(), m_at))
            throw WriteFailure {errno};
        m_at += (long long)m_buffer.size();
        m_buffer.clear();
    }
    long long Offset() const { return m_at + (long long)m_buffer.size(); }

private:
    static constexpr size_t kChunk = 1 << 16;
    int m_fd;
    long long m_at;
    std::string m_buffer;
};

// The offset of the chain's last cross-reference section, as its last
// "startxref" gives it; -1 when the file does not end as a PDF ends.
long long lastStartXref(int fd, long long size)
{
    const long long span = size < 1024 ? size : 1024;
    std::string tail(size_t(span), '\0');
    if (::pread(fd, tail.data(), tail.size(), off_t(size - span)) != ssize_t(span))
        return -1;
    const size_t at = tail.rfind("startxref");
    if (at == std::string::npos || tail.find("%%EOF", at) == std::string::npos)
        return -1;
    const char* p = tail.c_str() + at + 9;
    while (*p == ' ' || *p == '\r' || *p == '\n' || *p == '\t')
        ++p;
    char* end = nullptr;
    errno = 0;
    const long long offset = std::strtoll(p, &end, 10);
    return end == p || errno || offset <= 0 || offset >= size ? -1 : offset;
}

// The objects of the page file reachable from its pages (never through a
// page's /Parent, nor a stream's /Length, which is written anew), numbered
// from `first` on in the order they are met.
class PageObjects {
public:
    PageObjects(int first, QPDFObjGen root) : m_next(first), m_root(root) {}

    void AddPage(QPDFObjectHandle page)
    {
        m_pages.push_back(number(page));
        drain();
    }
    const std::vector<int>& Pages() const { return m_pages; }
    int Next() const { return m_next; }

    // Every object as "N 0 obj ... endobj", in number order; *offsets
    // gets each one's offset. A stream's data is taken as it is coded.
    void Write(Appender& out, std::vector<long long>* offsets)
    {
        for (QPDFObjectHandle& obj : m_order) {
            offsets->push_back(out.Offset());
            std::string text = std::to_string(m_numbers.at(obj.getObjGen())) + " 0 obj\n";
            if (obj.isStream()) {
                // libqpdf has checked that the stated length ends at
                // "endstream" (no repair); what passes is counted again.
                QPDFObjectHandle length = obj.getDict().getKey("/Length");
                if (!length.isInteger() || length.getIntValue() < 0)
                    throw std::runtime_error("a stream has no length");
                const long long stated = length.getIntValue();
                out.Put(text + dictionary(obj.getDict(), true, size_t(stated)) + "\nstream\n");
                const long long start = out.Offset();
                bool filtered = false;
                if (!obj.pipeStreamData(&out, &filtered, 0, qpdf_dl_none) || out.Offset() - start != stated)
                    throw std::runtime_error("a stream's data is not as long as it says");
                text = "\nendstream";
            } else {
                text += value(obj, false, true);
            }
            out.Put(text + "\nendobj\n");
        }
    }

private:
    int number(QPDFObjectHandle obj)
    {
        const auto it = m_numbers.find(obj.getObjGen());
        if (it != m_numbers.end())
            return it->second;
        m_numbers.emplace(obj.getObjGen(), m_next);
        m_order.push_back(obj);
        m_queue.push_back(obj);
        return m_next++;
    }
    void drain()
    {
        while (!m_queue.empty()) {
            QPDFObjectHandle obj = m_queue.front();
            m_queue.pop_front();
            walk(obj.isStream() ? obj.getDict() : obj, obj.isStream(), true);
        }
    }
    // Numbers the indirect objects `obj` names (itself, at the top, is the
    // one being walked).
    void walk(QPDFObjectHandle obj, bool streamDict, bool top)
    {
        if (!top && obj.isIndirect()) {
            number(obj);
            return;
        }
        if (obj.isArray()) {
            for (QPDFObjectHandle item : obj.getArrayAsVector())
                walk(item, false, false);
        } else if (obj.isDictionary()) {
            const bool page = top && obj.getKey("/Type").isNameAndEquals("/Page");
            for (auto& [key, item] : obj.getDictAsMap())
                if (!(page && key == "/Parent") && !(streamDict && key == "/Length"))
                    walk(item, false, false);
        }
    }
    std::string dictionary(QPDFObjectHandle dict, bool stream, size_t length)
    {
        const bool page = !stream && dict.getKey("/Type").isNameAndEquals("/Page");
        std::string out = "<<";
        for (auto& [key, item] : dict.getDictAsMap()) {
            if ((stream && key == "/Length") || (page && key == "/Parent") || item.isNull())
                continue;
            out += ' ' + QPDFObjectHandle::newName(key).unparse() + ' ' + value(item, false, false);
        }
        if (stream)
            out += " /Length " + std::to_string(length);
        if (page)
            out += " /Parent " + ref(m_root);
        return out + " >>";
    }
    std::string value(QPDFObjectHandle obj, bool stream, bool top)
    {
        if (!top && obj.isIndirect())
            return std::to_string(m_numbers.at(obj.getObjGen())) + " 0 R";
        if (obj.isArray()) {
            std::string out = "[";
            for (QPDFObjectHandle item : obj.getArrayAsVector())
                out += ' ' + value(item, false, false);
            return out + " ]";
        }
        if (obj.isDictionary())
            return dictionary(obj, stream, 0);
        return obj.unparse();
    }

    int m_next;
    QPDFObjGen m_root;
    std::map<QPDFObjGen, int> m_numbers;
    std::vector<QPDFObjectHandle> m_order;
    std::deque<QPDFObjectHandle> m_queue;
    std::vector<int> m_pages;
};

void openDocument(QPDF& doc, const std::string& path, FILE* file)
{
    doc.setSuppressWarnings(true);
    // A file that needs repair is damaged, and so is not taken.
    doc.setAttemptRecovery(false);
    doc.processFile(path.c_str(), file, true);
}

// Every stream of the page's contents decodes (they are small; the
// pictures are taken as they are coded).
void decodeContents(QPDFObjectHandle page)
{
    QPDFObjectHandle contents = page.getKey("/Contents");
    std::vector<QPDFObjectHandle> streams = contents.isArray() ? contents.getArrayAsVector()
                                                               : std::vector<QPDFObjectHandle>{contents};
    for (QPDFObjectHandle& s : streams)
        if (s.isStream())
            s.getStreamData(qpdf_dl_generalized);
}

// "<< /Key value ..." of a dictionary, its direct nulls and the keys
// `without` left out, not yet closed. A reference is kept as it is: read
// from the last section alone, it resolves to nothing here.
std::string dictionaryWithout(QPDFObjectHandle dict, std::initializer_list<std::string> without)
{
    std::string out = "<<";
    for (auto& [key, item] : dict.getDictAsMap())
        if (std::find(without.begin(), without.end(), key) == without.end() && (item.isIndirect() || !item.isNull()))
            out += ' ' + QPDFObjectHandle::newName(key).unparse() + ' ' + LastSection::Written(item);
    return out;
}

// The chain's newest revision through libqpdf, which reads every section:
// for the first chain file (one page) and for files not shaped as ours.
void readWhole(QPDF& doc, int fd, const std::string& chain, long long prev, ChainTail* t)
{
    const int dupFd = ::dup(fd);
    FILE* file = dupFd >= 0 ? ::fdopen(dupFd, "rb") : nullptr;
    if (!file) {
        if (dupFd >= 0)
            ::close(dupFd);
        throw Refusal("cannot read the chain file " + chain + ": " + systemError(errno));
    }
    try {
        openDocument(doc, chain, file);
    } catch (const std::exception& e) {
        throw Refusal("the chain file " + chain + " cannot be read as it is: " + e.what());
    }
    const auto foreign = [&](const std::string& why) { return notOurs(chain, why); };
    if (doc.isEncrypted())
        throw foreign("it is encrypted");
    QPDFObjectHandle trailer = doc.getTrailer();
    t->catalog = trailer.getKey("/Root");
    t->root = t->catalog.getKey("/Pages");
    if (!t->catalog.isIndirect() || !t->catalog.isDictionary() || !t->root.isIndirect() || !t->root.isDictionary())
        throw foreign("it has no page tree of its own");
    t->catalogRef = t->catalog.getObjGen();
    t->rootRef = t->root.getObjGen();
    QPDFObjectHandle kids = t->root.getKey("/Kids");
    t->kids = kids.isArray() ? kids.getArrayAsVector() : std::vector<QPDFObjectHandle>{};
    t->lastPage = t->kids.empty() ? QPDFObjectHandle::newNull() : t->kids.back();
    QPDFObjectHandle size = trailer.getKey("/Size");
    const std::map<QPDFObjGen, QPDFXRefEntry> xref = doc.getXRefTable();
    if (!size.isInteger() || xref.empty() || size.getIntValue() <= xref.rbegin()->first.getObj())
        throw foreign("its cross-reference sections do not agree with its size");
    if (doc.anyWarnings())
        throw Refusal("the chain file " + chain + " is damaged");
    t->size = size.getIntValue();
    t->prev = prev;
    t->version = LastSection::VersionNumber(doc.getPDFVersion());
    t->info = LastSection::Has(trailer, "/Info") ? LastSection::Written(trailer.getKey("/Info")) : std::string();
    t->id = LastSection::Has(trailer, "/ID") ? LastSection::Written(trailer.getKey("/ID")) : std::string();
}

std::string xrefLine(long long offset)
{
    char line[24];
    std::snprintf(line, sizeof line, "%010lld 00000 n \n", offset);
    return line;
}

} // namespace

bool ChainAppend::Run(const std::string& chain, const std::string& pageFile, const std::string& next, bool replace,
                      std::string* error)
{
    struct stat st {};
    if (!replace && ::lstat(next.c_str(), &st) == 0) {
        *error = next + " exists; dont_ask replaces it";
        return false;
    }
    const int fd = ::open(chain.c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) {
        *error = "cannot open the chain file " + chain + ": "
            + (errno == ELOOP ? std::string("it is a symbolic link, not a chain file of ours") : systemError(errno));
        return false;
    }
    long long oldSize = -1;
    const auto fail = [&](const std::string& text) {
        if (oldSize >= 0 && ::ftruncate(fd, off_t(oldSize)) != 0) {
            // Nothing more to do: the job fails and removes the file.
        }
        ::close(fd);
        *error = text;
        return false;
    };
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size <= 0)
        return fail("the chain file " + chain + " is not a chain file of ours: not a regular file with content");
    // Appended to in place, a file with other names would change under them.
    if (st.st_nlink != 1)
        return fail("the chain file " + chain + " is not a chain file of ours: it has other names");
    const long long size = st.st_size;

    Appender out(fd, size);
    try {
        const long long prev = lastStartXref(fd, size);
        if (prev < 0)
            throw notOurs(chain, "it does not end as a PDF ends");
        const auto foreign = [&](const std::string& why) { return notOurs(chain, why); };
        // The joins' own chain is read from its last section alone; any
        // other file, and the first chain file, whole.
        QPDF doc;
        ChainTail t;
        if (!LastSection::Read(fd, size, prev, doc, &t))
            readWhole(doc, fd, chain, prev, &t);
        QPDFObjectHandle root = t.root;
        if (!root.getKey("/Type").isNameAndEquals("/Pages") || LastSection::Has(root, "/Parent"))
            throw foreign("it has no page tree of its own");
        for (const char* key : {"/Resources", "/MediaBox", "/CropBox", "/Rotate"})
            if (LastSection::Has(root, key))
                throw foreign(std::string("its page tree passes ") + (key + 1) + " down to its pages");
        QPDFObjectHandle count = root.getKey("/Count");
        const std::vector<QPDFObjectHandle>& pages = t.kids;
        if (pages.empty() || !count.isInteger() || count.getIntValue() != (long long)pages.size())
            throw foreign("its page tree is not one list of its pages");
        for (const QPDFObjectHandle& kid : pages)
            if (!kid.isIndirect())
                throw foreign("its page tree is not one list of its pages");
        // Checked at its end, where the last append wrote: a tree of trees
        // shows there too.
        if (!t.lastPage.getKey("/Type").isNameAndEquals("/Page") || t.lastPage.getKey("/Parent").getObjGen() != t.rootRef)
            throw foreign("its page tree is not one list of its pages");
        if (t.size > 8000000)
            throw foreign("its cross-reference sections do not agree with its size");

        // The page file: read whole and without repair.
        QPDF page;
        try {
            FILE* pf = std::fopen(pageFile.c_str(), "rbe");
            if (!pf)
                throw std::runtime_error(systemError(errno));
            struct stat ps {};
            if (::fstat(::fileno(pf), &ps) != 0 || !S_ISREG(ps.st_mode)) {
                std::fclose(pf);
                throw std::runtime_error("it is not a file");
            }
            openDocument(page, pageFile, pf);
        } catch (const std::exception& e) {
            throw Refusal("the page file " + pageFile + " cannot be read: " + e.what());
        }
        const auto damaged = [&](const std::string& why) {
            return Refusal("the page file " + pageFile + " is damaged: " + why);
        };
        if (page.isEncrypted())
            throw damaged("it is encrypted");
        const long long firstNew = t.size;
        PageObjects adding(int(firstNew), t.rootRef);
        char lastByte = 0;
        if (::pread(fd, &lastByte, 1, off_t(size - 1)) != 1)
            throw Refusal("cannot read the chain file " + chain + ": " + systemError(errno));
        // From here on a failure cuts the chain back to its own bytes.
        oldSize = size;
        if (lastByte != '\n' && lastByte != '\r')
            out.Put("\n");
        std::vector<long long> offsets;
        try {
            QPDFPageDocumentHelper helper(page);
            helper.pushInheritedAttributesToPage();
            std::vector<QPDFPageObjectHelper> added = helper.getAllPages();
            if (added.empty())
                throw std::runtime_error("it holds no page");
            for (QPDFPageObjectHelper& p : added) {
                if (!p.getObjectHandle().getKey("/MediaBox").isArray())
                    throw std::runtime_error("a page has no size");
                decodeContents(p.getObjectHandle());
                adding.AddPage(p.getObjectHandle());
            }
            adding.Write(out, &offsets);
        } catch (const std::exception& e) {
            throw damaged(e.what());
        }
        if (page.anyWarnings())
            throw damaged(page.getWarnings().front().what());
        if (adding.Next() > 8000000)
            throw Refusal("the chain file " + chain + " cannot take more objects");

        // The root's new revision: the same object, its list one page longer.
        std::string rootText = dictionaryWithout(root, {"/Kids", "/Count"}) + " /Kids [";
        for (const QPDFObjectHandle& kid : pages)
            rootText += ' ' + ref(kid.getObjGen());
        for (int n : adding.Pages())
            rootText += ' ' + std::to_string(n) + " 0 R";
        rootText += " ] /Count " + std::to_string(pages.size() + adding.Pages().size()) + " >>";
        std::map<int, std::pair<long long, int>> revised; // object -> offset, generation
        const auto addRevision = [&](QPDFObjGen og, const std::string& body) {
            revised[og.getObj()] = {out.Offset(), og.getGen()};
            out.Put(std::to_string(og.getObj()) + ' ' + std::to_string(og.getGen()) + " obj\n" + body + "\nendobj\n");
        };
        addRevision(t.rootRef, rootText);
        // The catalog goes into every section, so that the next join finds
        // all it needs in this one; a page that needs a later PDF than the
        // chain says so there.
        QPDFObjectHandle version = t.catalog.getKey("/Version");
        const int chainVersion = std::max(t.version, version.isName() ? LastSection::VersionNumber(version.getName().substr(1)) : 0);
        const bool later = LastSection::VersionNumber(page.getPDFVersion()) > chainVersion;
        addRevision(t.catalogRef, dictionaryWithout(t.catalog, {later ? "/Version" : ""})
                                      + (later ? " /Version /" + page.getPDFVersion() : std::string()) + " >>");

        // The cross-reference section: the new objects, then the revised ones.
        const long long xrefAt = out.Offset();
        std::string tail = "xref\n" + std::to_string(firstNew) + ' ' + std::to_string(offsets.size()) + '\n';
        for (long long off : offsets)
            tail += xrefLine(off);
        for (auto& [obj, where] : revised) {
            char line[24];
            std::snprintf(line, sizeof line, "%010lld %05d n \n", where.first, where.second);
            tail += std::to_string(obj) + " 1\n" + line;
        }
        tail += "trailer\n<< /Size " + std::to_string(adding.Next()) + " /Root " + ref(t.catalogRef);
        if (!t.info.empty())
            tail += " /Info " + t.info;
        if (!t.id.empty())
            tail += " /ID " + t.id;
        tail += " /Prev " + std::to_string(prev) + " >>\nstartxref\n" + std::to_string(xrefAt) + "\n%%EOF\n";
        out.Flush();
        if (std::getenv(HoldVariable))
            ::raise(SIGSTOP);
        out.Put(tail);
        out.Flush();
    } catch (const WriteFailure& w) {
        return fail("cannot append to the chain file " + chain + ": " + systemError(w.err));
    } catch (const Refusal& r) {
        return fail(r.what());
    } catch (const std::exception& e) {
        return fail("cannot join " + pageFile + " to " + chain + ": " + e.what());
    }
    if (::rename(chain.c_str(), next.c_str()) != 0)
        return fail("cannot rename " + chain + " to " + next + ": " + systemError(errno));
    if (::close(fd) != 0) {
        *error = "cannot write " + next + ": " + systemError(errno);
        ::unlink(next.c_str());
        return false;
    }
    return true;
}
