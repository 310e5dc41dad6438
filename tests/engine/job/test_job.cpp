#include "job_fixture.h"

#include "ScopedEnv.h"
#include "TestSupport.h"
#include "engine/job/ConversionJob.h"
#include "engine/job/OutputChecks.h"
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
        EXPECT_FALSE(OutputChecks::TitleProblem(t).isEmpty()) << t.toStdString();
    for (const QString& t : QStringList{"New PDF Document", "Report, final", ".hidden-ish", "...", "Résumé 2024", "a\\b",
                                        QChar(0xFEFF) + QString("after a byte order mark")})
        EXPECT_TRUE(OutputChecks::TitleProblem(t).isEmpty()) << t.toStdString();
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
