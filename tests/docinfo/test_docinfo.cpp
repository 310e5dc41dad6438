// velunor-docinfo, run as the job runs it, judged by poppler, exiftool and
// qpdf: the seven fields as typed, plain dates, ModDate and the XMP mirror;
// and for a bad information file or document a message, exit status 1, and
// the earlier output left as it was.
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
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <sys/mount.h>
#include <unistd.h>

using namespace testsupport;

namespace {

class DocinfoTest : public ::testing::Test {
protected:
    QTemporaryDir base;
    WorkFolders folders;
    RecordingMessageSink sink;
    DOSOutputs runner {sink};
    QString chain;

    void SetUp() override
    {
        ASSERT_TRUE(base.isValid());
        folders.tmpDir = base.filePath("tmpvelunor");
        folders.pageDir = base.filePath("jpgtmp");
        ASSERT_TRUE(QDir().mkpath(folders.tmpDir));
        ASSERT_TRUE(QDir().mkpath(folders.pageDir));
        // Two real pages, joined as the job joins them.
        PageMaker maker(folders, sink, YieldFunction());
        maker.BeginJob();
        for (int i = 0; i < 2; ++i) {
            const QString pic = base.filePath(QString("p%1.png").arg(i));
            ASSERT_TRUE(writeTestPicture(pic, FIF_PNG, 90 + 30 * i, 60));
            ASSERT_TRUE(maker.MakePage(i, pic, 85).ok());
        }
        chain = folders.chainFile(2);
        ASSERT_EQ(runProgram("qpdf", {"--empty", "--pages", folders.pageFile(0), folders.pageFile(1), "--", chain})
                      .exitCode, 0);
    }

    ProcessResult docinfo(const QString& input, const QString& info, const QString& output)
    {
        return runProgram(AppPaths::HelperProgram("velunor-docinfo"),
                          {input, "update_info", info, "output", output, "dont_ask"});
    }
    QJsonObject exif(const QString& pdf)
    {
        const ProcessResult r = runProgram("exiftool", {"-j", "-G1", "-charset", "pdf=UTF8", pdf});
        EXPECT_EQ(r.exitCode, 0) << qPrintable(r.err);
        return QJsonDocument::fromJson(r.out.toUtf8()).array().at(0).toObject();
    }
    // pdfimages' list without the object numbers.
    QStringList imagesOf(const QString& pdf)
    {
        QStringList seen;
        for (const QString& line : runProgram("pdfimages", {"-list", pdf}).out.split('\n')) {
            QStringList cols = line.simplified().split(' ');
            if (cols.size() > 12)
                cols.remove(10, 2);
            seen << cols.join(' ');
        }
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
        QByteArray raw; // instead of the job's own file, when given
    } rows[] = {
        {"markup, ampersands, references, CJK", {"Café — 東京", "A & B", "D:20240102030405-06'00", "<b>", "&#233;"}, {}},
        {"empty author, subject and keywords", {"Only a title", "", "D:20240131154500Z", "", ""}, {}},
        {"records with InfoBegin and bare line feeds", {"T", "Ann O'Neil", "D:20240131154500+01'00", "S", "k1, k2"},
         "InfoBegin\nInfoKey: Title\nInfoValue: T\nInfoBegin\nInfoKey: Author\nInfoValue: Ann O'Neil\n"
         "InfoBegin\nInfoKey: CreationDate\nInfoValue: D:20240131154500+01'00\nInfoBegin\nInfoKey: Subject\n"
         "InfoValue: S\nInfoBegin\nInfoKey: Keywords\nInfoValue: k1, k2\nInfoBegin\nInfoKey: Creator\n"
         "InfoValue: Velunor\nInfoBegin\nInfoKey: Producer\nInfoValue: Velunor\n"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        ToolkitSteps steps(runner, folders);
        if (row.raw.isEmpty())
            ASSERT_TRUE(steps.WriteInfoFile(row.info));
        else
            ASSERT_TRUE(writeFile(folders.infoFile(), row.raw));
        const QString out = folders.finishedFile();
        const ProcessResult r = docinfo(chain, folders.infoFile(), out);
        ASSERT_EQ(r.exitCode, 0) << qPrintable(r.err);
        EXPECT_EQ(runProgram("qpdf", {"--check", out}).exitCode, 0);
        EXPECT_EQ(pdfPageCount(out), 2);
        // The pictures are the chain's, byte for byte.
        EXPECT_EQ(imagesOf(out), imagesOf(chain));

        const DocumentInfo& in = row.info;
        const std::pair<const char*, QString> fields[] = {{"Title", in.title},       {"Author", in.author},
                                                          {"Subject", in.subject},   {"Keywords", in.keywords},
                                                          {"Creator", "Velunor"},    {"Producer", "Velunor"}};
        for (const auto& [key, value] : fields)
            EXPECT_EQ(pdfInfoField(out, key), value) << key;
        EXPECT_EQ(rawDate(out, "CreationDate"), in.creationDate);
        EXPECT_TRUE(QRegularExpression(R"(^D:\d{14}[+-]\d\d'\d\d$)").match(rawDate(out, "ModDate")).hasMatch())
            << qPrintable(rawDate(out, "ModDate"));

        const QJsonObject tags = exif(out);
        const QString created = tags["PDF:CreateDate"].toString();
        EXPECT_TRUE(created.startsWith(in.creationDate.mid(2, 4) + ':')) << qPrintable(created);
        // exiftool's own reading of the seven information fields.
        const std::pair<const char*, QString> pdf[] = {
            {"PDF:Title", in.title},       {"PDF:Author", in.author},     {"PDF:Subject", in.subject},
            {"PDF:Keywords", in.keywords}, {"PDF:Creator", "Velunor"},    {"PDF:Producer", "Velunor"},
        };
        // (exiftool gives keywords with commas as a list.)
        auto text = [&](const char* tag) {
            return tags[tag].isArray() ? tags[tag].toVariant().toStringList().join(", ") : tags[tag].toVariant().toString();
        };
        for (const auto& [tag, value] : pdf)
            EXPECT_EQ(text(tag), value) << tag;
        const std::pair<const char*, QString> xmp[] = {
            {"XMP-dc:Title", in.title},          {"XMP-dc:Creator", in.author},
            {"XMP-dc:Description", in.subject},  {"XMP-pdf:Keywords", in.keywords},
            {"XMP-xmp:CreateDate", created},     {"XMP-xmp:ModifyDate", tags["PDF:ModifyDate"].toString()},
            {"XMP-xmp:CreatorTool", "Velunor"},  {"XMP-pdf:Producer", "Velunor"},
        };
        for (const auto& [tag, value] : xmp)
            EXPECT_EQ(tags[tag].toVariant().toString(), value) << tag;
    }
}

TEST_F(DocinfoTest, BadInfoFileOrDocumentSaysWhyAndLeavesTheEarlierOutput)
{
    ToolkitSteps steps(runner, folders);
    ASSERT_TRUE(steps.WriteInfoFile({"T", "A", "D:20240102030405Z", "S", "K"}));
    const QByteArray good = readAll(folders.infoFile());
    const QString garbage = base.filePath("garbage.pdf");
    ASSERT_TRUE(writeFile(garbage, "%PDF-1.4 nothing of a document follows\n"));
    const struct Row {
        const char* what;
        QByteArray info; // "-" for no information file at all
        QString input;
        const char* said;
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
        {"unreadable document", good, garbage, "cannot read the document"},
        {"no document", good, base.filePath("missing.pdf"), "cannot read the document"},
    };
    const QString out = base.filePath("out/tmpx.pdf");
    const QByteArray earlier = "%PDF-1.4 the earlier output\n";
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        QDir(base.filePath("out")).removeRecursively();
        QDir().mkpath(base.filePath("out"));
        ASSERT_TRUE(writeFile(out, earlier));
        QFile::remove(folders.infoFile());
        if (row.info != "-") {
            ASSERT_TRUE(writeFile(folders.infoFile(), row.info));
        }
        const ProcessResult r = docinfo(row.input, folders.infoFile(), out);
        EXPECT_EQ(r.exitCode, 1);
        EXPECT_TRUE(r.err.startsWith("velunor-docinfo: ")) << qPrintable(r.err);
        EXPECT_TRUE(r.err.contains(row.said)) << qPrintable(r.err);
        EXPECT_EQ(readAll(out), earlier);
        EXPECT_EQ(QDir(base.filePath("out")).entryList(QDir::Files | QDir::Hidden), QStringList {"tmpx.pdf"});
    }
    // Not the information step's command line: a usage error.
    EXPECT_EQ(runProgram(AppPaths::HelperProgram("velunor-docinfo"), {chain, "cat", folders.infoFile(), "output", out})
                  .exitCode, 2);
}

// The output goes through checked writes: a disk too full for it is a
// failure in the system's words, with nothing left on that disk.
TEST_F(DocinfoTest, FullDiskIsAFailureAndLeavesNothing)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "mounting a small tmpfs needs root";
    ToolkitSteps steps(runner, folders);
    ASSERT_TRUE(steps.WriteInfoFile({"T", "A", "D:20240102030405Z", "S", "K"}));
    const QString disk = base.filePath("disk");
    QDir().mkpath(disk);
    const QByteArray size = "size=" + QByteArray::number(QFileInfo(chain).size() / 2);
    ASSERT_EQ(::mount("tmpfs", QFile::encodeName(disk).constData(), "tmpfs", 0, size.constData()), 0)
        << std::strerror(errno);
    const ProcessResult r = docinfo(chain, folders.infoFile(), disk + "/tmpx.pdf");
    const QStringList left = QDir(disk).entryList(QDir::Files | QDir::Hidden);
    ::umount2(QFile::encodeName(disk).constData(), MNT_DETACH);
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_TRUE(r.err.contains("No space left on device")) << qPrintable(r.err);
    EXPECT_TRUE(left.isEmpty()) << qPrintable(left.join(' '));
}

} // namespace
