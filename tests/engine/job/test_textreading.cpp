#include "test_job_support.h"

#include "TestSupport.h"
#include "engine/job/ConversionJob.h"
#include "engine/job/JobWorkArea.h"
#include "platform/DOSOutputs.h"

#include <FreeImage.h>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <csignal>
#include <poll.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

using namespace testsupport;

namespace {

class TextReadingJobTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(tmp.isValid());
        QDir().mkpath(root + "/pics");
        QDir().mkpath(root + "/out");
        io.outputFolder = root + "/out";
        io.ocrLanguages = "eng";
        job.SetSettingsPath(root + "/config/setting.dll");
        for (const char* name : {"a.png", "b.png"}) {
            io.entries << root + "/pics/" + name;
            ASSERT_TRUE(writeTestPicture(io.entries.last(), FIF_PNG, 120, 80));
        }
    }
    // A stand-in for the text reader: a shell script of `body`.
    QString fakeReader(const QByteArray& body)
    {
        const QString path = root + "/fake-ocr";
        EXPECT_TRUE(writeFile(path, "#!/bin/sh\n" + body + "\n"));
        QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        return path;
    }
    QString output() const { return root + "/out/" + io.title + ".pdf"; }
    bool workFoldersGone() const
    {
        return !QFileInfo::exists(area.Folders().tmpDir) && !QFileInfo::exists(area.Folders().pageDir);
    }

    QTemporaryDir tmp;
    QString root = tmp.path();
    RecordingJobIo io;
    JobWorkArea area{root + "/cache"};
    DOSOutputs runner{io};
    ConversionJob job{io, io, runner, area, io.yielder()};
};

} // namespace

// Each page is read while the next is made; the caption says which while
// the job waits for it, and the designed captions stay as they were.
TEST_F(TextReadingJobTest, CaptionsNameThePageBeingRead)
{
    ASSERT_EQ(job.Run(), ConversionJob::Outcome::Done) << qPrintable(io.messages().join('\n'));
    EXPECT_EQ(io.captions.join(" | "),
              "Preparing Files... | Preparing Files...0% | Reading Text 1 of 2... | Preparing Files...100% | "
              "Reading Text 2 of 2... | Preparing Files...100% | Now Start Creating... | Creating...100% | "
              "Removing Temporary Files... | Done.");
    EXPECT_EQ(runProgram("qpdf", {"--check", output()}).exitCode, 0);
    EXPECT_EQ(runProgram("pdffonts", {output()}).out.count("GlyphLessFont"), 2);
}

// A text reader that crashes, runs out of time, refuses or is missing fails
// the job naming the picture (or the reader, before any page): no document.
TEST_F(TextReadingJobTest, ReaderFailuresFailTheJob)
{
    const struct {
        QByteArray script; // empty: no reader at all
        int timeLimitMs;
        const char* said;
        bool beforeAnyPage;
    } cases[] = {
        {"kill -SEGV $$", 60000, "the text reader crashed on it (Segmentation fault)", false},
        {"exec sleep 60", 300, "the text reader did not finish within 0.3 seconds", false},
        {"echo 'Tesseract could not read it'; exit 1", 60000, "Tesseract could not read it", false},
        {"exit 0", 60000, "the text reader wrote no text page", false},
        {{}, 60000, "is missing; the installation is incomplete", true},
    };
    for (const auto& c : cases) {
        io.events.clear();
        io.captions.clear();
        OcrProcess::Options options;
        options.program = c.script.isEmpty() ? root + "/no-such-reader" : fakeReader(c.script);
        options.timeLimitMs = c.timeLimitMs;
        job.SetOcrOptions(options);
        EXPECT_EQ(job.Run(), ConversionJob::Outcome::Failed) << c.said;
        const QStringList messages = io.messages();
        ASSERT_EQ(messages.size(), 1) << c.said;
        EXPECT_TRUE(messages[0].contains(c.said)) << qPrintable(messages[0]);
        if (!c.beforeAnyPage) {
            EXPECT_TRUE(messages[0].contains("Cannot read the text of the picture \"" + io.entries[0] + "\""))
                << qPrintable(messages[0]);
        }
        EXPECT_EQ(io.captions.contains("Preparing Files..."), !c.beforeAnyPage) << c.said;
        EXPECT_FALSE(QFileInfo::exists(output())) << c.said;
        EXPECT_TRUE(workFoldersGone()) << c.said;
    }
}

// The reader ends with the program that started it (the window's Exit ends
// that at once), even while it waits for a picture that never comes.
TEST(TextReader, EndsWithItsParent)
{
    QTemporaryDir tmp;
    const QString fifo = tmp.path() + "/never";
    ASSERT_EQ(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    // sh starts the reader on the pipe, says its id and ends.
    const ProcessResult r = runProgram("sh", {"-c", "\"$0\" --parent $$ --memory-limit 0 --data /nonexistent "
                                                    "--languages eng \"$1\" \"$1.out\" >/dev/null 2>&1 & echo $!",
                                              OcrProcess::Defaults().program, fifo});
    const int pid = r.out.trimmed().toInt();
    ASSERT_GT(pid, 0) << qPrintable(r.err);
    const int pidfd = int(::syscall(SYS_pidfd_open, pid, 0));
    if (pidfd >= 0) { // else it has ended already
        pollfd p{pidfd, POLLIN, 0};
        const int ended = ::poll(&p, 1, 20000);
        ::close(pidfd);
        if (ended != 1)
            ::kill(pid, SIGKILL);
        EXPECT_EQ(ended, 1) << "the reader outlived its parent";
    }
}
