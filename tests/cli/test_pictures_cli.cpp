// velunor-convert on the picture kinds beside the design's: every page of a
// multi-page TIFF, damaged and oversize HEIC, AVIF, WebP and JPEG XL files,
// and folders as arguments.
#include "PictureCheck.h"
#include "TestSupport.h"
#include "cli_program.h"

#include <FreeImage.h>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <gtest/gtest.h>

using namespace testsupport;

namespace {

void put16(QByteArray& a, quint16 v)
{
    a += char(v & 0xFF);
    a += char(v >> 8);
}
void put32(QByteArray& a, quint32 v)
{
    put16(a, quint16(v & 0xFFFF));
    put16(a, quint16(v >> 16));
}

// A little-endian TIFF of 8-bit grey pages, one strip each. A page with
// `thumbnail` set is marked as a reduced-resolution copy; `cut` gives its
// strip a byte count that runs past the end of the file.
struct TiffPage {
    int w, h, grey;
    bool thumbnail = false;
    bool cut = false;
};
QByteArray greyTiff(const QList<TiffPage>& pages)
{
    QByteArray tiff("II*\0", 4);
    put32(tiff, 8);
    for (int k = 0; k < pages.size(); ++k) {
        const TiffPage& p = pages.at(k);
        const quint16 entries = 10;
        const quint32 here = quint32(tiff.size());
        const quint32 pixelsAt = here + 2 + 12 * entries + 4;
        const quint32 pixels = quint32(p.w * p.h);
        const quint32 next = k + 1 < pages.size() ? pixelsAt + pixels : 0;
        const quint32 table[entries][3] = {
            {254, 4, p.thumbnail ? 1u : 0u}, {256, 4, quint32(p.w)}, {257, 4, quint32(p.h)}, {258, 3, 8},
            {259, 3, 1}, {262, 3, 1}, {273, 4, pixelsAt}, {277, 3, 1}, {278, 4, quint32(p.h)},
            {279, 4, p.cut ? pixels * 50 : pixels},
        };
        put16(tiff, entries);
        for (const auto& e : table) {
            put16(tiff, quint16(e[0]));
            put16(tiff, quint16(e[1]));
            put32(tiff, 1);
            if (e[1] == 3) {
                put16(tiff, quint16(e[2]));
                put16(tiff, 0);
            } else {
                put32(tiff, e[2]);
            }
        }
        put32(tiff, next);
        tiff += QByteArray(int(p.cut ? pixels / 2 : pixels), char(p.grey));
    }
    return tiff;
}

class PicturesCli : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(tmp.isValid());
        for (const char* d : {"pics", "out", "cache"})
            QDir().mkpath(root + "/" + d);
    }

    ProcessResult run(const QStringList& args)
    {
        QProcess p;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("XDG_CACHE_HOME", root + "/cache");
        p.setProcessEnvironment(env);
        p.setWorkingDirectory(root);
        p.setStandardInputFile(QProcess::nullDevice());
        p.start(convertProgram(), QStringList{"-o", root + "/out", "-y"} + args);
        ProcessResult r;
        if (!p.waitForStarted(30000))
            return r;
        p.waitForFinished(300000);
        r.exitCode = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
        r.out = QString::fromLocal8Bit(p.readAllStandardOutput());
        r.err = QString::fromLocal8Bit(p.readAllStandardError());
        return r;
    }
    QString document() const { return root + "/out/New PDF Document.pdf"; }
    QStringList outputFiles() const { return QDir(root + "/out").entryList(QDir::Files | QDir::Hidden); }
    QStringList leftovers() const
    {
        return QDir(root + "/cache/velunor").entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot);
    }
    // Page n's size in points and the grey of its middle, as poppler draws it.
    std::tuple<double, double, int> page(int n) const
    {
        const ProcessResult info = runProgram("pdfinfo", {"-f", QString::number(n), "-l", QString::number(n), "-box",
                                                          document()});
        const auto m = QRegularExpression(QString("Page\\s+%1 MediaBox:\\s+(\\S+)\\s+(\\S+)\\s+(\\S+)\\s+(\\S+)").arg(n))
                           .match(info.out);
        QTemporaryDir d;
        runProgram("pdftoppm", {"-r", "50", "-f", QString::number(n), "-l", QString::number(n), "-singlefile", "-png",
                                document(), d.filePath("p")});
        const RgbImage img = loadRgb(d.filePath("p.png"));
        const int grey = img.w > 0 ? img.at(img.w / 2, img.h / 2)[0] : -1;
        return {m.captured(3).toDouble(), m.captured(4).toDouble(), grey};
    }
    QString pic(const QString& name) const { return root + "/pics/" + name; }

    QTemporaryDir tmp;
    QString root = tmp.path();
};

TEST_F(PicturesCli, EveryPageOfAMultiPageTiffBecomesAPageInOrder)
{
    // Three pages and a thumbnail of the first, then a PNG: four pages.
    ASSERT_TRUE(writeFile(pic("scan.tif"), greyTiff({{100, 40, 30}, {50, 80, 130}, {120, 60, 230}, {10, 4, 90, true}})));
    ASSERT_TRUE(writeTestPicture(pic("after.png"), FIF_PNG, 200, 100));
    const ProcessResult r = run({pic("scan.tif"), pic("after.png")});
    ASSERT_EQ(r.exitCode, 0) << r.err.toStdString();
    EXPECT_EQ(qpdfProblems(document()), "");
    ASSERT_EQ(pdfPageCount(document()), 4);
    const std::tuple<double, double, int> expected[] = {
        {100 * 0.36, 40 * 0.36, 30}, {50 * 0.36, 80 * 0.36, 130}, {120 * 0.36, 60 * 0.36, 230}};
    for (int n = 1; n <= 3; ++n) {
        const auto [w, h, grey] = page(n);
        EXPECT_NEAR(w, std::get<0>(expected[n - 1]), 0.5) << "page " << n;
        EXPECT_NEAR(h, std::get<1>(expected[n - 1]), 0.5) << "page " << n;
        EXPECT_NEAR(grey, std::get<2>(expected[n - 1]), 3) << "page " << n;
    }
    EXPECT_NEAR(std::get<0>(page(4)), 200 * 0.36, 0.5);
    // The progress counts list entries: 0% and 100%, nothing more.
    EXPECT_EQ(r.err.count("Preparing Files...0%"), 1) << r.err.toStdString();
    EXPECT_EQ(r.err.count("Preparing Files...100%"), 1);
    EXPECT_FALSE(r.err.contains("Preparing Files...33%") || r.err.contains("Preparing Files...66%"));

    // A page that cannot be read fails the job by file and page number.
    ASSERT_TRUE(writeFile(pic("torn.tif"), greyTiff({{100, 40, 30}, {50, 80, 130, false, true}, {120, 60, 230}})));
    QFile::remove(document());
    const ProcessResult torn = run({pic("after.png"), pic("torn.tif")});
    EXPECT_EQ(torn.exitCode, 1);
    EXPECT_TRUE(torn.err.contains(pic("torn.tif")) && torn.err.contains("page 2 of 3")) << torn.err.toStdString();
    EXPECT_TRUE(outputFiles().isEmpty()) << outputFiles().join(' ').toStdString();
    EXPECT_TRUE(leftovers().isEmpty());
}

TEST_F(PicturesCli, CutAndOversizeFilesOfEachNewKindAreRefusedByNameLeavingNoDocument)
{
    ASSERT_TRUE(writeTestPicture(pic("source.png"), FIF_PNG, 160, 120));
    ASSERT_TRUE(writeFile(pic("long.pgm"), "P5\n65600 1\n255\n" + QByteArray(65600, '\x80')));
    // Made by their own encoders; the oversize ones claim 30,000 x 30,000
    // in their boxes or 16,383 x 16,383 in their header, or are 65,600 wide.
    const struct {
        const char* name;
        QStringList encode;
        const char* oversizeFrom; // encoded from long.pgm when set
    } kinds[] = {
        {"photo.heic", {"heif-enc", "-q", "90", "%in", "-o", "%out"}, nullptr},
        {"photo.avif", {"avifenc", "%in", "%out"}, nullptr},
        {"photo.webp", {"cwebp", "-quiet", "-lossless", "%in", "-o", "%out"}, nullptr},
        {"photo.jxl", {"cjxl", "%in", "%out", "-d", "1"}, "long.pgm"},
    };
    ASSERT_TRUE(writeTestPicture(pic("fine.png"), FIF_PNG, 64, 48));
    for (const auto& kind : kinds) {
        SCOPED_TRACE(kind.name);
        const QString good = pic(kind.name);
        QStringList args = kind.encode.mid(1);
        args.replaceInStrings("%in", pic("source.png")).replaceInStrings("%out", good);
        ASSERT_EQ(runProgram(kind.encode.first(), args).exitCode, 0);
        const QByteArray bytes = readAll(good);

        // Cut in half.
        const QString cut = pic(QString("half-") + kind.name);
        ASSERT_TRUE(writeFile(cut, bytes.left(bytes.size() / 2)));
        // Oversize.
        const QString big = pic(QString("big-") + kind.name);
        if (kind.oversizeFrom) {
            args = kind.encode.mid(1);
            args.replaceInStrings("%in", pic(kind.oversizeFrom)).replaceInStrings("%out", big);
            ASSERT_EQ(runProgram(kind.encode.first(), args).exitCode, 0);
        } else {
            QByteArray b = bytes;
            if (QByteArray(kind.name).endsWith("webp")) {
                // VP8L: 14 bits each of width and height minus one.
                quint32 v = quint32(uchar(b[21])) | quint32(uchar(b[22])) << 8 | quint32(uchar(b[23])) << 16 |
                            quint32(uchar(b[24])) << 24;
                v = (v & ~0x0FFFFFFFu) | 16382u | 16382u << 14;
                for (int k = 0; k < 4; ++k)
                    b[21 + k] = char(v >> (8 * k));
            } else {
                for (qsizetype at = b.indexOf("ispe"); at >= 0; at = b.indexOf("ispe", at + 4)) {
                    QByteArray size;
                    for (int k = 0; k < 2; ++k)
                        size += QByteArray("\0\0\x75\x30", 4); // 30,000, big-endian
                    b.replace(at + 8, 8, size);
                }
            }
            ASSERT_TRUE(writeFile(big, b));
        }
        for (const QString& bad : {cut, big}) {
            const ProcessResult r = run({pic("fine.png"), bad});
            EXPECT_EQ(r.exitCode, 1) << bad.toStdString();
            EXPECT_TRUE(r.err.contains(bad)) << r.err.toStdString();
            EXPECT_FALSE(r.err.contains(".cc:")) << r.err.toStdString(); // no decoder's debugging lines
            if (bad == big) {
                EXPECT_TRUE(r.err.contains("larger than the limit") || r.err.contains("more than the limit"))
                    << r.err.toStdString();
            }
            EXPECT_TRUE(outputFiles().isEmpty()) << outputFiles().join(' ').toStdString();
            EXPECT_TRUE(leftovers().isEmpty());
        }
    }
}

TEST_F(PicturesCli, AFolderArgumentAddsThePicturesOfItsTreeAsAddFolderDoes)
{
    // Sizes tell the pages apart: width 10 x the place it should take.
    const QString d = root + "/pics/album";
    for (const char* sub : {"b sub", "a sub", ".hidden"})
        QDir().mkpath(d + "/" + sub);
    auto make = [](const QString& path, int format, int place) { ASSERT_TRUE(writeTestPicture(path, format, 10 * place, 20)); };
    make(pic("first.png"), FIF_PNG, 1);
    make(d + "/scan2.PNG", FIF_PNG, 2);
    make(d + "/scan10.bmp", FIF_BMP, 3);
    make(d + "/a sub/x.jpg", FIF_JPEG, 4);
    make(d + "/b sub/y.png", FIF_PNG, 6);
    ASSERT_EQ(runProgram("cwebp", {"-quiet", "-lossless", pic("first.png"), "-o", d + "/a sub/z.webp"}).exitCode, 0);
    ASSERT_EQ(runProgram("convert", {"-size", "50x20", "xc:gray", d + "/a sub/zz.png"}).exitCode, 0);
    make(d + "/.hidden/no.png", FIF_PNG, 9);
    ASSERT_TRUE(writeFile(d + "/notes.txt", "not a picture"));
    ASSERT_TRUE(QFile::link(d + "/scan2.PNG", d + "/a sub/link-to-scan2.jpeg"));

    const ProcessResult r = run({pic("first.png"), d});
    ASSERT_EQ(r.exitCode, 0) << r.err.toStdString();
    // first.png; album's own pictures (scan2 before scan10); "a sub" (the
    // link as a file, x.jpg, z.webp, zz.png); "b sub"; nothing of .hidden.
    const QList<double> widths = {10, 20, 30, 20, 40, 10, 50, 60};
    ASSERT_EQ(pdfPageCount(document()), widths.size());
    for (int n = 1; n <= widths.size(); ++n)
        EXPECT_NEAR(std::get<0>(page(n)), widths.at(n - 1) * 0.36, 0.5) << "page " << n;

    // A folder without pictures, and a missing file or folder: usage
    // errors by name, before any page.
    QDir().mkpath(root + "/pics/empty/deeper");
    ASSERT_TRUE(writeFile(root + "/pics/empty/deeper/a.txt", "x"));
    QFile::remove(document());
    for (const QString& bad : {root + "/pics/empty", root + "/pics/missing.heic", root + "/pics/gone/"}) {
        const ProcessResult u = run({pic("first.png"), bad});
        EXPECT_EQ(u.exitCode, 2) << bad.toStdString();
        EXPECT_TRUE(u.err.contains(bad)) << u.err.toStdString();
        EXPECT_FALSE(u.err.contains("Preparing")) << u.err.toStdString();
        EXPECT_TRUE(outputFiles().isEmpty());
    }
}

} // namespace
