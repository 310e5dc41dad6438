// JPEGs kept as they are: which pages store the picture's own coded data
// rather than coding it anew, that such a page holds exactly the file's
// pixels in no more bytes, and that kept CMYK shows its inks in poppler,
// mupdf and Ghostscript alike. The JPEGs are made here with libjpeg; djpeg
// and the renderers judge the pages.
#include "PageMakerFixture.h"
#include "JpegSamples.h"
#include "PictureCheck.h"
#include "RecordingMessageSink.h"
#include "TestSupport.h"

#include "engine/job/PageMaker.h"

#include <QDir>
#include <QFileInfo>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <random>

using namespace testsupport;
using Model = JpegRecipe::Model;

namespace {

constexpr int kW = 256, kH = 160;

// Photo-like samples: gradients under noise, `channels` bytes a pixel.
std::vector<uint8_t> photo(int channels)
{
    std::mt19937 rng(11);
    std::uniform_int_distribution<int> noise(-30, 30);
    std::vector<uint8_t> px(size_t(kW) * kH * channels);
    for (int y = 0; y < kH; ++y)
        for (int x = 0; x < kW; ++x)
            for (int c = 0; c < channels; ++c)
                px[(size_t(y) * kW + x) * channels + c] =
                    uint8_t(std::clamp((x * (c + 1) + y * (3 - c)) % 256 + noise(rng), 0, 255));
    return px;
}

// The page's image as stored: pdfimages -all writes a DCT stream as it is.
QByteArray storedJpeg(const QString& pdf)
{
    QTemporaryDir out;
    runProgram("pdfimages", {"-all", pdf, out.filePath("im")});
    return readAll(out.filePath("im-000.jpg"));
}

// djpeg's pixels of a JPEG (it may have warned); empty when it fails.
QByteArray djpeg(const QByteArray& jpeg)
{
    QTemporaryDir dir;
    const QString in = dir.filePath("in.jpg"), out = dir.filePath("out.pnm");
    if (!writeFile(in, jpeg))
        return {};
    const int exit = runProgram("djpeg", {"-pnm", "-outfile", out, in}).exitCode;
    return exit == 0 || exit == 2 ? readAll(out) : QByteArray(); // 2: warnings
}

// A one-page PDF of w x h points showing `samples` (n components a pixel,
// stored plainly, 0 = no ink for CMYK) under a device or ICC colour space:
// how each renderer shows those values, to hold a kept JPEG against.
QByteArray plainImagePdf(int w, int h, double widthPt, double heightPt, const QByteArray& samples, int n,
                         const QByteArray& icc)
{
    const QByteArray device = n == 4 ? "/DeviceCMYK" : n == 3 ? "/DeviceRGB" : "/DeviceGray";
    const QByteArray space = icc.isEmpty() ? device : "[/ICCBased 6 0 R]";
    const QByteArray content = QString("q %1 0 0 %2 0 0 cm /Im Do Q").arg(widthPt).arg(heightPt).toLatin1();
    const QList<QByteArray> objects = {
        "<</Type/Catalog/Pages 2 0 R>>",
        "<</Type/Pages/Kids[3 0 R]/Count 1>>",
        QString("<</Type/Page/Parent 2 0 R/MediaBox[0 0 %1 %2]/Resources<</XObject<</Im 4 0 R>>>>/Contents 5 0 R>>")
            .arg(widthPt).arg(heightPt).toLatin1(),
        QString("<</Type/XObject/Subtype/Image/Width %1/Height %2/BitsPerComponent 8/ColorSpace %3/Length %4>>stream\n")
                .arg(w).arg(h).arg(QString::fromLatin1(space)).arg(samples.size()).toLatin1() +
            samples + "\nendstream",
        QString("<</Length %1>>stream\n").arg(content.size()).toLatin1() + content + "\nendstream",
        QString("<</N %1/Alternate %2/Length %3>>stream\n").arg(n).arg(QString::fromLatin1(device)).arg(icc.size()).toLatin1() +
            icc + "\nendstream",
    };
    QByteArray pdf = "%PDF-1.4\n";
    QList<qsizetype> offsets;
    for (int i = 0; i < objects.size(); ++i) {
        offsets << pdf.size();
        pdf += QByteArray::number(i + 1) + " 0 obj\n" + objects[i] + "\nendobj\n";
    }
    const qsizetype xref = pdf.size();
    pdf += "xref\n0 " + QByteArray::number(objects.size() + 1) + "\n0000000000 65535 f \n";
    for (qsizetype o : offsets)
        pdf += QString("%1 00000 n \n").arg(o, 10, 10, QChar('0')).toLatin1();
    pdf += "trailer\n<</Size " + QByteArray::number(objects.size() + 1) + "/Root 1 0 R>>\nstartxref\n" +
           QByteArray::number(xref) + "\n%%EOF\n";
    return pdf;
}

// Mean colour (0..255) of the middle of patch i (4 across, 2 down).
std::array<double, 3> patchMean(const RgbImage& img, int i)
{
    std::array<double, 3> sum{};
    const int pw = img.w / 4, ph = img.h / 2, x0 = (i % 4) * pw, y0 = (i / 4) * ph;
    int count = 0;
    for (int y = y0 + ph / 4; y < y0 + 3 * ph / 4; ++y)
        for (int x = x0 + pw / 4; x < x0 + 3 * pw / 4; ++x, ++count)
            for (int c = 0; c < 3; ++c)
                sum[size_t(c)] += img.at(x, y)[c];
    for (double& v : sum)
        v /= count;
    return sum;
}

class JpegPassThroughTest : public PageMakerFixture {
protected:
    // Page i of the picture; a made page must be valid and drawn by
    // poppler, mupdf and Ghostscript without a word.
    PageResult page(int i, const QString& path, int quality)
    {
        const PageResult r = maker.MakePage(i, path, quality);
        if (r.ok()) {
            const QString pdf = folders.pageFile(i);
            EXPECT_EQ(qpdfProblems(pdf), QString());
            for (const Rendered& shown : {renderPoppler(pdf, 72), renderMupdf(pdf, 72), renderGhostscript(pdf, 72)})
                EXPECT_TRUE(shown.ok && shown.messages.isEmpty()) << qPrintable(shown.messages);
        }
        return r;
    }
};

TEST_F(JpegPassThroughTest, KeptWhereRecodingCannotHelpAndExactlyTheFilesPixels)
{
    // A camera's file: JFIF, Exif, XMP, a comment, an ICC profile, and
    // bytes after its end.
    JpegRecipe camera;
    camera.segments = {{0xE1, exifWithOrientation(1)},
                       {0xE1, QByteArray("http://ns.adobe.com/xap/1.0/\0<x:xmpmeta/>", 41)},
                       {0xFE, "a comment no reader needs"}};
    camera.icc = readAll("/usr/share/color/icc/ghostscript/srgb.icc");
    ASSERT_FALSE(camera.icc.isEmpty());
    auto with = [](JpegRecipe r, auto change) { return change(r), r; };
    enum Expect { Kept, Recoded, RecodedSmaller, Refused };
    const struct {
        const char* name;
        JpegRecipe recipe;
        int asked;
        Expect expect;
        QByteArray (*damage)(QByteArray);
    } cases[] = {
        {"camera q75 at 85", camera, 85, Kept, nullptr},
        {"camera q75 at 75", camera, 75, Kept, nullptr},
        {"camera q75 at 74", camera, 74, Recoded, nullptr},
        {"camera q75 at 50", camera, 50, RecodedSmaller, nullptr},
        {"progressive q100", with(camera, [](auto& r) { r.progressive = true, r.quality = 100; }), 100, Kept, nullptr},
        {"Exif 6 q100", with(camera, [](auto& r) { r.segments[0].second = exifWithOrientation(6), r.quality = 100; }),
         100, Kept, nullptr},
        {"grey q100", with(JpegRecipe{}, [](auto& r) { r.model = Model::Grey, r.quality = 100; }), 100, Kept, nullptr},
        {"4:4:4 q90 at 100", with(camera, [](auto& r) { r.lumaH = r.lumaV = 1, r.quality = 90; }), 100, Kept, nullptr},
        {"Adobe RGB q95", with(JpegRecipe{}, [](auto& r) { r.model = Model::Rgb, r.quality = 95; }), 100, Kept, nullptr},
        {"Adobe CMYK q95", with(JpegRecipe{}, [](auto& r) { r.model = Model::Cmyk, r.quality = 95; }), 100, Kept, nullptr},
        {"Adobe YCCK q95", with(JpegRecipe{}, [](auto& r) { r.model = Model::Ycck, r.quality = 95; }), 100, Kept, nullptr},
        {"CMYK without Adobe's marker",
         with(JpegRecipe{}, [](auto& r) { r.model = Model::Cmyk, r.quality = 95, r.withoutAdobeMarker = true; }), 100,
         Recoded, nullptr},
        {"arithmetic coding", with(JpegRecipe{}, [](auto& r) { r.arithmetic = true, r.quality = 95; }), 100, Recoded,
         nullptr},
        {"the decoder warns", with(JpegRecipe{}, [](auto& r) { r.quality = 95; }), 100, Recoded,
         [](QByteArray j) { return j.insert(j.size() - 2, QByteArray(100, '\0')); }},
        {"cut short", with(JpegRecipe{}, [](auto& r) { r.quality = 95; }), 100, Refused,
         [](QByteArray j) { return j.left(j.size() * 2 / 3); }},
        // Damage inside the coded data, found without the pixels as the
        // pixel decode finds it: a marker in the middle of a scan.
        {"a damaged scan", with(JpegRecipe{}, [](auto& r) { r.quality = 95; }), 100, Refused,
         [](QByteArray j) { return j.insert(j.size() / 2, "\xFF\xD3"); }},
        {"progressive, its last scan damaged", with(camera, [](auto& r) { r.progressive = true, r.quality = 95; }), 100,
         Refused, [](QByteArray j) { return j.insert(j.lastIndexOf("\xFF\xD9") - 20, "\xFF\xD3"); }},
        // A file of 1 MB or more is checked on a thread of its own.
        {"over 1 MB", with(camera, [](auto& r) { r.quality = 95; }), 100, Kept,
         [](QByteArray j) { return j + QByteArray(1 << 20, 'x'); }},
        {"over 1 MB, a damaged scan", with(JpegRecipe{}, [](auto& r) { r.quality = 95; }), 100, Refused,
         [](QByteArray j) { return j.insert(j.size() / 2, "\xFF\xD3") + QByteArray(1 << 20, 'x'); }},
    };
    for (int i = 0; i < int(std::size(cases)); ++i) {
        const auto& c = cases[i];
        SCOPED_TRACE(c.name);
        const Model m = c.recipe.model;
        const int channels = m == Model::Grey ? 1 : m == Model::Cmyk || m == Model::Ycck ? 4 : 3;
        QByteArray file = makeJpeg(kW, kH, photo(channels), c.recipe);
        if (c.recipe.segments.size())
            file += "trailing bytes";
        if (c.damage)
            file = c.damage(file);
        const QString path = pic(QString("kind%1.jpg").arg(i));
        ASSERT_TRUE(writeFile(path, file));

        const PageResult r = page(i, path, c.asked);
        if (c.expect == Refused) {
            EXPECT_EQ(r.status, PageResult::PictureError) << qPrintable(r.message);
            EXPECT_FALSE(QFileInfo::exists(folders.pageFile(i)));
            continue;
        }
        ASSERT_TRUE(r.ok()) << qPrintable(r.message);
        const QByteArray stored = storedJpeg(folders.pageFile(i)), pixels = djpeg(file);
        ASSERT_FALSE(pixels.isEmpty());
        if (c.expect == Kept) {
            // Checked without its pixels: no temporary bitmap was made.
            EXPECT_FALSE(QFileInfo::exists(folders.tempBitmap()));
            EXPECT_EQ(djpeg(stored), pixels);
            EXPECT_LE(stored.size(), file.size());
            // What no reader needs is gone; Adobe's colour transform stays.
            for (const char* gone : {"Exif", "http://ns.adobe.com/xap", "ICC_PROFILE", "a comment", "JFIF", "trailing"})
                EXPECT_FALSE(stored.contains(gone)) << gone;
            EXPECT_EQ(stored.contains("Adobe"), file.contains("Adobe"));
        } else {
            EXPECT_NE(djpeg(stored), pixels);
            if (c.expect == RecodedSmaller) {
                EXPECT_LT(QFileInfo(folders.pageFile(i)).size(), file.size());
            }
        }
    }
}

TEST_F(JpegPassThroughTest, KeptCmykShowsItsInksInEveryRenderer)
{
    const QByteArray profile = readAll("/usr/share/color/icc/ghostscript/default_cmyk.icc");
    ASSERT_FALSE(profile.isEmpty()) << "Ghostscript's CMYK profile is missing";
    // Eight patches of inks (0 = none); Adobe's files store them inverted.
    const int w = 200, h = 100;
    const uint8_t inks[8][4] = {{255, 0, 0, 0},   {0, 255, 0, 0},   {0, 0, 255, 0},   {0, 0, 0, 128},
                                {153, 102, 0, 0}, {0, 204, 153, 0}, {102, 0, 204, 0}, {51, 51, 51, 0}};
    QByteArray plain;
    std::vector<uint8_t> inverted;
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            for (int c = 0; c < 4; ++c) {
                const uint8_t ink = inks[(y / 50) * 4 + x / 50][c];
                plain += char(ink);
                inverted.push_back(uint8_t(255 - ink));
            }
    const struct {
        const char* name;
        Model model;
        QByteArray icc;
    } cases[] = {{"CMYK with its profile", Model::Cmyk, profile},
                 {"YCCK with its profile", Model::Ycck, profile},
                 {"CMYK without a profile", Model::Cmyk, {}}};
    int i = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        JpegRecipe recipe;
        recipe.model = c.model, recipe.quality = 95, recipe.icc = c.icc;
        const QString jpeg = pic(QString("ink%1.jpg").arg(i)), reference = pic(QString("ink%1.pdf").arg(i));
        ASSERT_TRUE(writeFile(jpeg, makeJpeg(w, h, inverted, recipe)));
        ASSERT_TRUE(page(i, jpeg, 100).ok());
        const QString pdf = folders.pageFile(i);
        ASSERT_FALSE(storedJpeg(pdf).isEmpty()) << "not kept";
        const auto box = mediaBoxPoints(pdf);
        ASSERT_TRUE(writeFile(reference, plainImagePdf(w, h, box.first, box.second, plain, 4, c.icc)));
        for (const auto& [renderer, render] :
             {std::pair{"poppler", &renderPoppler}, {"mupdf", &renderMupdf}, {"Ghostscript", &renderGhostscript}}) {
            const Rendered ours = render(pdf, 200), theirs = render(reference, 200);
            ASSERT_TRUE(ours.ok && theirs.ok) << renderer;
            for (int p = 0; p < 8; ++p) {
                const auto a = patchMean(ours.image, p), b = patchMean(theirs.image, p);
                for (int k = 0; k < 3; ++k)
                    EXPECT_NEAR(a[size_t(k)], b[size_t(k)], 3.0) << renderer << " patch " << p;
            }
        }
        ++i;
    }
}

} // namespace
