// Archive documents (--pdfa): the PDF/A-2b rules, read by qpdf, an XML
// parser and exiftool, and what renderers draw of them; and the words
// beside the document (--sidecar), put in place with it or not at all.
#include "JpegSamples.h"
#include "PdfaRules.h"
#include "TestSupport.h"
#include "cli_fixture.h"

#include <QDir>
#include <QFont>
#include <QImage>
#include <QJsonArray>
#include <QPainter>
#include <QProcess>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <functional>

using namespace testsupport;

namespace {

class ArchiveTest : public CliFixture {
protected:
    QString out(const QString& title) const { return inOut(title); }

    // A line of text on a page: grey, or colour as a JPEG the page keeps.
    QString textPicture(const QString& words, bool colour)
    {
        QImage page(1600, 400, colour ? QImage::Format_RGB32 : QImage::Format_Grayscale8);
        page.fill(colour ? QColor(250, 240, 200) : QColor(Qt::white));
        QPainter p(&page);
        QFont f("DejaVu Sans");
        f.setPixelSize(60);
        p.setFont(f);
        p.setPen(colour ? QColor(20, 40, 120) : QColor(Qt::black));
        p.drawText(page.rect(), Qt::AlignCenter, words);
        p.end();
        const QString path = tmp.filePath(QString("p%1.%2").arg(++m_pictures).arg(colour ? "jpg" : "png"));
        EXPECT_TRUE(page.save(path, nullptr, 80));
        return path;
    }

private:
    int m_pictures = 0;
};

// Each page as a renderer draws it, at a low resolution.
QList<QByteArray> drawn(const QString& renderer, const QString& pdf)
{
    QTemporaryDir d;
    const QString at = d.filePath("p");
    if (renderer == "gs")
        runProgram("gs", {"-q", "-dNOPAUSE", "-dBATCH", "-dSAFER", "-sDEVICE=ppmraw", "-r30", "-sOutputFile=" + at + "%d.ppm", pdf});
    else if (renderer == "mutool")
        runProgram("mutool", {"draw", "-q", "-r", "30", "-o", at + "%d.ppm", pdf});
    else
        runProgram("pdftoppm", {"-r", "30", pdf, at});
    QList<QByteArray> pages;
    for (const QString& f : QDir(d.path()).entryList({"*.ppm"}, QDir::Files, QDir::Name))
        pages << readAll(d.filePath(f));
    return pages;
}

// Three pages of text made with --pdfa --ocr eng keep every rule; qpdf finds
// nothing wrong, exiftool reads the identification, the text layer's font is
// embedded, and three renderers draw the pages as without --pdfa, which
// writes none of the archive's parts.
TEST_F(ArchiveTest, ThreeTextPagesKeepEveryRuleAndLookAsWithout)
{
    const QStringList pictures = {textPicture("Harbour lights at dawn", false),
                                  textPicture("Lighthouse keepers sleep", true),
                                  textPicture("Fishermen mend their nets", false)};
    const ProcessResult a = convert(QStringList{"-t", "archive", "-k", "", "--pdfa", "--ocr", "eng"} + pictures);
    ASSERT_EQ(a.exitCode, 0) << qPrintable(a.err);
    const ProcessResult b = convert(QStringList{"-t", "plain", "-k", "", "--ocr", "eng"} + pictures);
    ASSERT_EQ(b.exitCode, 0) << qPrintable(b.err);

    EXPECT_EQ(pdfa::Broken(pdfa::Read(out("archive"))).join('\n').toStdString(), "");
    const QString plainBroken = pdfa::Broken(pdfa::Read(out("plain"))).join('\n');
    EXPECT_TRUE(plainBroken.contains("output intent: 0") && plainBroken.contains("PDF/A identification"))
        << qPrintable(plainBroken);

    const ProcessResult check = runProgram("qpdf", {"--check", out("archive")});
    EXPECT_EQ(check.exitCode, 0);
    EXPECT_TRUE(check.out.contains("No syntax or stream encoding errors found")) << qPrintable(check.out + check.err);
    EXPECT_EQ(runProgram("exiftool", {"-s3", "-XMP-pdfaid:Part", "-XMP-pdfaid:Conformance", out("archive")}).out, "2\nB\n");
    EXPECT_TRUE(runProgram("pdffonts", {out("archive")}).out.contains(
        QRegularExpression("GlyphLessFont\\s+CID TrueType\\s+Identity-H\\s+yes")));
    EXPECT_EQ(runProgram("pdftotext", {out("archive"), "-"}).out.simplified(),
              "Harbour lights at dawn Lighthouse keepers sleep Fishermen mend their nets");

    for (const QString renderer : {"gs", "mutool", "pdftoppm"}) {
        const QList<QByteArray> archive = drawn(renderer, out("archive"));
        EXPECT_EQ(archive.size(), 3) << qPrintable(renderer);
        EXPECT_TRUE(archive == drawn(renderer, out("plain"))) << qPrintable(renderer);
    }
}

// Each rule fails on the archive document broken on purpose in its way.
TEST_F(ArchiveTest, EachRuleFailsWhenItIsBroken)
{
    const ProcessResult made = convert({"-t", "archive", "--pdfa", textPicture("Broken on purpose", true)});
    ASSERT_EQ(made.exitCode, 0) << qPrintable(made.err);
    const QJsonObject json = pdfa::Read(out("archive"));
    ASSERT_EQ(pdfa::Broken(json).join("\n").toStdString(), "");

    using Objects = QJsonObject;
    // The object's dictionary (a stream's too), changed by f.
    auto edit = [](Objects& o, const QString& ref, const std::function<void(QJsonObject&)>& f) {
        QJsonObject entry = o["obj:" + ref].toObject();
        if (entry.contains("stream")) {
            QJsonObject stream = entry["stream"].toObject();
            QJsonObject dict = stream["dict"].toObject();
            f(dict);
            stream["dict"] = dict;
            entry["stream"] = stream;
        } else {
            QJsonObject value = entry["value"].toObject();
            f(value);
            entry["value"] = value;
        }
        o["obj:" + ref] = entry;
    };
    auto trailer = [](Objects& o, const std::function<void(QJsonObject&)>& f) {
        QJsonObject t = o["trailer"].toObject();
        QJsonObject v = t["value"].toObject();
        f(v);
        t["value"] = v;
        o["trailer"] = t;
    };
    auto ref = [](const Objects& o, const char* key) { return o["trailer"].toObject()["value"].toObject()[key].toString(); };
    auto metadata = [&](const Objects& o) {
        return o["obj:" + ref(o, "/Root")].toObject()["value"].toObject()["/Metadata"].toString();
    };
    auto firstWith = [](const Objects& o, const QString& key, const QString& value) {
        for (auto it = o.begin(); it != o.end(); ++it) {
            const QJsonObject e = it.value().toObject();
            const QJsonObject d = e.contains("stream") ? e["stream"].toObject()["dict"].toObject() : e["value"].toObject();
            if (d[key].toString() == value)
                return it.key().mid(4);
        }
        return QString();
    };
    auto packet = [&](Objects& o, const QByteArray& from, const QByteArray& to) {
        QJsonObject e = o["obj:" + metadata(o)].toObject();
        QJsonObject s = e["stream"].toObject();
        s["data"] = QString::fromLatin1(QByteArray::fromBase64(s["data"].toString().toLatin1()).replace(from, to).toBase64());
        e["stream"] = s;
        o["obj:" + metadata(o)] = e;
    };
    const QString page = json["pages"].toArray().at(0).toObject()["object"].toString();

    const struct {
        const char* rule;
        std::function<void(QJsonObject& json, Objects& o)> breakIt;
    } rows[] = {
        {"no encryption", [](QJsonObject& j, Objects&) {
             QJsonObject e = j["encrypt"].toObject();
             e["encrypted"] = true;
             j["encrypt"] = e;
         }},
        {"trailer ID", [&](QJsonObject&, Objects& o) { trailer(o, [](QJsonObject& t) { t.remove("/ID"); }); }},
        {"output intent", [&](QJsonObject&, Objects& o) {
             edit(o, ref(o, "/Root"), [](QJsonObject& d) { d.remove("/OutputIntents"); });
         }},
        {"XMP well-formed", [&](QJsonObject&, Objects& o) { packet(o, "</x:xmpmeta>", ""); }},
        {"PDF/A identification", [&](QJsonObject&, Objects& o) { packet(o, "<pdfaid:part>2", "<pdfaid:part>1"); }},
        {"information in XMP", [&](QJsonObject&, Objects& o) {
             edit(o, ref(o, "/Info"), [](QJsonObject& d) { d["/Title"] = "u:Another title"; });
         }},
        {"fonts embedded", [&](QJsonObject&, Objects& o) {
             o["obj:999 0 R"] = QJsonObject{{"value", QJsonObject{{"/Type", "/Font"}, {"/Subtype", "/TrueType"},
                                                                 {"/BaseFont", "/Arial"}}}};
         }},
        {"no LZW", [&](QJsonObject&, Objects& o) {
             edit(o, metadata(o), [](QJsonObject& d) { d["/Filter"] = "/LZWDecode"; });
         }},
        {"no JavaScript", [&](QJsonObject&, Objects& o) {
             edit(o, ref(o, "/Root"), [](QJsonObject& d) {
                 d["/OpenAction"] = QJsonObject{{"/S", "/JavaScript"}, {"/JS", "u:app.alert(1)"}};
             });
         }},
        {"no external streams", [&](QJsonObject&, Objects& o) {
             edit(o, metadata(o), [](QJsonObject& d) { d["/F"] = "u:elsewhere.xml"; });
         }},
        {"transparency", [&](QJsonObject&, Objects& o) {
             edit(o, page, [](QJsonObject& d) {
                 d["/Resources"] = QJsonObject{{"/ExtGState", QJsonObject{{"/G0", QJsonObject{{"/BM", "/Glow"}}}}}};
             });
         }},
        {"no device CMYK", [&](QJsonObject&, Objects& o) {
             edit(o, firstWith(o, "/Subtype", "/Image"), [](QJsonObject& d) { d["/ColorSpace"] = "/DeviceCMYK"; });
         }},
        {"page size", [&](QJsonObject&, Objects& o) {
             edit(o, page, [](QJsonObject& d) { d["/MediaBox"] = QJsonArray{0, 0, 2.5, 400}; });
         }},
    };
    QStringList tested;
    for (const auto& row : rows) {
        QJsonObject j = json;
        Objects o = pdfa::Objects(j);
        row.breakIt(j, o);
        const QStringList broken = pdfa::Broken(pdfa::WithObjects(j, o));
        ASSERT_EQ(broken.size(), 1) << row.rule << ": " << qPrintable(broken.join('\n'));
        EXPECT_TRUE(broken.first().startsWith(QString(row.rule) + ": ")) << qPrintable(broken.first());
        tested << row.rule;
    }
    EXPECT_EQ(tested, pdfa::RuleNames());
}

// A job that fails leaves an earlier words file as it was and nothing
// beside it; a mistake in asking for one is said before any page; a job
// that succeeds replaces it.
TEST_F(ArchiveTest, WordsBesideTheDocumentComeOnlyWithIt)
{
    const QString words = tmp.filePath("words.txt"), good = textPicture("Quiet morning", false);
    ASSERT_TRUE(writeFile(words, "earlier words"));
    ASSERT_TRUE(writeFile(tmp.filePath("bad.png"), "not a picture"));
    const struct {
        QStringList args;
        int exitCode;
        const char* said;
    } rows[] = {
        {{"--ocr", "eng", "--sidecar", words, good, tmp.filePath("bad.png")}, 1, "bad.png"},
        {{"--sidecar", words, good}, 2, "--sidecar needs --ocr"},
        {{"--ocr", "eng", "--sidecar", tmp.filePath("none/words.txt"), good}, 1, "does not exist"},
        {{"-t", "x", "--ocr", "eng", "--sidecar", tmp.filePath("out/x.pdf"), good}, 1, "that is the document itself"},
        {{"-t", "x", "--ocr", "eng", "--sidecar", tmp.filePath("link/x.pdf"), good}, 1, "that is the document itself"},
    };
    ASSERT_TRUE(QDir().mkpath(tmp.filePath("out")) && QFile::link(tmp.filePath("out"), tmp.filePath("link")));
    const QStringList before = QDir(tmp.path()).entryList(QDir::Files | QDir::Hidden);
    for (const auto& row : rows) {
        const ProcessResult r = convert(row.args);
        EXPECT_EQ(r.exitCode, row.exitCode) << row.said;
        EXPECT_TRUE(r.err.contains(row.said)) << qPrintable(r.err);
        EXPECT_EQ(readAll(words), "earlier words");
        EXPECT_EQ(QDir(tmp.path()).entryList(QDir::Files | QDir::Hidden), before);
    }
    const ProcessResult r = convert({"--ocr", "eng", "--sidecar", words, good});
    ASSERT_EQ(r.exitCode, 0) << qPrintable(r.err);
    EXPECT_EQ(QString::fromUtf8(readAll(words)).simplified(), "Quiet morning");
}

// CMYK pages keep their profile; a CMYK picture without one, or a page
// smaller than PDF/A allows, is refused with the reason, and only for an
// archive document.
TEST_F(ArchiveTest, PicturesAnArchiveCannotHoldAreRefusedSayingWhy)
{
    std::vector<uint8_t> inks;
    for (int k = 0; k < 64 * 32; ++k)
        inks.insert(inks.end(), {uint8_t(k % 64 * 4), 40, uint8_t(k / 64 * 8), 0});
    JpegRecipe recipe;
    recipe.model = JpegRecipe::Model::Cmyk;
    const QString bare = tmp.filePath("bare.jpg"), profiled = tmp.filePath("profiled.jpg"), tiny = tmp.filePath("tiny.png");
    ASSERT_TRUE(writeFile(bare, makeJpeg(64, 32, inks, recipe)));
    recipe.icc = readAll("/usr/share/color/icc/ghostscript/default_cmyk.icc");
    ASSERT_FALSE(recipe.icc.isEmpty());
    ASSERT_TRUE(writeFile(profiled, makeJpeg(64, 32, inks, recipe)));
    ASSERT_TRUE(QImage(4, 4, QImage::Format_RGB32).save(tiny));
    // Kinds FreeImage hands over as RGB: a separated TIFF and a PSD in CMYK mode.
    QStringList converted;
    for (const char* kind : {"tif", "psd"}) {
        converted << tmp.filePath(QString("cmyk.") + kind);
        ASSERT_EQ(runProgram("convert", {"-size", "64x32", "xc:orange", "-colorspace", "CMYK", converted.last()}).exitCode, 0);
    }
    const struct {
        QString picture;
        bool pdfa;
        const char* said; // empty: made
    } rows[] = {
        {profiled, true, ""},
        {bare, true, "its colours are CMYK without an ICC profile"},
        {bare, false, ""},
        {converted[0], true, "its colours are CMYK without an ICC profile"},
        {converted[1], true, "its colours are CMYK without an ICC profile"},
        {tiny, true, "its page would be 1.42 x 1.42 points, and a PDF/A page is at least 3 points"},
        {tiny, false, ""},
    };
    for (const auto& row : rows) {
        const ProcessResult r = convert(QStringList{"-t", "doc"} + (row.pdfa ? QStringList{"--pdfa"} : QStringList{}) + QStringList{row.picture});
        EXPECT_EQ(r.exitCode, *row.said ? 1 : 0) << qPrintable(row.picture + r.err);
        EXPECT_TRUE(r.err.contains(row.said)) << qPrintable(r.err);
        if (!*row.said && row.pdfa) {
            EXPECT_EQ(pdfa::Broken(pdfa::Read(out("doc"))).join("\n").toStdString(), "");
        }
        QFile::remove(out("doc"));
    }
}

} // namespace
