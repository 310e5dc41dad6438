// velunor-join, run as the job runs it and judged by qpdf, poppler and
// mupdf: each join is an update after the chain's own bytes, the chain
// moves on to its next name, and whatever it cannot take leaves the chain
// as it was.
#include "PageMakerFixture.h"
#include "TestSupport.h"
#include "engine/job/PageMaker.h"
#include "platform/AppPaths.h"

#include <FreeImage.h>
#include <QDir>
#include <QFile>
#include <QImage>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <sys/mount.h>
#include <unistd.h>

using namespace testsupport;

namespace {

class JoinTest : public PageMakerFixture {
protected:
    const QTemporaryDir& base = dir;

    // Real pages of noise (so that a page is tens of kilobytes), page i
    // 60 + 20 i pixels wide; a JPEG kept as it is among them.
    void makePages(int n)
    {
        quint32 seed = 7;
        for (int i = 0; i < n; ++i) {
            QImage img(60 + 20 * i, 120, QImage::Format_RGB888);
            for (int y = 0; y < img.height(); ++y)
                for (int x = 0; x < img.width() * 3; ++x)
                    img.scanLine(y)[x] = uchar((seed = seed * 1664525u + 1013904223u) >> 24);
            const QString pic = base.filePath(QString("p%1.%2").arg(i).arg(i == 1 ? "jpg" : "png"));
            ASSERT_TRUE(img.save(pic, nullptr, 90));
            ASSERT_TRUE(maker.MakePage(i, pic, 95).ok());
        }
        ASSERT_TRUE(QFile::copy(folders.pageFile(0), folders.chainFile(1)));
    }
    ProcessResult join(int i, const QString& chain = {})
    {
        return runProgram(AppPaths::HelperProgram("velunor-join"),
                          {chain.isEmpty() ? folders.chainFile(i) : chain, folders.pageFile(i), "cat", "output",
                           folders.chainFile(i + 1), "dont_ask"});
    }
    // Page widths as poppler and mupdf read them.
    static QStringList widths(const QString& pdf)
    {
        QStringList seen;
        static const QRegularExpression poppler(R"(Page\s+\d+ size:\s+([\d.]+) x)"), mupdf(R"re(<MediaBox l="0" b="0" r="([\d.]+)")re");
        for (auto it = poppler.globalMatch(runProgram("pdfinfo", {"-f", "1", "-l", "99", pdf}).out); it.hasNext();)
            seen << "poppler " + it.next().captured(1);
        for (auto it = mupdf.globalMatch(runProgram("mutool", {"pages", pdf}).out); it.hasNext();)
            seen << "mupdf " + it.next().captured(1);
        return seen;
    }
};

// A PDF written by hand: its objects numbered from 1 (the first is the
// catalog), a classic cross-reference table.
QByteArray handMade(const QByteArrayList& objects)
{
    QByteArray pdf = "%PDF-1.4\n";
    QList<qsizetype> offsets;
    for (const QByteArray& body : objects) {
        offsets << pdf.size();
        pdf += QByteArray::number(offsets.size()) + " 0 obj\n" + body + "\nendobj\n";
    }
    const qsizetype xref = pdf.size();
    pdf += "xref\n0 " + QByteArray::number(offsets.size() + 1) + "\n0000000000 65535 f \n";
    for (qsizetype off : offsets)
        pdf += QByteArray::number(off).rightJustified(10, '0') + " 00000 n \n";
    return pdf + "trailer\n<< /Size " + QByteArray::number(offsets.size() + 1) + " /Root 1 0 R >>\nstartxref\n"
        + QByteArray::number(xref) + "\n%%EOF\n";
}

const QByteArray kCatalog = "<< /Type /Catalog /Pages 2 0 R >>";
const QByteArray kPage = "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 50 50] /Resources << >> /Contents 4 0 R >>";
const QByteArray kOneKid = "<< /Type /Pages /Kids [3 0 R] /Count 1 >>";

// `pdf` with an update shaped as a join's: a catalog, a page tree's root and
// its page given anew (objects 20 to 22), `trailer` added to its trailer.
QByteArray withUpdate(QByteArray pdf, const QByteArray& trailer)
{
    const QByteArray prev = pdf.mid(pdf.lastIndexOf("startxref") + 9).trimmed().split('\n').first();
    QByteArray table = "xref\n20 3\n";
    const QByteArray bodies[] = {"<< /Type /Catalog /Pages 21 0 R >>", "<< /Type /Pages /Kids [22 0 R] /Count 1 >>",
                                 "<< /Type /Page /Parent 21 0 R /MediaBox [0 0 50 50] >>"};
    for (int i = 0; i < 3; ++i) {
        table += QByteArray::number(pdf.size()).rightJustified(10, '0') + " 00000 n \n";
        pdf += QByteArray::number(20 + i) + " 0 obj\n" + bodies[i] + "\nendobj\n";
    }
    const qsizetype xref = pdf.size();
    return pdf + table + "trailer\n<< /Size 23 /Root 20 0 R " + trailer + " /Prev " + prev + " >>\nstartxref\n"
        + QByteArray::number(xref) + "\n%%EOF\n";
}

int count(const QByteArray& bytes, const QByteArray& what)
{
    return int(bytes.count(what));
}

} // namespace

TEST_F(JoinTest, EachPageIsAnUpdateAfterTheChainsBytesThatEveryReaderTakes)
{
    const int n = 4;
    makePages(n);
    QStringList expected;
    for (int i = 1; i < n; ++i) {
        const QByteArray before = readAll(folders.chainFile(i));
        const ProcessResult r = join(i);
        ASSERT_EQ(r.exitCode, 0) << qPrintable(r.err);
        const QString next = folders.chainFile(i + 1);
        EXPECT_FALSE(QFileInfo::exists(folders.chainFile(i))); // moved on, not copied
        const QByteArray after = readAll(next);
        EXPECT_TRUE(after.startsWith(before));
        EXPECT_EQ(count(after, "startxref"), i + 1);
        EXPECT_LT(after.size() - before.size(), QFileInfo(folders.pageFile(i)).size() + 1024);
        EXPECT_EQ(runProgram("qpdf", {"--check", next}).exitCode, 0) << qPrintable(runProgram("qpdf", {"--check", next}).out);
    }
    // The pages of the page files, in order, as each reader sees them.
    QStringList poppler, mupdf;
    for (int i = 0; i < n; ++i)
        for (const QString& w : widths(folders.pageFile(i)))
            (w.startsWith("poppler") ? poppler : mupdf) << w;
    expected = poppler + mupdf;
    ASSERT_EQ(expected.size(), 2 * n);
    EXPECT_EQ(widths(folders.chainFile(n)), expected);
    // Each page looks as its own page file does.
    for (int i = 0; i < n; ++i) {
        const QString p = QString::number(i + 1);
        const auto a = runProgram("pdftoppm", {"-r", "50", "-f", p, "-l", p, "-png", folders.chainFile(n), base.filePath("a")});
        const auto b = runProgram("pdftoppm", {"-r", "50", "-png", folders.pageFile(i), base.filePath("b")});
        ASSERT_EQ(a.exitCode + b.exitCode, 0);
        const QStringList as = QDir(base.path()).entryList({"a-*.png"}), bs = QDir(base.path()).entryList({"b-*.png"});
        ASSERT_EQ(as.size() + bs.size(), 2);
        EXPECT_EQ(QImage(base.filePath(as[0])), QImage(base.filePath(bs[0]))) << i;
        QFile::remove(base.filePath(as[0]));
        QFile::remove(base.filePath(bs[0]));
    }

    // The information step makes one plain file of it: one cross-reference
    // stream, object streams, none of the earlier revisions.
    ASSERT_TRUE(writeFile(folders.infoFile(), "InfoKey: Title\r\nInfoValue: T\r\nInfoKey: Author\r\nInfoValue: \r\n"
                                              "InfoKey: CreationDate\r\nInfoValue: D:20240102030405Z\r\n"
                                              "InfoKey: Subject\r\nInfoValue: \r\nInfoKey: Keywords\r\nInfoValue: \r\n"
                                              "InfoKey: Creator\r\nInfoValue: Velunor\r\n"
                                              "InfoKey: Producer\r\nInfoValue: Velunor\r\n"));
    const QString out = folders.finishedFile();
    ASSERT_EQ(runProgram(AppPaths::HelperProgram("velunor-docinfo"),
                         {folders.chainFile(n), "update_info", folders.infoFile(), "output", out, "dont_ask"})
                  .exitCode, 0);
    EXPECT_EQ(runProgram("qpdf", {"--check", out}).exitCode, 0);
    const QByteArray plain = readAll(out);
    EXPECT_EQ(count(plain, "startxref"), 1);
    EXPECT_EQ(count(plain, "%%EOF"), 1);
    const QString xref = runProgram("qpdf", {"--show-xref", out}).out;
    EXPECT_TRUE(xref.contains("compressed; stream =")) << qPrintable(xref);
    EXPECT_EQ(widths(out), expected);
    // The old revisions' page lists are gone.
    EXPECT_LT(plain.size(), readAll(folders.chainFile(n)).size());
}

// Whatever velunor-join cannot take leaves the chain file as it was, makes
// no next chain file, and says why.
TEST_F(JoinTest, WhatItCannotTakeLeavesTheChainAsItWasAndSaysWhy)
{
    makePages(2);
    const QString chain = folders.chainFile(1), page = folders.pageFile(1);
    const QByteArray good = readAll(chain), goodPage = readAll(page);
    const QString disk = base.filePath("disk");
    const struct Row {
        const char* what;
        const char* said;
        std::function<void()> spoil;
        bool fullDisk = false; // the chain on a disk with no room for the page (last: it needs root)
    } rows[] = {
        // Damaged page files that qpdf would take, repaired: one whose
        // cross-reference table is not where the file says, one whose
        // contents do not decode.
        {"a page file that needs repair", "page file", [&] {
             QByteArray bytes = handMade({kCatalog, kOneKid, kPage, "<< /Length 0 >>\nstream\n\nendstream"});
             bytes.insert(bytes.lastIndexOf("xref\n0 "), "junk\n");
             writeFile(page, bytes);
         }},
        {"a page file whose contents do not decode", "page file", [&] {
             writeFile(page, handMade({kCatalog, kOneKid, kPage,
                                       "<< /Length 8 /Filter /FlateDecode >>\nstream\nnot zlib\nendstream"}));
         }},
        {"a page file with no page", "holds no page",
         [&] { writeFile(page, handMade({kCatalog, "<< /Type /Pages /Kids [] /Count 0 >>"})); }},
        {"a chain whose pages hang from a tree of trees", "not a chain file of ours",
         [&] {
             writeFile(chain, handMade({kCatalog, kOneKid, "<< /Type /Pages /Parent 2 0 R /Kids [4 0 R] /Count 1 >>",
                                        "<< /Type /Page /Parent 3 0 R /MediaBox [0 0 50 50] >>"}));
         }},
        {"an encrypted chain", "encrypted",
         [&] { runProgram("qpdf", {"--encrypt", "", "o", "256", "--", base.filePath("src.pdf"), chain}); }},
        // Its last section alone would do for a join; the trailer says the
        // rest is encrypted.
        {"an encrypted chain with an update", "encrypted",
         [&] {
             runProgram("qpdf", {"--encrypt", "", "o", "256", "--", base.filePath("src.pdf"), base.filePath("e.pdf")});
             const QByteArray e = readAll(base.filePath("e.pdf"));
             static const QRegularExpression key(R"(/Encrypt \d+ \d+ R|/ID \[[^]]*\])");
             QByteArray keys;
             for (auto it = key.globalMatch(QString::fromLatin1(e.mid(e.lastIndexOf("trailer")))); it.hasNext();)
                 keys += it.next().captured().toLatin1() + ' ';
             ASSERT_TRUE(keys.contains("/Encrypt") && keys.contains("/ID")) << keys.constData();
             writeFile(chain, withUpdate(e, keys));
         }},
        {"a chain with a second name", "other names", [&] { ::link(QFile::encodeName(chain), QFile::encodeName(base.filePath("other.pdf"))); }},
        {"a full disk", "No space left on device", [] {}, true},
        // Room gone while a page's 200 KB stream passes through (written in
        // 64 KB pieces): the disk's words, not a damaged page's.
        {"a full disk in a stream", "No space left on device", [&] {
             writeFile(page, handMade({kCatalog, kOneKid, kPage,
                                       "<< /Length 200000 >>\nstream\n" + QByteArray(200000, ' ') + "\nendstream"}));
         }, true},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        QFile::remove(base.filePath("other.pdf"));
        QFile::remove(folders.chainFile(2));
        ASSERT_TRUE(writeFile(chain, good) && writeFile(page, goodPage) && writeFile(base.filePath("src.pdf"), good));
        QString from = chain;
        if (row.fullDisk) {
            if (::geteuid() != 0)
                GTEST_SKIP() << "mounting a small tmpfs needs root";
            QDir().mkpath(disk);
            const QByteArray size = "size=" + QByteArray::number(good.size() + 4096);
            ASSERT_EQ(::mount("tmpfs", QFile::encodeName(disk), "tmpfs", 0, size.constData()), 0) << std::strerror(errno);
            from = disk + "/tmp1.pdf";
            ASSERT_TRUE(writeFile(from, good));
        }
        const auto unmount = qScopeGuard([&] { if (row.fullDisk) ::umount2(QFile::encodeName(disk), MNT_DETACH); });
        row.spoil();
        const QByteArray before = readAll(from);
        const ProcessResult r = join(1, from);
        EXPECT_EQ(r.exitCode, 1);
        EXPECT_TRUE(r.err.startsWith("velunor-join: ") && r.err.contains(row.said)) << qPrintable(r.err);
        EXPECT_EQ(readAll(from), before);
        EXPECT_FALSE(QFileInfo::exists(folders.chainFile(2)));
    }
}
