#include "test_job_support.h"

#include "ScopedEnv.h"
#include "TestSupport.h"
#include "engine/job/ConversionJob.h"
#include "engine/job/JobWorkArea.h"
#include "engine/picture/DecoderProcess.h"
#include "platform/DOSOutputs.h"
#include "platform/ProcessList.h"

#include <FreeImage.h>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTimer>
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <csignal>
#include <poll.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

using namespace testsupport;

namespace {

class JobTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(tmp.isValid());
        QDir().mkpath(root + "/pics");
        QDir().mkpath(root + "/out");
        io.outputFolder = root + "/out";
        job.SetSettingsPath(settings);
    }

    // A picture of w x h pixels; its page is w/200 by h/200 inches.
    QString picture(const QString& name, int w, int h)
    {
        const QString path = root + "/pics/" + name;
        EXPECT_TRUE(writeTestPicture(path, FIF_PNG, w, h));
        return path;
    }
    QString output() const { return root + "/out/" + io.title + ".pdf"; }
    bool workFoldersGone() const
    {
        const WorkFolders f = area.Folders();
        return !QFileInfo::exists(f.tmpDir) && !QFileInfo::exists(f.pageDir);
    }
    // A job that had started ends by saying how, and names no document.
    void expectStartedAndEndedAs(ConversionJob::Outcome outcome) const
    {
        ASSERT_FALSE(io.events.isEmpty());
        EXPECT_EQ(io.events.first(), "started");
        EXPECT_EQ(io.events.last(), QString("finished:%1:").arg(int(outcome)));
        EXPECT_EQ(io.events.filter("finished:").size(), 1);
    }

    QTemporaryDir tmp;
    QString root = tmp.path();
    QString settings = root + "/config/setting.dll";
    RecordingJobIo io;
    JobWorkArea area{root + "/cache"};
    DOSOutputs runner{io};
    ConversionJob job{io, io, runner, area, io.yielder()};
};

} // namespace

TEST(JobProgress, DividesFirstInDoublePrecision)
{
    EXPECT_EQ(ConversionJob::Percent(29, 101), 28); // 29 / 100 x 100 is just below 29
    EXPECT_EQ(ConversionJob::Percent(0, 4), 0);
    EXPECT_EQ(ConversionJob::Percent(1, 4), 33);
    EXPECT_EQ(ConversionJob::Percent(2, 4), 66);
    EXPECT_EQ(ConversionJob::Percent(3, 4), 100);
    EXPECT_EQ(ConversionJob::Percent(1, 2), 100);
    EXPECT_EQ(ConversionJob::Percent(0, 1), -1); // one entry: no percentage
    EXPECT_EQ(ConversionJob::Percent(0, 0), -1); // list emptied during a job: no division by zero
    EXPECT_EQ(ConversionJob::Percent(5, 3), 100); // list shrunk during a job
}

TEST(JobTitle, TitlesThatCannotNameAFile)
{
    for (const QString& t : QStringList{"", ".", "..", "a/b", "/", "../x", QString(300, QChar(u'x')), "two\nlines",
                                        "carriage\rreturn", "tab\there", QString("del") + QChar(0x7f), QString("c1") + QChar(0x85)})
        EXPECT_FALSE(ConversionJob::TitleProblem(t).isEmpty()) << t.toStdString();
    for (const QString& t : QStringList{"New PDF Document", "Report, final", ".hidden-ish", "...", "Résumé 2024", "a\\b",
                                        QChar(0xFEFF) + QString("after a byte order mark")})
        EXPECT_TRUE(ConversionJob::TitleProblem(t).isEmpty()) << t.toStdString();
}

TEST_F(JobTest, EmptyListSaysSoAndChangesNothing)
{
    EXPECT_EQ(job.Run(), ConversionJob::Outcome::EmptyList);
    EXPECT_EQ(io.events, (QStringList{"message:Add File:2:Please add a file", "finished:1:"}));
    EXPECT_FALSE(QFileInfo::exists(settings));
    EXPECT_FALSE(QFileInfo::exists(area.RunFolder()));
}

TEST_F(JobTest, TitleThatCannotNameAFileStopsBeforeAnythingIsMade)
{
    io.entries = {picture("a.png", 20, 10)};
    io.outputFolder = root + "/out/new";
    for (const QString& t : QStringList{"", ".", "..", "sub/name"}) {
        io.events.clear();
        io.title = t;
        EXPECT_EQ(job.Run(), ConversionJob::Outcome::BadTitle) << t.toStdString();
        EXPECT_EQ(io.messages().size(), 1);
        EXPECT_TRUE(io.messages().value(0).startsWith("message:Velunor:2:"));
        expectStartedAndEndedAs(ConversionJob::Outcome::BadTitle);
        EXPECT_TRUE(io.captions.isEmpty());
    }
    EXPECT_FALSE(QFileInfo::exists(root + "/out/new"));
    EXPECT_FALSE(QFileInfo::exists(root + "/out/sub"));
    EXPECT_FALSE(QFileInfo::exists(settings));
    EXPECT_FALSE(QFileInfo::exists(area.RunFolder()));
}

// An archive document's creation date must be one (the window's field takes
// any text): said before anything is made.
TEST_F(JobTest, ArchiveWithADateThatIsNoneStopsBeforeAnythingIsMade)
{
    io.entries = {picture("a.png", 20, 10)};
    io.outputFolder = root + "/out/new";
    io.pdfa = true;
    io.creationDate = "31.1.2024";
    EXPECT_EQ(job.Run(), ConversionJob::Outcome::Failed);
    EXPECT_EQ(io.messages().value(0).toStdString(),
              "message:Velunor:3:The creation date \"31.1.2024\" is not a PDF date such as D:20240131154500+01'00, "
              "which a PDF/A document needs. Please press \"Now\" or correct it.");
    EXPECT_FALSE(QFileInfo::exists(root + "/out/new"));
    EXPECT_FALSE(QFileInfo::exists(settings));
}

TEST_F(JobTest, ExistingOutputWithCancelWritesNothing)
{
    io.entries = {picture("a.png", 20, 10)};
    io.outputFolder = root + "/out/"; // the trailing "/" goes before the question
    ASSERT_TRUE(writeFile(output(), "old document"));
    io.answerOk = false;
    EXPECT_EQ(job.Run(), ConversionJob::Outcome::Cancelled);
    EXPECT_EQ(io.events, (QStringList{"started", "folder:" + root + "/out", "question:" + output(), "finished:3:"}));
    EXPECT_EQ(readAll(output()), "old document");
    EXPECT_FALSE(QFileInfo::exists(settings));
    EXPECT_FALSE(QFileInfo::exists(area.RunFolder()));
}

TEST_F(JobTest, TwoEntriesMakeTheDocumentWithTheCaptionsInOrder)
{
    io.entries = {picture("wide.png", 400, 100), picture("tall.png", 100, 300)};
    io.outputFolder = root + "/out/";
    io.title = "Report, final";
    io.keywords = "one two";
    ASSERT_TRUE(writeFile(output(), "old document"));
    // A second name for the old document: replaced by a rename, it keeps
    // the old bytes, while a copy over it would have rewritten them.
    const QString held = root + "/held.pdf";
    ASSERT_EQ(::link(QFile::encodeName(output()).constData(), QFile::encodeName(held).constData()), 0);
    io.answerOk = true;

    EXPECT_EQ(job.Run(), ConversionJob::Outcome::Done) << io.events.join('\n').toStdString();
    EXPECT_EQ(readAll(held), "old document");
    EXPECT_EQ(io.captions, (QStringList{"Preparing Files...", "Preparing Files...0%", "Preparing Files...100%",
                                        "Now Start Creating...", "Creating...100%", "Removing Temporary Files...",
                                        "Done."}));
    EXPECT_EQ(io.events.mid(0, 3), (QStringList{"started", "folder:" + root + "/out", "question:" + output()}));
    EXPECT_EQ(io.events.mid(io.events.size() - 4),
              (QStringList{"bar:0", "caption:Removing Temporary Files...", "caption:Done.", "finished:5:" + output()}));
    EXPECT_TRUE(io.messages().isEmpty());
    EXPECT_EQ(job.OutputPath(), output());

    EXPECT_EQ(pdfPageCount(output()), 2);
    EXPECT_EQ(pdfInfoField(output(), "Title"), "Report, final");
    EXPECT_EQ(pdfInfoField(output(), "Keywords"), "one two");
    EXPECT_EQ(runProgram("qpdf", {"--check", output()}).exitCode, 0);
    // The settings file: six quoted records, CR LF, the trimmed folder.
    EXPECT_EQ(readAll(settings), QByteArray("\"Report, final\"\r\n\"Velunor\"\r\n\"New Subject\"\r\n\"one two\"\r\n"
                                            "\"85\"\r\n\"") + (root + "/out").toUtf8() + "\"\r\n");
    EXPECT_TRUE(workFoldersGone());
    // Nothing of the temporary copy is left beside the document.
    EXPECT_EQ(QDir(root + "/out").entryList(QDir::Files | QDir::Hidden), QStringList{"Report, final.pdf"});
}

TEST_F(JobTest, FourEntriesCaptionsAndBar)
{
    io.entries = {picture("1.png", 20, 10), picture("2.png", 30, 10), picture("3.png", 40, 10),
                  picture("4.png", 50, 10)};
    EXPECT_EQ(job.Run(), ConversionJob::Outcome::Done) << io.events.join('\n').toStdString();
    EXPECT_EQ(io.captions,
              (QStringList{"Preparing Files...", "Preparing Files...0%", "Preparing Files...33%",
                           "Preparing Files...66%", "Preparing Files...100%", "Now Start Creating...",
                           "Creating...33%", "Creating...66%", "Creating...100%", "Removing Temporary Files...",
                           "Done."}));
    EXPECT_EQ(io.events.filter(QRegularExpression("^bar:")),
              (QStringList{"bar:0", "bar:33", "bar:66", "bar:100", "bar:100", "bar:33", "bar:66", "bar:100", "bar:0"}));
    EXPECT_EQ(pdfPageCount(output()), 4);
}

TEST_F(JobTest, UnreadablePictureStopsTheJobWithOneMessage)
{
    const QString bad = root + "/pics/broken.png";
    ASSERT_TRUE(writeFile(bad, "this is not a picture"));
    io.entries = {picture("good.png", 20, 10), bad, picture("never.png", 20, 10)};
    io.outputFolder = root + "/out/";
    ASSERT_TRUE(writeFile(output(), "old document")); // and OK to replace it
    // A second start from the event loop while this job runs is refused.
    ConversionJob::Outcome inner = ConversionJob::Outcome::Done;
    io.onYield = [&] {
        if (io.yields == 1) {
            EXPECT_TRUE(ConversionJob::IsRunning());
            inner = job.Run();
        }
    };

    EXPECT_EQ(job.Run(), ConversionJob::Outcome::Failed);
    EXPECT_EQ(inner, ConversionJob::Outcome::Busy);
    EXPECT_FALSE(ConversionJob::IsRunning());
    ASSERT_EQ(io.messages().size(), 1) << io.events.join('\n').toStdString();
    EXPECT_TRUE(io.messages()[0].startsWith("message:Velunor:3:"));
    EXPECT_TRUE(io.messages()[0].contains(bad));
    EXPECT_EQ(job.FailureText(), io.messages()[0].section(':', 3, -1));
    expectStartedAndEndedAs(ConversionJob::Outcome::Failed);
    EXPECT_FALSE(io.captions.contains("Done."));
    EXPECT_EQ(io.captions.last(), ""); // bar and caption cleared
    EXPECT_EQ(readAll(output()), "old document"); // a failed job leaves it whole
    EXPECT_TRUE(workFoldersGone());
    // The settings file stays as the job wrote it, trailing "/" removed.
    EXPECT_TRUE(readAll(settings).endsWith("\"" + (root + "/out").toUtf8() + "\"\r\n"));
}

// Missing folders along the output path are made (0755), as mkdir -p
// would; a file where a folder should be is named.
TEST_F(JobTest, NestedOutputFolderIsMadeAndAFileInTheWayIsNamed)
{
    ASSERT_TRUE(writeFile(root + "/afile", "a file"));
    const struct {
        QString folder;
        ConversionJob::Outcome outcome;
        QString said;
    } rows[] = {{root + "/new/deeper/out", ConversionJob::Outcome::Done, QString()},
                {root + "/afile/sub", ConversionJob::Outcome::Failed, root + "/afile is a file, in the way"},
                {root + "/afile", ConversionJob::Outcome::Failed, "a file of that name is in the way"}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.folder.toStdString());
        io.events.clear();
        io.entries = {picture("a.png", 20, 10)};
        io.outputFolder = row.folder;
        EXPECT_EQ(job.Run(), row.outcome);
        EXPECT_EQ(io.messages().size(), row.said.isEmpty() ? 0 : 1);
        EXPECT_TRUE(io.messages().value(0).contains(row.said)) << io.messages().value(0).toStdString();
        EXPECT_TRUE(workFoldersGone());
    }
    EXPECT_EQ(pdfPageCount(root + "/new/deeper/out/" + io.title + ".pdf"), 1);
    const mode_t mask = ::umask(0);
    ::umask(mask);
    for (const QString& d : {root + "/new", root + "/new/deeper", root + "/new/deeper/out"}) {
        struct stat st {};
        ASSERT_EQ(::stat(QFile::encodeName(d).constData(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0755 & ~mask) << d.toStdString();
    }
}

TEST_F(JobTest, RootFolderStaysTheRootAndIsNotTakenForNoFolder)
{
    // A picture that cannot be read stops the job before anything is
    // written into "/" itself.
    const QString bad = root + "/pics/broken.png";
    ASSERT_TRUE(writeFile(bad, "not a picture"));
    io.entries = {bad};
    io.outputFolder = "/";
    EXPECT_EQ(job.Run(), ConversionJob::Outcome::Failed);
    EXPECT_EQ(io.outputFolder, "/");
    EXPECT_TRUE(io.events.filter("folder:").isEmpty());
    ASSERT_EQ(io.messages().size(), 1) << io.events.join('\n').toStdString();
    // Only root may write into "/"; anyone else is told so about "/" itself.
    const QString expected = ::geteuid() == 0 ? bad : QString("The output folder / cannot be written");
    EXPECT_TRUE(io.messages()[0].contains(expected)) << io.messages()[0].toStdString();
}

TEST_F(JobTest, DrawingLibraryFailureStopsWithoutASecondMessage)
{
    io.entries = {picture("a.png", 20, 10), picture("b.png", 20, 10)};
    // The page folder, by its name, turns into a file: the folder the job
    // holds is gone, and the page cannot be written.
    io.onYield = [&] {
        if (io.yields == 1) {
            const QString pages = area.NamedFolders().pageDir;
            QDir(pages).removeRecursively();
            writeFile(pages, "in the way");
        }
    };
    EXPECT_EQ(job.Run(), ConversionJob::Outcome::Failed);
    ASSERT_EQ(io.messages().size(), 1) << io.events.join('\n').toStdString();
    EXPECT_TRUE(io.messages()[0].startsWith("message:PDF:3:"));
    EXPECT_TRUE(job.FailureText().isEmpty());
    expectStartedAndEndedAs(ConversionJob::Outcome::Failed);
    EXPECT_FALSE(QFileInfo::exists(output()));
    EXPECT_FALSE(QFileInfo::exists(area.Folders().tmpDir));
}

// The information step refuses an information file spoilt during the job:
// the job shows its words, and the earlier document stays as it was.
TEST_F(JobTest, InformationStepThatFailsIsShownAndKeepsTheEarlierDocument)
{
    io.entries = {picture("a.png", 20, 10), picture("b.png", 30, 10)};
    ASSERT_TRUE(writeFile(output(), "%PDF-1.4 the earlier document\n"));
    // Once, when both pages are made: cut in the middle of a line.
    bool spoilt = false;
    io.onYield = [&] {
        if (!spoilt && QFileInfo::exists(area.Folders().pageFile(1)))
            spoilt = writeFile(area.Folders().infoFile(), "InfoKey: Title\r\nInfoVal");
    };
    EXPECT_EQ(job.Run(), ConversionJob::Outcome::Failed);
    ASSERT_EQ(io.messages().size(), 1) << io.events.join('\n').toStdString();
    const QString said = io.messages()[0];
    EXPECT_TRUE(said.contains("velunor-docinfo could not write the document information") && said.contains("cut short"))
        << qPrintable(said);
    EXPECT_EQ(readAll(output()), "%PDF-1.4 the earlier document\n");
    EXPECT_TRUE(workFoldersGone());
}

// A join that cannot be made, or is killed half-way, ends the job with its
// words; no document is made and the earlier one stays.
TEST_F(JobTest, JoinThatFailsOrIsKilledMidwayKeepsTheEarlierDocument)
{
    const QByteArray earlier = "%PDF-1.4 the earlier document\n";
    const struct Row {
        const char* what;
        int spoilPage; // the page file spoilt once it is made; -1: none
        const char* said;
    } rows[] = {
        {"a damaged page file", 1, "velunor-join: the page file"},
        {"a chain file not of ours (encrypted)", 0, "is not a chain file of ours: it is encrypted"},
        {"a kill with half the page appended", -1, "velunor-join could not add page 2"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        RecordingJobIo io2;
        io2.entries = {picture("a.png", 20, 10), picture("b.png", 30, 10)};
        io2.outputFolder = root + "/out";
        ASSERT_TRUE(writeFile(output(), earlier));
        ScopedEnv env;
        if (row.spoilPage < 0)
            env.set("VELUNOR_JOIN_HOLD_MIDWAY", "1"); // velunor-join stops itself half-way
        bool spoilt = false;
        io2.onYield = [&] {
            const QString page = area.Folders().pageFile(row.spoilPage);
            if (row.spoilPage >= 0 && !spoilt && QFileInfo::exists(page)) {
                const QByteArray bytes = readAll(page);
                spoilt = row.spoilPage == 1
                    ? writeFile(page, bytes.left(bytes.size() / 2))
                    : runProgram("qpdf", {"--encrypt", "", "o", "256", "--", "--replace-input", page}).exitCode == 0;
            }
        };
        // The join runs while the command runner passes the events: found
        // stopped where the new objects are written and the rest is not.
        QTimer watch;
        QObject::connect(&watch, &QTimer::timeout, [&] {
            for (const ProcessList::Entry& e : ProcessList::Snapshot())
                if (row.spoilPage < 0 && e.comm == "velunor-join" && e.state == 'T')
                    spoilt = ::kill(e.pid, SIGKILL) == 0;
        });
        watch.start(5);
        ConversionJob job2{io2, io2, runner, area, io2.yielder()};
        job2.SetSettingsPath(settings);
        EXPECT_EQ(job2.Run(), ConversionJob::Outcome::Failed);
        EXPECT_TRUE(spoilt);
        ASSERT_EQ(io2.messages().size(), 1) << io2.events.join('\n').toStdString();
        EXPECT_TRUE(io2.messages()[0].contains(row.said)) << qPrintable(io2.messages()[0]);
        EXPECT_EQ(readAll(output()), earlier);
        EXPECT_TRUE(workFoldersGone());
    }
}

TEST_F(JobTest, TitleChangedDuringTheJobToAnExistingFileIsAskedAgain)
{
    io.entries = {picture("a.png", 20, 10)};
    ASSERT_TRUE(writeFile(root + "/out/Existing.pdf", "keep me"));
    io.onYield = [&] { io.title = "Existing"; };
    io.answerOk = false;
    EXPECT_EQ(job.Run(), ConversionJob::Outcome::Cancelled) << io.events.join('\n').toStdString();
    EXPECT_EQ(io.events.filter("question:").size(), 1);
    EXPECT_EQ(readAll(root + "/out/Existing.pdf"), "keep me");
    EXPECT_FALSE(QFileInfo::exists(root + "/out/New PDF Document.pdf"));
    EXPECT_TRUE(workFoldersGone());
    expectStartedAndEndedAs(ConversionJob::Outcome::Cancelled);
}

// The work disk holds the page files and at most two chain files at a time;
// a work disk too small even for that is told as full, naming the folder.
// Each work disk is a small tmpfs mounted as the cache folder.
TEST_F(JobTest, WorkDiskHoldsThePagesAndTwoChainFilesAndSaysWhenFull)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "mounting a small tmpfs as the work disk needs root";
    // Noise, so that the pages are about as big as the document parts.
    quint32 seed = 12345;
    const int pages = 8;
    for (int p = 0; p < pages; ++p) {
        QImage img(500, 400, QImage::Format_RGB888);
        for (int y = 0; y < img.height(); ++y)
            for (int x = 0; x < img.width() * 3; ++x)
                img.scanLine(y)[x] = uchar((seed = seed * 1664525u + 1013904223u) >> 24);
        const QString path = root + QString("/pics/noise%1.bmp").arg(p);
        ASSERT_TRUE(img.save(path));
        io.entries << path;
    }
    ASSERT_EQ(job.Run(), ConversionJob::Outcome::Done) << io.events.join('\n').toStdString();
    const qint64 document = QFileInfo(output()).size();
    const qint64 bitmap = 500 * 400 * 3 + (1 << 16);

    struct Case {
        const char* what;
        double documents; // room for this many documents, besides the bitmap
        bool done;
    };
    // All chain files kept would need 1 + (1 + ... + 8) / 8 + 1 = 6.5
    // documents; pages plus two chain files need 3.
    for (const Case& c : {Case{"room for the pages and two chain files", 3.5, true},
                          Case{"room for the pages alone", 1.6, false}}) {
        SCOPED_TRACE(c.what);
        const QString disk = root + "/disk";
        QDir().mkpath(disk);
        const QByteArray size = "size=" + QByteArray::number(qint64(document * c.documents) + bitmap);
        if (::mount("tmpfs", QFile::encodeName(disk).constData(), "tmpfs", 0, size.constData()) != 0)
            GTEST_SKIP() << "cannot mount a tmpfs here: " << std::strerror(errno);
        auto unmount = qScopeGuard([&] { ::umount2(QFile::encodeName(disk).constData(), MNT_DETACH); });
        {
            ScopedEnv env;
            env.set("XDG_CACHE_HOME", QFile::encodeName(disk));
            RecordingJobIo io2;
            io2.entries = io.entries;
            io2.outputFolder = root + "/out-" + QString::number(c.done);
            JobWorkArea area2;
            DOSOutputs runner2{io2};
            ConversionJob job2{io2, io2, runner2, area2};
            job2.SetSettingsPath(settings);
            const auto outcome = job2.Run();
            EXPECT_EQ(outcome == ConversionJob::Outcome::Done, c.done) << io2.events.join('\n').toStdString();
            if (c.done) {
                EXPECT_EQ(pdfPageCount(io2.outputFolder + "/" + io2.title + ".pdf"), pages);
            } else {
                ASSERT_EQ(io2.messages().size(), 1);
                EXPECT_TRUE(io2.messages()[0].contains("The work disk is full")) << qPrintable(io2.messages()[0]);
                EXPECT_TRUE(io2.messages()[0].contains(disk + "/velunor/")) << qPrintable(io2.messages()[0]);
                EXPECT_FALSE(QFileInfo::exists(io2.outputFolder + "/" + io2.title + ".pdf"));
            }
        }
    }
}

// Each page is read while the next ones are made; the caption says which
// while the job waits for it, counting every page of a multi-page picture,
// and the designed captions stay as they were.
TEST_F(JobTest, TextReadingCaptionsNameThePageBeingRead)
{
    io.ocrLanguages = "eng";
    const QString scan = root + "/scan.tif";
    FIMULTIBITMAP* tiff = FreeImage_OpenMultiBitmap(FIF_TIFF, QFile::encodeName(scan).constData(), TRUE, FALSE, TRUE);
    ASSERT_NE(tiff, nullptr);
    for (int k = 0; k < 2; ++k) {
        FIBITMAP* page = FreeImage_Allocate(120, 80, 24);
        FreeImage_AppendPage(tiff, page);
        FreeImage_Unload(page);
    }
    FreeImage_CloseMultiBitmap(tiff);
    io.entries = {picture("a.png", 120, 80), scan};
    ASSERT_EQ(job.Run(), ConversionJob::Outcome::Done) << qPrintable(io.messages().join('\n'));
    EXPECT_EQ(io.captions.filter("Reading").join(" | "),
              "Reading Text 1 of 3... | Reading Text 2 of 3... | Reading Text 3 of 3...");
    EXPECT_EQ(io.captions.filter(QRegularExpression("^(Preparing|Creating|Now|Removing|Done)")).join(" | "),
              "Preparing Files... | Preparing Files...0% | Preparing Files...100% | "
              "Now Start Creating... | Creating...100% | Removing Temporary Files... | Done.")
        << qPrintable(io.captions.join(" | "));
    EXPECT_EQ(runProgram("qpdf", {"--check", output()}).exitCode, 0);
    EXPECT_EQ(runProgram("pdffonts", {output()}).out.count("GlyphLessFont"), 3);
}

// Two readers work at once: the first to start waits on a pipe for the
// second, so with one reader at a time it would never end (and its time
// limit would fail the job). Every page is read, the oldest first.
TEST_F(JobTest, TwoTextReadersWorkAtOnce)
{
    io.entries = {picture("a.png", 120, 80), picture("b.png", 120, 80), picture("c.png", 120, 80)};
    ASSERT_EQ(job.Run(), ConversionJob::Outcome::Done);
    const QString text = root + "/text.pdf"; // any page stands for a text page
    ASSERT_TRUE(QFile::copy(output(), text));
    const QString meet = root + "/meet";
    ASSERT_EQ(::mkfifo(QFile::encodeName(meet).constData(), 0600), 0);
    const QString reader = root + "/fake-ocr";
    ASSERT_TRUE(writeFile(reader, "#!/bin/sh\n"
                                  "for a; do out=$a; done\n"
                                  "if mkdir '" + root.toUtf8() + "/first' 2>/dev/null; then read go < '" + meet.toUtf8() +
                                      "'; elif mkdir '" + root.toUtf8() + "/second' 2>/dev/null; then echo go > '" +
                                      meet.toUtf8() + "'; fi\n"
                                  "cp '" + text.toUtf8() + "' \"$out.pdf\" && echo 'turn 0'\n"));
    ASSERT_TRUE(QFile::setPermissions(reader, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
    OcrProcess::Options options;
    options.program = reader;
    options.timeLimitMs = 60000;
    job.SetOcrOptions(options);
    io.ocrLanguages = "eng";
    io.captions.clear();
    ASSERT_EQ(job.Run(), ConversionJob::Outcome::Done) << qPrintable(io.messages().join('\n'));
    EXPECT_EQ(pdfPageCount(output()), 3);
    EXPECT_EQ(runProgram("qpdf", {"--check", output()}).exitCode, 0);
    EXPECT_EQ(io.captions.filter("Reading Text").join(" | "), "Reading Text 1 of 3... | Reading Text 2 of 3... | "
                                                              "Reading Text 3 of 3...");
}

// A text reader that crashes, runs out of time, refuses or is missing fails
// the job naming the picture (or the reader, before any page): no document.
TEST_F(JobTest, TextReaderFailuresFailTheJob)
{
    io.ocrLanguages = "eng";
    io.entries = {picture("a.png", 120, 80), picture("b.png", 120, 80)};
    const struct {
        QByteArray script; // empty: no reader at all
        int timeLimitMs;
        const char* said;
        bool beforeAnyPage;
    } cases[] = {
        {"kill -SEGV $$", 60000, "the text reader crashed on it (Segmentation fault)", false},
        {"exec sleep 60", 300, "the text reader did not finish within 0.3 seconds", false},
        {"echo 'Tesseract could not read it'; exit 1", 60000, "Tesseract could not read it", false},
        {"exit 0", 60000, "the text reader gave no answer", false},
        {"echo 'turn 0'; exit 0", 60000, "the text reader wrote no text page", false},
        {{}, 60000, "is missing; the installation is incomplete", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.said);
        io.events.clear();
        io.captions.clear();
        // A stand-in for the text reader: a shell script.
        const QString reader = root + (c.script.isEmpty() ? "/no-such-reader" : "/fake-ocr");
        ASSERT_TRUE(c.script.isEmpty()
                    || (writeFile(reader, "#!/bin/sh\n" + c.script + "\n")
                        && QFile::setPermissions(reader, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner)));
        OcrProcess::Options options;
        options.program = reader;
        options.timeLimitMs = c.timeLimitMs;
        job.SetOcrOptions(options);
        EXPECT_EQ(job.Run(), ConversionJob::Outcome::Failed);
        const QString said = io.messages().join('\n');
        ASSERT_EQ(io.messages().size(), 1) << qPrintable(said);
        EXPECT_TRUE(said.contains(c.said)) << qPrintable(said);
        EXPECT_EQ(said.contains("Cannot read the text of the picture \"" + io.entries[0] + "\""), !c.beforeAnyPage);
        EXPECT_EQ(io.captions.contains("Preparing Files..."), !c.beforeAnyPage);
        EXPECT_FALSE(QFileInfo::exists(output()));
        EXPECT_TRUE(workFoldersGone());
    }
}

// 300 s for every 10 megapixels of the page, never less than 300 s.
TEST(TextReader, TimeLimitGrowsWithThePagesPixels)
{
    const struct {
        qint64 pixels;
        qint64 ms;
    } rows[] = {{0, 300000}, {2480 * 3508, 300000}, {10000000, 300000}, {20000000, 600000},
                {qint64(40000) * 40000, 48000000}};
    for (const auto& row : rows)
        EXPECT_EQ(OcrProcess::TimeLimitMs(row.pixels, 300000), row.ms) << row.pixels;
}

// The decoder and the text reader end with the program that started them
// (the window's Exit ends that at once, a signal ends velunor-convert),
// wherever they are: here each waits for input that never comes.
TEST(HelperPrograms, EndWithTheirParent)
{
    QTemporaryDir tmp;
    const QString fifo = tmp.path() + "/never";
    ASSERT_EQ(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    const struct {
        QString program;
        const char* args; // $1: the FIFO
    } rows[] = {
        {DecoderProcess::Defaults().program, "--serve 0<>\"$1\""},
        {OcrProcess::Defaults().program, "--data /nonexistent --languages eng \"$1\" \"$1.out\""},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.program.toStdString());
        // sh starts the helper, says its id and ends.
        const ProcessResult r = runProgram(
            "sh", {"-c", QString("\"$0\" --parent $$ --memory-limit 0 %1 >/dev/null 2>&1 & echo $!").arg(row.args),
                   row.program, fifo});
        const int pid = r.out.trimmed().toInt();
        ASSERT_GT(pid, 0) << qPrintable(r.err);
        const int pidfd = int(::syscall(SYS_pidfd_open, pid, 0));
        if (pidfd >= 0) { // else it has ended already
            pollfd p{pidfd, POLLIN, 0};
            const int ended = ::poll(&p, 1, 20000);
            ::close(pidfd);
            if (ended != 1)
                ::kill(pid, SIGKILL);
            EXPECT_EQ(ended, 1) << "the helper outlived its parent";
        }
    }
}
