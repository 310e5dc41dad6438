// velunor-docinfo, run as the job runs it and judged by poppler, exiftool and
// qpdf; on a bad information file or document: a message, exit status 1, and
// the earlier output left as it was.
#include "PageMakerFixture.h"
#include "PdfaRules.h"
#include "RecordingMessageSink.h"
#include "TestSupport.h"
#include "engine/job/PageMaker.h"
#include "engine/job/ToolkitSteps.h"
#include "platform/AppPaths.h"
#include "platform/DOSOutputs.h"

#include <FreeImage.h>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QCryptographicHash>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace testsupport;

namespace {

class DocinfoTest : public PageMakerFixture {
protected:
    const QTemporaryDir& base = dir;
    DOSOutputs runner {sink};
    QString chain;

    void SetUp() override
    {
        PageMakerFixture::SetUp();
        // Two real pages, joined as the job joins them.
        for (int i = 0; i < 2; ++i) {
            const QString pic = base.filePath(QString("p%1.png").arg(i));
            ASSERT_TRUE(writeTestPicture(pic, FIF_PNG, 90 + 30 * i, 60));
            ASSERT_TRUE(maker.MakePage(i, pic, 85).ok());
        }
        chain = folders.chainFile(2);
        ASSERT_EQ(runProgram("qpdf", {"--empty", "--pages", folders.pageFile(0), folders.pageFile(1), "--", chain})
                      .exitCode, 0);
    }

    ProcessResult docinfo(const QString& input, const QString& info, const QString& output, bool pdfa = false)
    {
        return runProgram(AppPaths::HelperProgram("velunor-docinfo"),
                          (pdfa ? QStringList{"--pdfa"} : QStringList{}) + QStringList{input, "update_info", info, "output", output, "dont_ask"});
    }
    // pdfimages' list without the object numbers.
    QStringList imagesOf(const QString& pdf)
    {
        QStringList seen = runProgram("pdfimages", {"-list", pdf}).out.split('\n');
        for (QString& line : seen)
            line = line.simplified().section(' ', 0, 9) + ' ' + line.simplified().section(' ', 12);
        return seen;
    }
    QString rawDate(const QString& pdf, const QString& key)
    {
        for (const QString& line : runProgram("pdfinfo", {"-rawdates", pdf}).out.split('\n'))
            if (line.startsWith(key + ':'))
                return line.mid(key.size() + 1).trimmed();
        return "<missing>";
    }
};

TEST_F(DocinfoTest, SetsTheSevenFieldsPlainDatesAndTheXmpMirror)
{
    const struct Row {
        const char* what;
        DocumentInfo info;
        bool older = false; // the older form: records that begin "InfoBegin", bare line feeds
    } rows[] = {
        {"markup, ampersands, references, CJK", {"Café — 東京", "A & B", "D:20240102030405-06'00", "<b>", "&#233;"}},
        {"empty author, subject and keywords", {"Only a title", "", "D:20240131154500Z", "", ""}},
        {"the older form", {"T", "Ann O'Neil", "D:20240131154500+01'00", "S", "k1, k2"}, true},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        ASSERT_TRUE(ToolkitSteps(runner, folders).WriteInfoFile(row.info));
        const QByteArray older =
            readAll(folders.infoFile()).replace("\r\n", "\n").replace("InfoKey", "InfoBegin\nInfoKey");
        ASSERT_TRUE(!row.older || writeFile(folders.infoFile(), older));
        const QString out = folders.finishedFile();
        // A new output gets the usual permissions, a replaced one keeps its own.
        const bool replacing = QFileInfo::exists(out);
        ASSERT_TRUE(!replacing || ::chmod(QFile::encodeName(out).constData(), 0604) == 0);
        const ProcessResult r = docinfo(chain, folders.infoFile(), out);
        ASSERT_EQ(r.exitCode, 0) << qPrintable(r.err);
        struct stat st {};
        ASSERT_EQ(::stat(QFile::encodeName(out).constData(), &st), 0);
        const mode_t mask = ::umask(0);
        ::umask(mask);
        EXPECT_EQ(st.st_mode & 07777, replacing ? 0604u : 0666u & ~mask);
        EXPECT_EQ(runProgram("qpdf", {"--check", out}).exitCode, 0);
        EXPECT_EQ(pdfPageCount(out), 2);
        // The pictures are the chain's, byte for byte.
        EXPECT_EQ(imagesOf(out), imagesOf(chain));

        const DocumentInfo& in = row.info;
        EXPECT_EQ(rawDate(out, "CreationDate"), in.creationDate);
        EXPECT_TRUE(QRegularExpression(R"(^D:\d{14}[+-]\d\d'\d\d$)").match(rawDate(out, "ModDate")).hasMatch())
            << qPrintable(rawDate(out, "ModDate"));
        // Each field as poppler reads the information and exiftool its XMP mirror.
        const ProcessResult ex = runProgram("exiftool", {"-j", "-G1", "-charset", "pdf=UTF8", out});
        ASSERT_EQ(ex.exitCode, 0) << qPrintable(ex.err);
        const QJsonObject tags = QJsonDocument::fromJson(ex.out.toUtf8()).array().at(0).toObject();
        const struct {
            const char* info;
            const char* xmp;
            QString value;
        } fields[] = {{"Title", "XMP-dc:Title", in.title},         {"Author", "XMP-dc:Creator", in.author},
                      {"Subject", "XMP-dc:Description", in.subject}, {"Keywords", "XMP-pdf:Keywords", in.keywords},
                      {"Creator", "XMP-xmp:CreatorTool", "Velunor"}, {"Producer", "XMP-pdf:Producer", "Velunor"}};
        for (const auto& f : fields) {
            EXPECT_EQ(pdfInfoField(out, f.info).toStdString(), f.value.toStdString()) << f.info;
            EXPECT_EQ(tags[f.xmp].toVariant().toString().toStdString(), f.value.toStdString()) << f.xmp;
        }
        const QString created = tags["PDF:CreateDate"].toString();
        EXPECT_TRUE(created.startsWith(in.creationDate.mid(2, 4) + ':')) << qPrintable(created);
        EXPECT_EQ(tags["XMP-xmp:CreateDate"].toString(), created);
        EXPECT_EQ(tags["XMP-xmp:ModifyDate"].toString(), tags["PDF:ModifyDate"].toString());

        // As an archive document, with every rule kept.
        ASSERT_EQ(docinfo(chain, folders.infoFile(), out, true).exitCode, 0);
        EXPECT_EQ(pdfa::Broken(pdfa::Read(out)).join("\n").toStdString(), "");
    }
}

// Without --pdfa a document holds exactly what it held before archive documents
// came (dates and ID aside, which change with every run); with it, a date
// that is no date is refused.
TEST_F(DocinfoTest, WithoutPdfaTheDocumentIsAsBefore)
{
    const QByteArray page = "%PDF-1.4\n1 0 obj\n<< /Type /Catalog /Pages 2 0 R >>\nendobj\n2 0 obj\n<< /Type /Pages "
        "/Kids [3 0 R] /Count 1 >>\nendobj\n3 0 obj\n<< /Type /Page /Parent 2 0 R /MediaBox [0 0 72 36] /Contents 4 0 R "
        ">>\nendobj\n4 0 obj\n<< /Length 15 >>\nstream\n0 0 36 18 re f\nendstream\nendobj\nxref\n0 5\n0000000000 65535 "
        "f \n0000000009 00000 n \n0000000058 00000 n \n0000000115 00000 n \n0000000200 00000 n \ntrailer\n<< /Size 5 /Root "
        "1 0 R >>\nstartxref\n264\n%%EOF\n";
    const QString in = base.filePath("page.pdf"), out = base.filePath("out.pdf");
    ASSERT_TRUE(writeFile(in, page));
    ToolkitSteps steps(runner, folders);
    ASSERT_TRUE(steps.WriteInfoFile({"Fixed", "Ann", "D:20240131154500+01'00", "S", ""}));
    ASSERT_EQ(docinfo(in, folders.infoFile(), out).exitCode, 0);
    // Seen in qpdf's QDF form: the objects are packed in compressed object streams.
    const QString qdf = base.filePath("qdf.pdf");
    ASSERT_EQ(runProgram("qpdf", {"--qdf", "--object-streams=disable", out, qdf}).exitCode, 0);
    QString bytes = QString::fromLatin1(readAll(qdf));
    bytes.replace(QRegularExpression("D:\\d{14}[+-]\\d\\d'\\d\\d'?"), "D:X")
        .replace(QRegularExpression("/ID \\[ ?<[0-9a-f]+> ?<[0-9a-f]+> ?\\]"), "/ID[X]")
        .replace(QRegularExpression("<xmp:ModifyDate>[^<]*<"), "<xmp:ModifyDate>X<");
    EXPECT_EQ(QCryptographicHash::hash(bytes.toLatin1(), QCryptographicHash::Sha256).toHex().toStdString(),
              "5381830717c29e91ea230956f128e7a7db1106f316339a4b48124cfb5266fc51")
        << qPrintable(bytes);

    ASSERT_TRUE(steps.WriteInfoFile({"Fixed", "Ann", "yesterday", "S", ""}));
    const ProcessResult refused = docinfo(in, folders.infoFile(), out, true);
    EXPECT_EQ(refused.exitCode, 1);
    EXPECT_TRUE(refused.err.contains("the CreationDate \"yesterday\" is not a PDF date")) << qPrintable(refused.err);
}

// The output goes through checked writes, so a disk too full for it is a
// failure too.
TEST_F(DocinfoTest, BadInfoFileDocumentOrDiskSaysWhyAndLeavesTheEarlierOutput)
{
    ToolkitSteps steps(runner, folders);
    ASSERT_TRUE(steps.WriteInfoFile({"T", "A", "D:20240102030405Z", "S", "K"}));
    const QByteArray good = readAll(folders.infoFile());
    const QString garbage = base.filePath("garbage.pdf"), dir = base.filePath("out"), out = dir + "/tmpx.pdf";
    ASSERT_TRUE(writeFile(garbage, "%PDF-1.4 nothing of a document follows\n"));
    // Not the information step's command line: a usage error.
    EXPECT_EQ(runProgram(AppPaths::HelperProgram("velunor-docinfo"), {chain, "cat", folders.infoFile(), "output", out})
                  .exitCode, 2);
    // Never waited for: a pipe or a device in place of a file.
    const QString fifo = base.filePath("fifo");
    ASSERT_EQ(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    const struct Row {
        const char* what;
        QByteArray info; // "-" for no information file at all, "|" for a FIFO
        QString input;
        const char* said;
        bool fullDisk = false; // the output folder a disk half the chain's size
    } rows[] = {
        {"no information file", "-", chain, "No such file or directory"},
        {"empty information file", "", chain, "it is empty"},
        {"garbled line", good.left(good.indexOf("InfoKey: Subject")) + "Titel = Holiday\r\n"
             + good.mid(good.indexOf("InfoKey: Subject")), chain, "is not a line of"},
        {"value without its key", "InfoValue: lost\r\n" + good, chain, "without an \"InfoKey:\" line"},
        {"cut in the middle of a line", good.left(good.size() - 5), chain, "cut short"},
        {"cut after a key", good.left(good.indexOf("InfoValue: Velunor")), chain, "has no value"},
        {"cut after a whole record", good.left(good.lastIndexOf("InfoKey:")), chain, "gives no Producer"},
        {"not UTF-8", "InfoKey: Title\r\nInfoValue: Caf\xE9\r\n" + good.mid(good.indexOf("InfoKey: Author")),
         chain, "not UTF-8"},
        {"a key given twice", good + "InfoKey: Title\r\nInfoValue: again\r\n", chain, "given twice"},
        {"a NUL in a value", "InfoKey: Title\r\nInfoValue: a" + QByteArray(1, '\0') + "bc\r\n"
             + good.mid(good.indexOf("InfoKey: Author")), chain, "holds a NUL byte"},
        {"a FIFO as the information file", "|", chain, "it is not a file"},
        {"unreadable document", good, garbage, "cannot read the document"},
        {"a FIFO as the document", good, fifo, "it is not a file"},
        {"a device as the document", good, "/dev/zero", "it is not a file"},
        {"full disk (last: it needs root)", good, chain, "No space left on device", true},
    };
    const QByteArray earlier = "%PDF-1.4 the earlier output\n";
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        QDir(dir).removeRecursively();
        QDir().mkpath(dir);
        if (row.fullDisk && ::geteuid() != 0)
            GTEST_SKIP() << "mounting a small tmpfs needs root";
        const QByteArray size = "size=" + QByteArray::number(QFileInfo(chain).size() / 2);
        ASSERT_TRUE(!row.fullDisk || ::mount("tmpfs", QFile::encodeName(dir), "tmpfs", 0, size.constData()) == 0)
            << std::strerror(errno);
        const auto unmount = qScopeGuard([&] { if (row.fullDisk) ::umount2(QFile::encodeName(dir), MNT_DETACH); });
        ASSERT_TRUE(writeFile(out, earlier));
        QFile::remove(folders.infoFile());
        if (row.info == "|")
            ASSERT_EQ(::mkfifo(QFile::encodeName(folders.infoFile()).constData(), 0600), 0);
        else
            ASSERT_TRUE(row.info == "-" || writeFile(folders.infoFile(), row.info));
        const ProcessResult r = docinfo(row.input, folders.infoFile(), out);
        EXPECT_EQ(r.exitCode, 1);
        EXPECT_TRUE(r.err.startsWith("velunor-docinfo: ")) << qPrintable(r.err);
        EXPECT_TRUE(r.err.contains(row.said)) << qPrintable(r.err);
        EXPECT_EQ(readAll(out), earlier);
        EXPECT_EQ(QDir(dir).entryList(QDir::Files | QDir::Hidden), QStringList {"tmpx.pdf"});
    }
}

} // namespace
