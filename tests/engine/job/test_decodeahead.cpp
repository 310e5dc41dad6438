// The next page's picture is read by the decoding helper while a page is
// drawn. The helper names each picture it is handed on a FIFO as it takes
// it; the drawing of a page waits until the next picture is named there, so
// nothing depends on timing.
#include "PageMakerFixture.h"
#include "ScopedEnv.h"
#include "TestSupport.h"
#include "engine/picture/JpegFacts.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <FreeImage.h>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace testsupport;

namespace {

// At every page drawn: the pictures the helper has been handed so far,
// waiting for `next` (the picture after the one drawn) to be among them.
struct DrawWatch : PdfLibrary {
    int fifo = -1;
    QString next;
    bool* gaveUp = nullptr; // once a name never came: waits no more
    QStringList trace;
    int StretchDrawFromFile(int box, int left, int top, int width, int height, const QString& bitmap) override
    {
        collect();
        // A JPEG kept as it is needs no bitmap.
        trace << QString("draw %1%2").arg(width).arg(QFileInfo::exists(bitmap) ? "" : " kept");
        return PdfLibrary::StretchDrawFromFile(box, left, top, width, height, bitmap);
    }
    void collect()
    {
        for (bool seen = next.isEmpty(); !seen || readable(0);) {
            // Only a helper never handed the picture waits this long.
            if (!readable(*gaveUp ? 0 : 120000)) {
                *gaveUp = !seen;
                break;
            }
            char buffer[4096] = {};
            const ssize_t n = ::read(fifo, buffer, sizeof buffer - 1);
            for (const QString& line : QString::fromLocal8Bit(buffer, int(qMax<ssize_t>(n, 0))).split('\n', Qt::SkipEmptyParts)) {
                trace << QFileInfo(line).fileName();
                seen = seen || QFileInfo(line).fileName() == next;
            }
        }
    }
    bool readable(int ms) const
    {
        pollfd p{fifo, POLLIN, 0};
        return ::poll(&p, 1, ms) == 1;
    }
};

} // namespace

TEST_F(PageMakerFixture, NextPictureIsDecodedWhileAPageIsDrawnAndFailsInItsOwnTurn)
{
    const struct Row {
        const char* what;
        QStringList names; // widths 40, 60, 80...: the pages told apart
        int quality;
        int damaged; // the entry cut short; -1: none
        int edited; // the entry named as next to this one, then edited to another; -1: none
        QStringList handedAndDrawn; // the pictures handed to the helper, and the pages' widths as drawn
    } rows[] = {
        // A first JPEG is read in this process, any other by the helper.
        {"PNG and BMP", {"a.png", "b.bmp", "c.png"}, 80, -1, -1, {"a.png", "b.bmp", "draw 51", "c.png", "draw 76", "draw 102"}},
        {"JPEGs coded anew", {"a.jpg", "b.jpg", "c.jpg"}, 50, -1, -1, {"b.jpg", "draw 51", "c.jpg", "draw 76", "draw 102"}},
        // A kept page leaves this process idle: it checks every other JPEG
        // itself while the helper checks the one after.
        {"JPEGs kept as they are", {"a.jpg", "b.jpg", "c.jpg", "d.jpg"}, 100, -1, -1,
         {"b.jpg", "draw 51 kept", "draw 76 kept", "d.jpg", "draw 102 kept", "draw 127 kept"}},
        {"a damaged picture, told when its page comes", {"a.png", "b.png", "c.png"}, 80, 1, -1, {"a.png", "b.png", "draw 51"}},
        {"an entry edited meanwhile", {"a.png", "b.png"}, 80, -1, 0, {"a.png", "x.png", "draw 51", "b.png", "draw 76"}},
    };
    const QString fifo = dir.filePath("handed");
    ASSERT_EQ(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    // Held open here, so that the helper never waits to write.
    const int fd = ::open(QFile::encodeName(fifo).constData(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    ScopedEnv env;
    env.set("VELUNOR_DECODE_TELL", QFile::encodeName(fifo));
    const QString other = pic("x.png");
    ASSERT_TRUE(writeTestPicture(other, FIF_PNG, 30, 30));
    bool gaveUp = false;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        QStringList paths;
        for (int i = 0; i < row.names.size(); ++i) {
            paths << pic(QString("%1/%2").arg(row.quality).arg(row.names[i]));
            QDir().mkpath(QFileInfo(paths[i]).path());
            ASSERT_TRUE(writeTestPicture(paths[i], FreeImage_GetFIFFromFilename(qPrintable(row.names[i])), 40 + 20 * i, 20));
            if (i == row.damaged) {
                ASSERT_TRUE(writeFile(paths[i], readAll(paths[i]).left(60)));
            }
        }
        DrawWatch watch;
        watch.fifo = fd;
        watch.gaveUp = &gaveUp;
        PageMaker maker(folders, sink, [] {}, DecoderProcess::Defaults(), watch);
        maker.BeginJob();
        for (int i = 0; i < paths.size(); ++i) {
            const QString next = i == row.edited ? other : paths.value(i + 1);
            // Waited for at the draw only where it is to be handed.
            watch.next = row.handedAndDrawn.contains(QFileInfo(next).fileName()) ? QFileInfo(next).fileName() : QString();
            const PageResult r = maker.MakePage(i, paths[i], row.quality, PageLayout(), next);
            ASSERT_EQ(r.ok(), i != row.damaged) << i << qPrintable(r.message);
            if (i == row.damaged) {
                EXPECT_TRUE(r.message.contains(row.names[i])) << qPrintable(r.message);
                break;
            }
            // The page of this entry, drawn from its own picture.
            const QString size = pdfInfoField(folders.pageFile(i), "Page size");
            EXPECT_NEAR(size.section(' ', 0, 0).toDouble(), PageMaker::PageLength(40 + 20 * i) * 72.0 / 254, 0.01)
                << i << qPrintable(size);
            if (row.quality == 100) { // the JPEG's own data, checked by the helper
                const ProcessResult x = runProgram("pdfimages", {"-j", folders.pageFile(i), dir.filePath("x")});
                QByteArray stripped;
                JpegFacts::Of(readAll(paths[i]), &stripped);
                EXPECT_EQ(readAll(dir.filePath("x-000.jpg")), stripped) << i << qPrintable(x.err);
            }
        }
        watch.next.clear();
        watch.collect(); // and nothing more was handed
        EXPECT_EQ(watch.trace.join(", ").toStdString(), row.handedAndDrawn.join(", ").toStdString());
    }
    ::close(fd);
}

// A large page is coded on a thread of its own while the window gets its
// event passes: here its drawing waits for an event pass, which comes only
// then (without it, the drawing would wait its full minute and fail).
TEST_F(PageMakerFixture, ALargePageIsDrawnWithTheWindowLive)
{
    struct WaitsForAPass : PdfLibrary {
        std::mutex m;
        std::condition_variable passes;
        bool passed = false, sawPass = false;
        int StretchDrawFromFile(int box, int left, int top, int width, int height, const QString& bitmap) override
        {
            std::unique_lock<std::mutex> lock(m);
            passed = false; // the page's own passes came before
            sawPass = passes.wait_for(lock, std::chrono::seconds(60), [&] { return passed; });
            lock.unlock();
            return PdfLibrary::StretchDrawFromFile(box, left, top, width, height, bitmap);
        }
    } pdf;
    PageMaker large(folders, sink, [&] {
        std::lock_guard<std::mutex> lock(pdf.m);
        pdf.passed = true;
        pdf.passes.notify_all();
    }, DecoderProcess::Defaults(), pdf);
    large.BeginJob();
    const QString path = pic("large.png");
    ASSERT_TRUE(writeTestPicture(path, FIF_PNG, 2000, 1000)); // 2 megapixels
    ASSERT_TRUE(large.MakePage(0, path, 80).ok());
    EXPECT_TRUE(pdf.sawPass);
}
