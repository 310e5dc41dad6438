#include "engine/pdf/DocumentInfoPass.h"

// Use qpdf without its old PointerHolder compatibility layer.
#define POINTERHOLDER_TRANSITION 4

#include "engine/pdf/PdfDate.h"

#include <qpdf/QPDF.hh>
#include <qpdf/QPDFObjectHandle.hh>
#include <qpdf/QPDFWriter.hh>

#include <QFile>
#include <QRegularExpression>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <unistd.h>

namespace {

// Text as XML character data: escaped, without the control characters XML
// cannot hold at all.
QString xml(QString text)
{
    text.removeIf([](QChar c) { return c.unicode() < 0x20 && c != u'\t' && c != u'\n' && c != u'\r'; });
    text.removeIf([](QChar c) { return c.unicode() == 0xFFFE || c.unicode() == 0xFFFF; });
    return text.toHtmlEscaped();
}

QString field(QPDFObjectHandle info, const char* key)
{
    QPDFObjectHandle v = info.getKey(key);
    return v.isString() ? QString::fromStdString(v.getUTF8Value()) : QString();
}

// The XMP packet for the information dictionary's fields.
std::string xmpPacket(QPDFObjectHandle info)
{
    QString body;
    auto alt = [&](const char* tag, const QString& v) {
        if (!v.isEmpty())
            body += QString("   <%1><rdf:Alt><rdf:li xml:lang=\"x-default\">%2</rdf:li></rdf:Alt></%1>\n").arg(tag, xml(v));
    };
    auto plain = [&](const char* tag, const QString& v) {
        if (!v.isEmpty())
            body += QString("   <%1>%2</%1>\n").arg(tag, xml(v));
    };
    alt("dc:title", field(info, "/Title"));
    if (const QString author = field(info, "/Author"); !author.isEmpty())
        body += QString("   <dc:creator><rdf:Seq><rdf:li>%1</rdf:li></rdf:Seq></dc:creator>\n").arg(xml(author));
    alt("dc:description", field(info, "/Subject"));
    plain("pdf:Keywords", field(info, "/Keywords"));
    plain("xmp:CreateDate", DocumentInfoPass::XmpDate(field(info, "/CreationDate")));
    plain("xmp:ModifyDate", DocumentInfoPass::XmpDate(field(info, "/ModDate")));
    plain("xmp:CreatorTool", field(info, "/Creator"));
    plain("pdf:Producer", field(info, "/Producer"));
    const QString packet =
        QString::fromUtf8("<?xpacket begin=\"\xEF\xBB\xBF\" id=\"W5M0MpCehiHzreSzNTczkc9d\"?>\n") +
        "<x:xmpmeta xmlns:x=\"adobe:ns:meta/\">\n"
        " <rdf:RDF xmlns:rdf=\"http://www.w3.org/1999/02/22-rdf-syntax-ns#\">\n"
        "  <rdf:Description rdf:about=\"\"\n"
        "    xmlns:dc=\"http://purl.org/dc/elements/1.1/\"\n"
        "    xmlns:xmp=\"http://ns.adobe.com/xap/1.0/\"\n"
        "    xmlns:pdf=\"http://ns.adobe.com/pdf/1.3/\">\n" +
        body +
        "  </rdf:Description>\n"
        " </rdf:RDF>\n"
        "</x:xmpmeta>\n" +
        // Room for editors to change the packet in place, as XMP asks.
        QString(10, QChar(' ')).append('\n').repeated(20) + "<?xpacket end=\"w\"?>";
    return packet.toStdString();
}

// A date field as a plain string, when the toolkit wrote it as text.
void plainDate(QPDFObjectHandle info, const char* key)
{
    QPDFObjectHandle v = info.getKey(key);
    if (!v.isString())
        return;
    const QString text = QString::fromStdString(v.getUTF8Value());
    if (!DocumentInfoPass::XmpDate(text).isEmpty())
        info.replaceKey(key, QPDFObjectHandle::newString(text.toStdString()));
}

} // namespace

QString DocumentInfoPass::XmpDate(const QString& pdfDate)
{
    static const QRegularExpression form(
        QStringLiteral(R"(^D:(\d{4})(\d{2})?(\d{2})?(\d{2})?(\d{2})?(\d{2})?(?:([Zz])|([+-])(\d{2})'?(?:(\d{2})'?)?)?$)"));
    const QRegularExpressionMatch m = form.match(pdfDate.trimmed());
    if (!m.hasMatch())
        return {};
    auto part = [&](int i, int lo, int hi, bool* ok) {
        const QString s = m.captured(i);
        const int v = s.toInt();
        *ok = *ok && (s.isEmpty() || (v >= lo && v <= hi));
        return s;
    };
    bool ok = true;
    const QString month = part(2, 1, 12, &ok), day = part(3, 1, 31, &ok), hour = part(4, 0, 23, &ok),
                  minute = part(5, 0, 59, &ok), second = part(6, 0, 59, &ok);
    if (!ok)
        return {};
    QString out = m.captured(1);
    if (month.isEmpty())
        return out;
    out += '-' + month;
    if (day.isEmpty())
        return out;
    out += '-' + day;
    if (hour.isEmpty() || minute.isEmpty())
        return out; // XMP takes a time only with its minutes
    out += 'T' + hour + ':' + minute;
    if (!second.isEmpty())
        out += ':' + second;
    if (!m.captured(7).isEmpty())
        out += 'Z';
    else if (!m.captured(8).isEmpty())
        out += m.captured(8) + m.captured(9) + ':' + (m.captured(10).isEmpty() ? QStringLiteral("00") : m.captured(10));
    return out;
}

bool DocumentInfoPass::Run(const QString& pdf, QString* error)
{
    const QString partial = pdf + ".part";
    const QByteArray partial8 = QFile::encodeName(partial);
    std::FILE* out = nullptr;
    try {
        QPDF doc;
        doc.setSuppressWarnings(true);
        doc.processFile(QFile::encodeName(pdf).constData());
        QPDFObjectHandle info = doc.getTrailer().getKey("/Info");
        if (!info.isDictionary()) {
            *error = QStringLiteral("The finished document %1 has no document information.").arg(pdf);
            return false;
        }
        plainDate(info, "/CreationDate");
        // The toolkit sets it only when it joins pages.
        if (!info.getKey("/ModDate").isString())
            info.replaceKey("/ModDate", QPDFObjectHandle::newString(PdfDateString().toStdString()));
        else
            plainDate(info, "/ModDate");
        QPDFObjectHandle xmp = QPDFObjectHandle::newStream(&doc, xmpPacket(info));
        xmp.getDict().replaceKey("/Type", QPDFObjectHandle::newName("/Metadata"));
        xmp.getDict().replaceKey("/Subtype", QPDFObjectHandle::newName("/XML"));
        doc.getRoot().replaceKey("/Metadata", xmp);

        out = std::fopen(partial8.constData(), "wb");
        if (!out)
            throw std::runtime_error(std::strerror(errno));
        QPDFWriter writer(doc);
        // Our own file, so that a short write (a full disk) is seen: the
        // writer's own output does not check the end of the file.
        writer.setOutputFile(partial8.constData(), out, false);
        // Streams go through as they are, the metadata readable as text.
        writer.setDecodeLevel(qpdf_dl_none);
        writer.setCompressStreams(false);
        writer.setObjectStreamMode(qpdf_o_preserve);
        writer.setMinimumPDFVersion("1.4"); // metadata streams came with 1.4
        writer.write();
        const bool written = std::fflush(out) == 0 && !std::ferror(out) && ::fsync(::fileno(out)) == 0;
        const int saved = errno;
        const bool closed = std::fclose(out) == 0;
        out = nullptr;
        if (!written || !closed)
            throw std::runtime_error(std::strerror(written ? errno : saved));
    } catch (const std::exception& e) {
        if (out)
            std::fclose(out);
        QFile::remove(partial);
        *error = QStringLiteral("The document information of %1 could not be completed: %2")
                     .arg(pdf, QString::fromLocal8Bit(e.what()));
        return false;
    }
    // rename() replaces the old file in one step.
    if (std::rename(partial8.constData(), QFile::encodeName(pdf).constData()) != 0) {
        QFile::remove(partial);
        *error = QStringLiteral("The finished document %1 could not be put in place.").arg(pdf);
        return false;
    }
    return true;
}
