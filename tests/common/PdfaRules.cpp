#include "PdfaRules.h"

#include "TestSupport.h"

#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>
#include <QMap>
#include <QRegularExpression>
#include <QXmlStreamReader>

#include <functional>

namespace pdfa {
namespace {

class View {
public:
    explicit View(const QJsonObject& json)
        : m_json(json), m_objects(Objects(json))
    {
    }

    // A reference followed to its object's value (a stream: its dictionary).
    QJsonValue resolve(const QJsonValue& v) const
    {
        if (!v.isString() || !v.toString().endsWith(" R"))
            return v;
        const QJsonObject o = m_objects.value("obj:" + v.toString()).toObject();
        return o.contains("stream") ? QJsonValue(o["stream"].toObject()["dict"]) : o["value"];
    }
    QJsonObject dict(const QJsonValue& v) const { return resolve(v).toObject(); }
    // A stream's decoded bytes (qpdf decodes what it can; the rest is raw).
    QByteArray data(const QJsonValue& ref) const
    {
        const QJsonObject o = m_objects.value("obj:" + ref.toString()).toObject();
        return QByteArray::fromBase64(o["stream"].toObject()["data"].toString().toLatin1());
    }
    QJsonObject trailer() const { return m_objects["trailer"].toObject()["value"].toObject(); }
    QJsonObject root() const { return dict(trailer()["/Root"]); }
    const QJsonObject& json() const { return m_json; }

    // Every dictionary of the document (stream dictionaries too, and those
    // nested in arrays and dictionaries), with the stream's reference.
    void eachDict(const std::function<void(const QJsonObject&, const QString& stream)>& f) const
    {
        std::function<void(const QJsonValue&, const QString&)> walk = [&](const QJsonValue& v, const QString& s) {
            if (v.isObject()) {
                f(v.toObject(), s);
                for (const QJsonValue& c : v.toObject())
                    walk(c, QString());
            } else if (v.isArray()) {
                for (const QJsonValue& c : v.toArray())
                    walk(c, QString());
            }
        };
        for (auto it = m_objects.begin(); it != m_objects.end(); ++it) {
            const QJsonObject o = it.value().toObject();
            if (o.contains("stream"))
                walk(o["stream"].toObject()["dict"], it.key().mid(4));
            else
                walk(o["value"], QString());
        }
    }

private:
    QJsonObject m_json;
    QJsonObject m_objects;
};

// A PDF string of qpdf's JSON as text: "u:" is text already, "b:" hex bytes
// (UTF-16 with its byte order mark, or PDFDocEncoding, taken as Latin-1).
QString text(const QJsonValue& v)
{
    const QString s = v.toString();
    if (s.startsWith("u:"))
        return s.mid(2);
    const QByteArray b = QByteArray::fromHex(s.mid(2).toLatin1());
    if (b.startsWith("\xFE\xFF")) {
        QString out;
        for (qsizetype i = 2; i + 1 < b.size(); i += 2)
            out += QChar(ushort(uchar(b[i]) << 8 | uchar(b[i + 1])));
        return out;
    }
    return QString::fromLatin1(b);
}

// A PDF date as a moment; invalid when it is none.
QDateTime pdfDate(const QString& s)
{
    const QRegularExpressionMatch m = QRegularExpression("^D:(\\d{14})(Z|([+-])(\\d\\d)'(\\d\\d)'?)?$").match(s);
    if (!m.hasMatch())
        return {};
    QDateTime t = QDateTime::fromString(m.captured(1), "yyyyMMddHHmmss");
    if (!m.captured(3).isEmpty()) {
        const int offset = (m.captured(4).toInt() * 60 + m.captured(5).toInt()) * 60;
        t = QDateTime(t.date(), t.time(), Qt::OffsetFromUTC, m.captured(3) == "-" ? -offset : offset);
    } else if (m.captured(2) == "Z") {
        t = QDateTime(t.date(), t.time(), Qt::UTC);
    }
    return t;
}

// The XMP packet's simple and first-item values by qualified name
// ("dc:title", "pdfaid:part"), or *error when it is not well-formed XML.
QMap<QString, QString> xmpValues(const QByteArray& packet, QString* error)
{
    QMap<QString, QString> values;
    QXmlStreamReader xml(packet);
    QStringList path;
    QString textSoFar;
    while (!xml.atEnd()) {
        xml.readNext();
        if (xml.isStartElement()) {
            path << xml.qualifiedName().toString();
            textSoFar.clear();
        } else if (xml.isCharacters()) {
            textSoFar += xml.text();
        } else if (xml.isEndElement()) {
            const QString name = path.takeLast();
            // The property is the element under rdf:Description; its value
            // the first rdf:li of an Alt or Seq, or its own text.
            const qsizetype at = path.lastIndexOf("rdf:Description");
            if (at >= 0 && at + 1 <= path.size()) {
                const QString property = at + 1 < path.size() ? path[at + 1] : name;
                if (!values.contains(property) && (name == "rdf:li" || at + 1 == path.size()))
                    values[property] = textSoFar;
            }
            textSoFar.clear();
        }
    }
    if (xml.hasError())
        *error = xml.errorString() + " at line " + QString::number(xml.lineNumber());
    return values;
}

QStringList names(const QJsonValue& v)
{
    QStringList out;
    if (v.isArray())
        for (const QJsonValue& n : v.toArray())
            out << n.toString();
    else if (v.isString())
        out << v.toString();
    return out;
}

// Operators and names of a content stream, strings and comments left out.
QStringList contentTokens(const QByteArray& content)
{
    QString s = QString::fromLatin1(content);
    s.remove(QRegularExpression("<[0-9A-Fa-f\\s]*>|\\((?:\\\\.|[^()\\\\])*\\)|%[^\\r\\n]*"));
    return s.split(QRegularExpression("[\\s\\[\\]{}<>()]+|(?=/)"), Qt::SkipEmptyParts);
}

} // namespace

QJsonObject Read(const QString& pdf)
{
    const testsupport::ProcessResult r = testsupport::runProgram(
        "qpdf", {"--json", "--json-stream-data=inline", "--decode-level=generalized", pdf});
    return r.exitCode == 0 ? QJsonDocument::fromJson(r.out.toUtf8()).object() : QJsonObject();
}

QJsonObject Objects(const QJsonObject& json)
{
    return json["qpdf"].toArray().at(1).toObject();
}

QJsonObject WithObjects(QJsonObject json, const QJsonObject& objects)
{
    QJsonArray q = json["qpdf"].toArray();
    q[1] = objects;
    json["qpdf"] = q;
    return json;
}

QStringList Broken(const QJsonObject& json)
{
    const View doc(json);
    QStringList broken;
    auto fail = [&](const QString& rule, const QString& seen) {
        if (!broken.join('\n').contains(rule + ": "))
            broken << rule + ": " + seen;
    };
    if (json.isEmpty() || doc.root().isEmpty())
        return {"unreadable: qpdf could not read the document"};

    if (json["encrypt"].toObject()["encrypted"].toBool() || doc.trailer().contains("/Encrypt"))
        fail("no encryption", "the document is encrypted");
    const QJsonArray id = doc.trailer()["/ID"].toArray();
    if (id.size() != 2 || text(id[0]).isEmpty() || text(id[1]).isEmpty())
        fail("trailer ID", "the trailer has no /ID of two strings");

    // One GTS_PDFA1 intent, its profile an RGB ICC profile of version 2 or 4.
    const QJsonArray intents = doc.resolve(doc.root()["/OutputIntents"]).toArray();
    int pdfaIntents = 0;
    for (const QJsonValue& i : intents) {
        const QJsonObject intent = doc.dict(i);
        if (intent["/S"].toString() != "/GTS_PDFA1")
            continue;
        ++pdfaIntents;
        const QJsonValue profileRef = intent["/DestOutputProfile"];
        const QByteArray icc = doc.data(profileRef);
        if (doc.dict(profileRef)["/N"].toInt() != 3 || icc.size() < 128 || icc.mid(36, 4) != "acsp"
            || icc.mid(16, 4) != "RGB " || (icc[8] != 2 && icc[8] != 4))
            fail("output intent", "its DestOutputProfile is no RGB ICC profile of version 2 or 4");
        if (intent["/OutputConditionIdentifier"].toString().isEmpty())
            fail("output intent", "it has no OutputConditionIdentifier");
    }
    if (pdfaIntents != 1)
        fail("output intent", QString("%1 GTS_PDFA1 output intents").arg(pdfaIntents));

    // The XMP packet, its identification and its mirror of the information.
    const QByteArray packet = doc.data(doc.root()["/Metadata"]);
    QString xmlError;
    const QMap<QString, QString> xmp = xmpValues(packet, &xmlError);
    const QRegularExpressionMatch head = QRegularExpression("^<\\?xpacket ([^?]*)\\?>").match(QString::fromUtf8(packet));
    if (packet.isEmpty() || !xmlError.isEmpty() || !head.hasMatch() || head.captured(1).contains("bytes=")
        || head.captured(1).contains("encoding=") || !packet.trimmed().endsWith("<?xpacket end=\"w\"?>"))
        fail("XMP well-formed", packet.isEmpty() ? "no metadata stream" : xmlError.isEmpty() ? "xpacket wrapper" : xmlError);
    if (xmp.value("pdfaid:part") != "2" || xmp.value("pdfaid:conformance") != "B"
        || !packet.contains("xmlns:pdfaid=\"http://www.aiim.org/pdfa/ns/id/\""))
        fail("PDF/A identification", "part " + xmp.value("pdfaid:part") + ", conformance " + xmp.value("pdfaid:conformance"));
    const QJsonObject info = doc.dict(doc.trailer()["/Info"]);
    const QMap<QString, QString> mirror = {
        {"/Title", "dc:title"},       {"/Author", "dc:creator"},       {"/Subject", "dc:description"},
        {"/Keywords", "pdf:Keywords"}, {"/Creator", "xmp:CreatorTool"}, {"/Producer", "pdf:Producer"},
        {"/CreationDate", "xmp:CreateDate"}, {"/ModDate", "xmp:ModifyDate"}, {"/Trapped", "pdf:Trapped"},
    };
    for (auto it = info.begin(); it != info.end(); ++it) {
        const QString property = mirror.value(it.key());
        if (property.isEmpty())
            continue;
        const QString value = it.key() == "/Trapped" ? it.value().toString().mid(1) : text(it.value());
        const bool date = it.key().endsWith("Date");
        const QDateTime moment = pdfDate(value);
        if (!xmp.contains(property) || (date && (!moment.isValid()
                                                 || moment != QDateTime::fromString(xmp[property], Qt::ISODate)))
            || (!date && xmp[property] != value))
            fail("information in XMP", it.key() + " \"" + value + "\" against " + property
                     + (xmp.contains(property) ? " \"" + xmp[property] + "\"" : QString(" (missing)")));
    }

    const QStringList blendModes = {"/Normal",   "/Compatible", "/Multiply",   "/Screen",    "/Overlay",
                                    "/Darken",   "/Lighten",    "/ColorDodge", "/ColorBurn", "/HardLight",
                                    "/SoftLight", "/Difference", "/Exclusion", "/Hue",       "/Saturation",
                                    "/Color",    "/Luminosity"};
    doc.eachDict([&](const QJsonObject& d, const QString& stream) {
        const QString type = d["/Type"].toString(), subtype = d["/Subtype"].toString();
        if (type == "/Font" && subtype != "/Type3" && subtype != "/Type0") {
            const QJsonObject fd = doc.dict(d["/FontDescriptor"]);
            if (!fd.contains("/FontFile") && !fd.contains("/FontFile2") && !fd.contains("/FontFile3"))
                fail("fonts embedded", d["/BaseFont"].toString() + " has no font program");
        }
        if (type == "/Font" && subtype == "/Type0" && names(doc.resolve(d["/DescendantFonts"])).isEmpty())
            fail("fonts embedded", d["/BaseFont"].toString() + " has no descendant font");
        for (const QString& filter : names(doc.resolve(d["/Filter"])))
            if (filter == "/LZWDecode" || filter == "/Crypt")
                fail("no LZW", filter + " in a stream");
        if (d.contains("/JS") || d["/S"].toString() == "/JavaScript" || d.contains("/AA")
            || doc.dict(d["/Names"]).contains("/JavaScript"))
            fail("no JavaScript", "a script or an additional action");
        if (!stream.isEmpty() && (d.contains("/F") || d.contains("/FFilter") || d.contains("/FDecodeParms")))
            fail("no external streams", "stream " + stream + " names a file");
        if (d.contains("/BM"))
            for (const QString& bm : names(doc.resolve(d["/BM"])))
                if (!blendModes.contains(bm))
                    fail("transparency", "blend mode " + bm);
        if (subtype == "/Image" && d.contains("/SMask")
            && doc.dict(d["/SMask"])["/ColorSpace"].toString() != "/DeviceGray")
            fail("transparency", "a soft mask not in DeviceGray");
        if (d["/S"].toString() == "/Transparency" && !d.contains("/CS") && pdfaIntents == 0)
            fail("transparency", "a transparency group without colour space or output intent");
        if (subtype == "/Image" && d["/Interpolate"].toBool())
            fail("transparency", "an image asks for interpolation");
        QStringList spaces = names(doc.resolve(d["/ColorSpace"]));
        for (const QJsonValue& cs : doc.dict(d["/ColorSpace"]))
            spaces += names(doc.resolve(cs));
        if (spaces.contains("/DeviceCMYK"))
            fail("no device CMYK", "DeviceCMYK without its ICC profile");
    });
    // The pages: their size, and no CMYK colour set by operator.
    for (const QJsonValue& p : json["pages"].toArray()) {
        const QJsonObject page = doc.dict(p.toObject()["object"]);
        const QJsonArray box = doc.resolve(page["/MediaBox"]).toArray();
        const double w = box.at(2).toDouble() - box.at(0).toDouble(), h = box.at(3).toDouble() - box.at(1).toDouble();
        if (box.size() != 4 || w < 3 || h < 3 || w > 14400 || h > 14400)
            fail("page size", QString("%1 x %2 pt").arg(w).arg(h));
        for (const QJsonValue& c : p.toObject()["contents"].toArray())
            for (const QString& token : contentTokens(doc.data(c)))
                if (token == "k" || token == "K" || token == "/DeviceCMYK")
                    fail("no device CMYK", "the content sets a CMYK colour (" + token + ")");
    }
    return broken;
}

} // namespace pdfa
