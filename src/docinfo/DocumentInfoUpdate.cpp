#include "docinfo/DocumentInfoUpdate.h"

#include "docinfo/ArchiveParts.h"

#include <qpdf/QPDF.hh>
#include <qpdf/QPDFObjectHandle.hh>
#include <qpdf/QPDFWriter.hh>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <stdexcept>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace {

// Text as XML character data: escaped, without the control characters
// (and U+FFFE, U+FFFF) XML cannot hold at all.
std::string xml(const std::string& text)
{
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (c < 0x20 && c != '\t' && c != '\n' && c != '\r')
            continue;
        if (c == 0xEF && i + 2 < text.size() && static_cast<unsigned char>(text[i + 1]) == 0xBF
            && (static_cast<unsigned char>(text[i + 2]) & 0xFE) == 0xBE) {
            i += 2;
            continue;
        }
        switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '"': out += "&quot;"; break;
        default: out += char(c);
        }
    }
    return out;
}

std::string field(QPDFObjectHandle info, const char* key)
{
    QPDFObjectHandle v = info.getKey(key);
    return v.isString() ? v.getUTF8Value() : std::string();
}

// The XMP packet for the information dictionary's fields. An archive
// document mirrors every entry, empty ones too, and names its PDF/A part.
std::string xmpPacket(QPDFObjectHandle info, bool archive)
{
    std::string body;
    auto alt = [&](const char* tag, const std::string& v) {
        if (!v.empty() || archive)
            body += std::string("   <") + tag + "><rdf:Alt><rdf:li xml:lang=\"x-default\">" + xml(v)
                + "</rdf:li></rdf:Alt></" + tag + ">\n";
    };
    auto plain = [&](const char* tag, const std::string& v) {
        if (!v.empty() || archive)
            body += std::string("   <") + tag + ">" + xml(v) + "</" + tag + ">\n";
    };
    alt("dc:title", field(info, "/Title"));
    if (const std::string author = field(info, "/Author"); !author.empty() || (archive && info.hasKey("/Author")))
        body += "   <dc:creator><rdf:Seq><rdf:li>" + xml(author) + "</rdf:li></rdf:Seq></dc:creator>\n";
    alt("dc:description", field(info, "/Subject"));
    plain("pdf:Keywords", field(info, "/Keywords"));
    plain("xmp:CreateDate", DocumentInfoUpdate::XmpDate(field(info, "/CreationDate")));
    plain("xmp:ModifyDate", DocumentInfoUpdate::XmpDate(field(info, "/ModDate")));
    plain("xmp:CreatorTool", field(info, "/Creator"));
    plain("pdf:Producer", field(info, "/Producer"));
    if (archive)
        body += ArchiveParts::IdentificationProperties();
    std::string padding;
    // Room for editors to change the packet in place, as XMP asks.
    for (int i = 0; i < 20; ++i)
        padding += std::string(10, ' ') + '\n';
    return "<?xpacket begin=\"\xEF\xBB\xBF\" id=\"W5M0MpCehiHzreSzNTczkc9d\"?>\n"
           "<x:xmpmeta xmlns:x=\"adobe:ns:meta/\">\n"
           " <rdf:RDF xmlns:rdf=\"http://www.w3.org/1999/02/22-rdf-syntax-ns#\">\n"
           "  <rdf:Description rdf:about=\"\"\n"
           "    xmlns:dc=\"http://purl.org/dc/elements/1.1/\"\n"
           "    xmlns:xmp=\"http://ns.adobe.com/xap/1.0/\"\n"
           "    xmlns:pdf=\"http://ns.adobe.com/pdf/1.3/\""
        + (archive ? std::string("\n") + ArchiveParts::IdentificationNamespace() : std::string()) + ">\n" + body
        + "  </rdf:Description>\n"
          " </rdf:RDF>\n"
          "</x:xmpmeta>\n"
        + padding + "<?xpacket end=\"w\"?>";
}

// A value as the dictionary holds it: a PDF date as the plain ASCII string
// date readers expect; other text in PDFDocEncoding when it fits, else
// UTF-16 with its byte order mark.
QPDFObjectHandle valueObject(const std::string& key, const std::string& value)
{
    if ((key == "CreationDate" || key == "ModDate") && !DocumentInfoUpdate::XmpDate(value).empty())
        return QPDFObjectHandle::newString(value);
    return QPDFObjectHandle::newUnicodeString(value);
}

std::string systemError(int err)
{
    return std::strerror(err);
}

// A stdio stream on a descriptor that keeps the first write error: stdio
// itself only says that one happened (ferror), and the reason is what the
// user needs ("No space left on device").
struct CheckedSink {
    int fd = -1;
    int firstError = 0;
};

ssize_t sinkWrite(void* cookie, const char* data, size_t size)
{
    auto* sink = static_cast<CheckedSink*>(cookie);
    size_t done = 0;
    while (done < size) {
        const ssize_t n = ::write(sink->fd, data + done, size - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            if (!sink->firstError)
                sink->firstError = n < 0 ? errno : EIO;
            return done > 0 ? ssize_t(done) : -1;
        }
        done += size_t(n);
    }
    return ssize_t(done);
}

} // namespace

std::string DocumentInfoUpdate::XmpDate(const std::string& pdfDate)
{
    // D: then 4 to 14 digits in pairs after the year, then an optional zone.
    std::string s = pdfDate;
    while (!s.empty() && std::isspace(static_cast<unsigned char>(s.back())))
        s.pop_back();
    size_t start = 0;
    while (start < s.size() && std::isspace(static_cast<unsigned char>(s[start])))
        ++start;
    s = s.substr(start);
    if (s.compare(0, 2, "D:") != 0)
        return {};
    size_t i = 2;
    size_t digits = 0;
    while (i + digits < s.size() && std::isdigit(static_cast<unsigned char>(s[i + digits])))
        ++digits;
    if (digits < 4 || digits > 14 || digits % 2 != 0)
        return {};
    const std::string d = s.substr(i, digits);
    i += digits;
    const std::string zone = s.substr(i);
    auto two = [&](size_t at) { return std::stoi(d.substr(at, 2)); };
    const int lo[] = {1, 1, 0, 0, 0}, hi[] = {12, 31, 23, 59, 59};
    for (size_t k = 0; 4 + 2 * k < digits; ++k) {
        const int v = two(4 + 2 * k);
        if (v < lo[k] || v > hi[k])
            return {};
    }
    // The zone: nothing, Z, or +HH / +HH'mm / +HH'mm' (minus alike).
    std::string zoneOut;
    if (zone == "Z" || zone == "z") {
        zoneOut = "Z";
    } else if (!zone.empty()) {
        if (zone[0] != '+' && zone[0] != '-')
            return {};
        std::string rest = zone.substr(1);
        std::string hh, mm = "00";
        auto isDigits = [](const std::string& t) {
            return t.size() == 2 && std::isdigit(static_cast<unsigned char>(t[0]))
                && std::isdigit(static_cast<unsigned char>(t[1]));
        };
        hh = rest.substr(0, 2);
        rest = rest.size() > 2 ? rest.substr(2) : std::string();
        if (!isDigits(hh))
            return {};
        if (!rest.empty() && rest[0] == '\'')
            rest.erase(0, 1);
        if (!rest.empty()) {
            mm = rest.substr(0, 2);
            rest = rest.size() > 2 ? rest.substr(2) : std::string();
            if (!isDigits(mm))
                return {};
            if (!rest.empty() && rest[0] == '\'')
                rest.erase(0, 1);
        }
        if (!rest.empty())
            return {};
        zoneOut = zone.substr(0, 1) + hh + ":" + mm;
    }
    // Appended piece by piece: GCC 12 warns (-Wrestrict, falsely) on
    // "literal" + std::string temporaries here in a Release build.
    std::string out = d.substr(0, 4);
    if (digits >= 6)
        out.append("-").append(d, 4, 2);
    if (digits >= 8)
        out.append("-").append(d, 6, 2);
    if (digits < 12)
        return out; // XMP takes a time only with its minutes
    out.append("T").append(d, 8, 2).append(":").append(d, 10, 2);
    if (digits == 14)
        out.append(":").append(d, 12, 2);
    return out.append(zoneOut);
}

std::string DocumentInfoUpdate::PdfDateNow()
{
    const std::time_t now = std::time(nullptr);
    std::tm local {};
    ::localtime_r(&now, &local);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "D:%Y%m%d%H%M%S", &local);
    // The offset of that very moment, so summer time is right either side
    // of a change.
    long offset = local.tm_gmtoff;
    const char sign = offset < 0 ? '-' : '+';
    offset = offset < 0 ? -offset : offset;
    char zone[48];
    std::snprintf(zone, sizeof zone, "%c%02ld'%02ld", sign, offset / 3600, offset / 60 % 60);
    return std::string(stamp) + zone;
}

int DocumentInfoUpdate::OpenRegularFile(const std::string& path, std::string* error)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    struct stat st {};
    if (fd < 0 || ::fstat(fd, &st) != 0) {
        *error = systemError(errno);
        if (fd >= 0)
            ::close(fd);
        return -1;
    }
    if (!S_ISREG(st.st_mode)) {
        *error = "it is not a file";
        ::close(fd);
        return -1;
    }
    return fd;
}

bool DocumentInfoUpdate::Run(const std::string& input, const std::vector<InfoFile::Field>& fields,
                             const std::string& output, std::string* error, bool archive)
{
    if (archive) {
        // Both forms of every date must say the same moment.
        for (const auto& [key, value] : fields)
            if ((key == "CreationDate" || key == "ModDate") && XmpDate(value).empty()) {
                *error = "the " + key + " \"" + value + "\" is not a PDF date (D:YYYYMMDDHHmmSS and its zone), "
                         "which a PDF/A document needs";
                return false;
            }
    }
    QPDF doc;
    const int in = OpenRegularFile(input, error);
    std::FILE* inFile = in < 0 ? nullptr : ::fdopen(in, "rb");
    if (!inFile) {
        if (in >= 0) {
            *error = systemError(errno);
            ::close(in);
        }
        *error = "cannot read the document " + input + ": " + *error;
        return false;
    }
    try {
        doc.setSuppressWarnings(true);
        doc.processFile(input.c_str(), inFile, true);
    } catch (const std::exception& e) {
        *error = "cannot read the document " + input + ": " + e.what();
        return false;
    }

    // Beside the output, so that the rename below stays on one disk.
    std::string partial = output + ".XXXXXX";
    const int fd = ::mkostemp(partial.data(), O_CLOEXEC);
    if (fd < 0) {
        *error = "cannot write beside " + output + ": " + systemError(errno);
        return false;
    }
    // A file replaced keeps its permissions; a new one gets the usual ones.
    struct stat old {};
    mode_t mode = 0;
    if (::lstat(output.c_str(), &old) == 0 && S_ISREG(old.st_mode)) {
        mode = old.st_mode & 07777;
    } else {
        const mode_t mask = ::umask(0);
        ::umask(mask);
        mode = 0666 & ~mask;
    }
    ::fchmod(fd, mode);
    CheckedSink sink {fd, 0};
    std::FILE* out = ::fopencookie(&sink, "wb", cookie_io_functions_t {nullptr, sinkWrite, nullptr, nullptr});
    if (!out) {
        *error = "cannot write " + output + ": " + systemError(errno);
        ::close(fd);
        ::unlink(partial.c_str());
        return false;
    }
    try {
        QPDFObjectHandle trailer = doc.getTrailer();
        QPDFObjectHandle info = trailer.getKey("/Info");
        if (!info.isDictionary()) {
            info = doc.makeIndirectObject(QPDFObjectHandle::newDictionary());
            trailer.replaceKey("/Info", info);
        }
        for (const auto& [key, value] : fields)
            info.replaceKey("/" + key, valueObject(key, value));
        // The document is changed now, whatever an earlier writer said.
        bool modGiven = false;
        for (const auto& f : fields)
            modGiven = modGiven || f.first == "ModDate";
        if (!modGiven)
            info.replaceKey("/ModDate", QPDFObjectHandle::newString(PdfDateNow()));

        QPDFObjectHandle xmp = QPDFObjectHandle::newStream(&doc, xmpPacket(info, archive));
        xmp.getDict().replaceKey("/Type", QPDFObjectHandle::newName("/Metadata"));
        xmp.getDict().replaceKey("/Subtype", QPDFObjectHandle::newName("/XML"));
        doc.getRoot().replaceKey("/Metadata", xmp);
        if (archive)
            ArchiveParts::AddOutputIntent(doc);

        QPDFWriter writer(doc);
        // Our own stream, so that a short write (a full disk) is seen: the
        // writer's own output does not check the end of the file.
        writer.setOutputFile(output.c_str(), out, false);
        // One plain file, whatever revisions the joins appended: one
        // cross-reference stream, the small objects packed in object
        // streams, only what the document uses. Coded streams go through as
        // they are; qpdf leaves the metadata uncompressed, readable as text.
        writer.setDecodeLevel(qpdf_dl_none);
        writer.setCompressStreams(true);
        writer.setObjectStreamMode(qpdf_o_generate);
        writer.setMinimumPDFVersion("1.4"); // metadata streams came with 1.4
        writer.write();
        // Every byte out of the buffer and on the disk, or the reason why not.
        const bool flushed = std::fflush(out) == 0 && !std::ferror(out);
        std::fclose(out);
        out = nullptr;
        if (!flushed || sink.firstError)
            throw std::runtime_error(systemError(sink.firstError ? sink.firstError : EIO));
        if (::fsync(fd) != 0)
            throw std::runtime_error(systemError(errno));
        if (::close(std::exchange(sink.fd, -1)) != 0)
            throw std::runtime_error(systemError(errno));
    } catch (const std::exception& e) {
        if (out)
            std::fclose(out);
        if (sink.fd >= 0)
            ::close(sink.fd);
        ::unlink(partial.c_str());
        // The system's reason when a write failed, whatever the writer made of it.
        *error = "cannot write " + output + ": " + (sink.firstError ? systemError(sink.firstError) : e.what());
        return false;
    }
    // rename() replaces an earlier file in one step.
    if (std::rename(partial.c_str(), output.c_str()) != 0) {
        *error = "cannot put " + output + " in place: " + systemError(errno);
        ::unlink(partial.c_str());
        return false;
    }
    return true;
}
