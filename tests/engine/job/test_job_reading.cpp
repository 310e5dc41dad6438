// Text reading within a job: captions while a page is read, two readers at
// once, each reader failure failing the job, and the reader's time limit.
#include "job_fixture.h"

#include "engine/job/OcrProcess.h"

#include <QFile>
#include <QRegularExpression>
#include <gtest/gtest.h>

using namespace testsupport;

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
