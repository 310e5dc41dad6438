// Pages as good as their pictures: colour profiles, PNG samples, flat
// pictures, grey with alpha, subsampling, Huffman tables, and the finished
// document's information. Every picture is made here; lcms2 computes the
// colour-managed reference, and outside programs read the results.
#include "JpegSamples.h"
#include "PageMakerFixture.h"
#include "PictureCheck.h"
#include "RecordingMessageSink.h"
#include "TestSupport.h"
#include "test_job_support.h"

#include "engine/job/ConversionJob.h"
#include "engine/job/JobWorkArea.h"
#include "engine/job/PageMaker.h"
#include "platform/DOSOutputs.h"

#include <FreeImage.h>
#include <QColorSpace>
#include <QDir>
#include <QFileInfo>
#include <QImage>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QPainter>
#include <QTemporaryDir>
#include <QtEndian>
#include <gtest/gtest.h>

#include <lcms2.h>
#include <random>
#include <zlib.h>

using namespace testsupport;

namespace {

constexpr int kW = 200, kH = 100;

// Ghostscript's profiles: Adobe RGB (1998) and a press CMYK.
QByteArray adobeRgbProfile() { return readAll("/usr/share/color/icc/ghostscript/a98.icc"); }
QByteArray cmykProfile() { return readAll("/usr/share/color/icc/ghostscript/default_cmyk.icc"); }

// Eight patches of 50 x 50 pixels, 4 across, 2 down; `colour(i)` gives the
// source values of patch i (3 or 4 bytes).
template <class Colour>
std::vector<uint8_t> patches(int channels, Colour colour)
{
    std::vector<uint8_t> px(size_t(kW) * kH * channels);
    for (int y = 0; y < kH; ++y)
        for (int x = 0; x < kW; ++x) {
            const std::vector<uint8_t> c = colour((y / 50) * 4 + x / 50);
            std::copy(c.begin(), c.end(), px.begin() + (size_t(y) * kW + x) * channels);
        }
    return px;
}

// Mean colour of the middle of patch i of a rendering, sRGB 0..1.
std::array<double, 3> patchMean(const RgbImage& img, int i)
{
    std::array<double, 3> sum{};
    int n = 0;
    const int x0 = (i % 4) * 50 * img.w / kW, y0 = (i / 4) * 50 * img.h / kH, side = 50 * img.w / kW;
    for (int y = y0 + side / 4; y < y0 + 3 * side / 4; ++y)
        for (int x = x0 + side / 4; x < x0 + 3 * side / 4; ++x, ++n)
            for (int c = 0; c < 3; ++c)
                sum[size_t(c)] += img.at(x, y)[c] / 255.0;
    for (double& v : sum)
        v /= n;
    return sum;
}

// Colour difference (CIE 1976) between a shown sRGB colour (0..1) and the
// colour-managed sRGB value of `source` (8-bit samples of `format`) under
// `profile`.
double deltaE(const std::array<double, 3>& shown, const QByteArray& profile, cmsUInt32Number format,
              const std::vector<uint8_t>& source)
{
    cmsHPROFILE in = cmsOpenProfileFromMem(profile.constData(), cmsUInt32Number(profile.size()));
    cmsHPROFILE srgb = cmsCreate_sRGBProfile(), lab = cmsCreateLab4Profile(nullptr);
    cmsHTRANSFORM managed = cmsCreateTransform(in, format, srgb, TYPE_RGB_DBL, INTENT_RELATIVE_COLORIMETRIC, 0);
    cmsHTRANSFORM toLab = cmsCreateTransform(srgb, TYPE_RGB_DBL, lab, TYPE_Lab_DBL, INTENT_RELATIVE_COLORIMETRIC, 0);
    std::array<double, 3> want{};
    cmsDoTransform(managed, source.data(), want.data(), 1);
    for (double& v : want) // out of sRGB's gamut: shown as the nearest it has
        v = std::clamp(v, 0.0, 1.0);
    cmsCIELab la, lb;
    cmsDoTransform(toLab, shown.data(), &la, 1);
    cmsDoTransform(toLab, want.data(), &lb, 1);
    cmsDeleteTransform(managed);
    cmsDeleteTransform(toLab);
    for (cmsHPROFILE p : {in, srgb, lab})
        cmsCloseProfile(p);
    return cmsDeltaE(&la, &lb);
}

// A PNG chunk with its length and CRC.
QByteArray chunk(const char* type, const QByteArray& data)
{
    const auto be32 = [](quint32 v) { return QByteArray(reinterpret_cast<const char*>(&(v = qToBigEndian(v))), 4); };
    const QByteArray body = QByteArray(type, 4) + data;
    return be32(quint32(data.size())) + body +
           be32(quint32(crc32(0, reinterpret_cast<const Bytef*>(body.constData()), uInt(body.size()))));
}

// Photo-like pixels: gradients under noise, so neither flat nor few-coloured.
RgbImage noisy(int w, int h)
{
    RgbImage img = testPattern(w, h);
    std::mt19937 rng(7);
    std::uniform_int_distribution<int> d(-40, 40);
    for (auto& v : img.px)
        v = uint8_t(std::clamp(int(v) + d(rng), 0, 255));
    return img;
}

// Luma sampling factors of the page's JPEG (0x22 = 4:2:0), -1 if none.
int pageSampling(const QString& pdf)
{
    QTemporaryDir out;
    runProgram("pdfimages", {"-j", pdf, out.filePath("im")});
    const QByteArray j = readAll(out.filePath("im-000.jpg"));
    const int sof = j.indexOf(QByteArray("\xFF\xC0", 2));
    return sof < 0 ? -1 : int(quint8(j[sof + 11]));
}

class PageQualityTest : public PageMakerFixture {
protected:
    // Makes page i and checks it is valid and drawn by poppler, mupdf and
    // Ghostscript without a word; returns poppler's rendering.
    RgbImage page(int i, const QString& path, int quality)
    {
        const PageResult r = maker.MakePage(i, path, quality);
        EXPECT_TRUE(r.ok()) << qPrintable(r.message);
        const QString pdf = folders.pageFile(i);
        EXPECT_EQ(qpdfProblems(pdf), QString());
        const Rendered shown[] = {renderPoppler(pdf, 200), renderMupdf(pdf, 200), renderGhostscript(pdf, 200)};
        for (const Rendered& s : shown)
            EXPECT_TRUE(s.ok && s.messages.isEmpty()) << qPrintable(s.messages);
        return shown[0].image;
    }

};

TEST_F(PageQualityTest, EmbeddedProfilesGiveTheManagedColours)
{
    const QByteArray adobe = adobeRgbProfile(), cmyk = cmykProfile();
    ASSERT_FALSE(adobe.isEmpty() || cmyk.isEmpty()) << "Ghostscript's profiles are missing";
    // Saturated colours, where Adobe RGB and sRGB lie far apart.
    const std::vector<std::vector<uint8_t>> rgb = {{0, 200, 0},   {210, 20, 20},  {20, 30, 200},  {0, 180, 180},
                                                   {200, 200, 0}, {200, 0, 200},  {128, 128, 128}, {240, 180, 140}};
    const std::vector<std::vector<uint8_t>> ink = {{255, 0, 0, 0},   {0, 255, 0, 0},    {0, 0, 255, 0},  {0, 0, 0, 128},
                                                   {153, 102, 0, 0}, {0, 204, 153, 0}, {102, 0, 204, 0}, {51, 51, 51, 0}};
    const std::vector<uint8_t> rgbPx = patches(3, [&](int i) { return rgb[size_t(i)]; });
    JpegRecipe adobeJpeg;
    adobeJpeg.quality = 95, adobeJpeg.icc = adobe;
    ASSERT_TRUE(writeFile(pic("adobe.jpg"), makeJpeg(kW, kH, rgbPx, adobeJpeg)));
    QImage adobePng(rgbPx.data(), kW, kH, kW * 3, QImage::Format_RGB888);
    adobePng.setColorSpace(QColorSpace::fromIccProfile(adobe));
    ASSERT_TRUE(adobePng.save(pic("adobe.png")) && readAll(pic("adobe.png")).contains("iCCP"));
    // As Adobe's programs write CMYK: inverted, with the profile in APP2.
    JpegRecipe adobeCmyk;
    adobeCmyk.model = JpegRecipe::Model::Cmyk, adobeCmyk.quality = 95, adobeCmyk.icc = cmyk;
    std::vector<uint8_t> stored = patches(4, [&](int i) { return ink[size_t(i)]; });
    for (uint8_t& v : stored)
        v = uint8_t(255 - v);
    ASSERT_TRUE(writeFile(pic("cmyk.jpg"), makeJpeg(kW, kH, stored, adobeCmyk)));

    const struct {
        QString file;
        const QByteArray& profile;
        cmsUInt32Number format;
        const std::vector<std::vector<uint8_t>>& colours;
    } cases[] = {{"adobe.jpg", adobe, TYPE_RGB_8, rgb}, {"adobe.png", adobe, TYPE_RGB_8, rgb},
                 {"cmyk.jpg", cmyk, TYPE_CMYK_8, ink}};
    int i = 0;
    for (const auto& c : cases) {
        const RgbImage shown = page(i, pic(c.file), 85);
        ASSERT_EQ(shown.w, kW) << qPrintable(c.file);
        for (int p = 0; p < 8; ++p) {
            const double d = deltaE(patchMean(shown, p), c.profile, c.format, c.colours[size_t(p)]);
            EXPECT_LE(d, 2.5) << qPrintable(c.file) << " patch " << p;
        }
        ++i;
    }
}

TEST_F(PageQualityTest, PaletteAndRgbPngWithGammaGiveTheSameRawSamples)
{
    // 64 colours in blocks, as palette and as RGB PNG, both saying gAMA 0.7.
    RgbImage img{kW, kH, std::vector<uint8_t>(size_t(kW) * kH * 3)};
    for (int y = 0; y < kH; ++y)
        for (int x = 0; x < kW; ++x) {
            const int k = (x / 25 + 8 * (y / 25)) * 2;
            uint8_t* p = img.at(x, y);
            p[0] = uint8_t((k & 3) * 85);
            p[1] = uint8_t(((k >> 2) & 3) * 85);
            p[2] = uint8_t(((k >> 4) & 3) * 85);
        }
    const QString rgbPng = pic("rgb.png"), palettePng = pic("palette.png");
    ASSERT_TRUE(saveRgb(img, rgbPng, FIF_PNG));
    ASSERT_TRUE(QImage(rgbPng).convertToFormat(QImage::Format_Indexed8).save(palettePng));
    ASSERT_EQ(readAll(palettePng)[25], 3) << "not a palette PNG";
    ASSERT_EQ(meanAbsDiff(loadRgb(palettePng), img), 0.0) << "the palette PNG must hold the same pixels";
    for (const QString& path : {rgbPng, palettePng}) {
        QByteArray png = readAll(path);
        png.insert(33, chunk("gAMA", QByteArray("\x00\x01\x11\x70", 4))); // 70000: gamma 0.7
        ASSERT_TRUE(writeFile(path, png));
    }
    page(0, rgbPng, 85);
    page(1, palettePng, 85);
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(meanAbsDiff(renderMupdf(folders.pageFile(i), 200).image, img), 0.0) << i;
        EXPECT_EQ(pdfImages(folders.pageFile(i))[0][5], "index") << i;
    }
}

TEST_F(PageQualityTest, FlatScreenshotIsExactAndAboutAsSmallAsItsOptimisedPng)
{
    // Panels, a title bar, buttons and rows of anti-aliased strokes like text.
    QImage shot(600, 400, QImage::Format_RGB32);
    shot.fill(QColor(246, 246, 246));
    QPainter p(&shot);
    // The title bar's gradient takes it past 256 colours.
    QLinearGradient bar(0, 0, 600, 0);
    bar.setColorAt(0, QColor(30, 60, 140));
    bar.setColorAt(1, QColor(120, 170, 230));
    p.fillRect(0, 0, 600, 28, bar);
    p.fillRect(10, 40, 180, 350, QColor(230, 232, 235));
    p.setRenderHint(QPainter::Antialiasing);
    p.setBrush(QColor(220, 224, 230));
    p.setPen(QColor(150, 155, 165));
    for (int b = 0; b < 4; ++b)
        p.drawRoundedRect(QRectF(20.5, 60.5 + 40 * b, 160, 28), 5, 5);
    p.setPen(QPen(QColor(30, 30, 30), 1.3));
    std::mt19937 rng(3);
    for (int line = 0; line < 22; ++line)
        for (int x = 210; x < 580; x += 7) {
            const double y = 50 + 15 * line, h = 4 + rng() % 6;
            p.drawLine(QPointF(x + 0.3, y + 9), QPointF(x + 2.5 + rng() % 3, y + 9 - h));
        }
    p.end();
    const QString png = pic("shot.png"), optimised = pic("shot-optimised.png");
    ASSERT_TRUE(shot.save(png));
    ASSERT_TRUE(QFile::copy(png, optimised));
    ASSERT_EQ(runProgram("optipng", {"-quiet", "-o2", optimised}).exitCode, 0);
    const RgbImage expected = loadRgb(png);

    page(0, png, 85);
    const QString pdf = folders.pageFile(0);
    EXPECT_NE(pdfImages(pdf)[0][8], "jpeg");
    EXPECT_EQ(meanAbsDiff(extractImage(pdf), expected), 0.0);
    EXPECT_EQ(meanAbsDiff(renderMupdf(pdf, 200).image, expected), 0.0);
    EXPECT_LE(double(QFileInfo(pdf).size()), 1.3 * double(QFileInfo(optimised).size()));
}

TEST_F(PageQualityTest, GreyWithAlphaStaysGreyOnWhite)
{
    // A PNG of colour type 4: grey ramp, left half opaque, right half clear.
    QByteArray raw;
    RgbImage expected{kW, kH, std::vector<uint8_t>(size_t(kW) * kH * 3)};
    for (int y = 0; y < kH; ++y) {
        raw += char(0); // no filter
        for (int x = 0; x < kW; ++x) {
            const uint8_t g = uint8_t(x * 255 / (kW - 1)), a = x < kW / 2 ? 255 : 0;
            raw += char(g);
            raw += char(a);
            std::fill_n(expected.at(x, y), 3, a ? g : 255);
        }
    }
    uLongf size = compressBound(uLong(raw.size()));
    QByteArray z(qsizetype(size), '\0');
    compress(reinterpret_cast<Bytef*>(z.data()), &size, reinterpret_cast<const Bytef*>(raw.constData()), uLong(raw.size()));
    z.resize(qsizetype(size));
    const QByteArray ihdr("\0\0\0\xC8\0\0\0\x64\x08\x04\0\0\0", 13);
    const QByteArray png = QByteArray("\x89PNG\r\n\x1A\n", 8) + chunk("IHDR", ihdr) + chunk("IDAT", z) + chunk("IEND", {});
    ASSERT_TRUE(writeFile(pic("greyalpha.png"), png));

    const RgbImage shown = page(0, pic("greyalpha.png"), 85);
    EXPECT_EQ(pdfImages(folders.pageFile(0))[0][5], "gray");
    EXPECT_LE(meanAbsDiffAligned(shown, expected, 1), 2.0);
}

TEST_F(PageQualityTest, JpegSourcesAreNeverSampledFinerThanTheyWere)
{
    const RgbImage img = noisy(kW, kH);
    ASSERT_TRUE(saveRgb(img, pic("s420.jpg"), FIF_JPEG, 24, 95 | JPEG_SUBSAMPLING_420));
    ASSERT_TRUE(saveRgb(img, pic("s422.jpg"), FIF_JPEG, 24, 95 | JPEG_SUBSAMPLING_422));
    ASSERT_TRUE(saveRgb(img, pic("photo.png"), FIF_PNG));
    // The quality's rule (4:4:4 from 90, 4:2:0 below), never finer than the source.
    const struct {
        const char* file;
        int quality;
        int sampling;
    } cases[] = {{"s420.jpg", 95, 0x22}, {"s422.jpg", 95, 0x21}, {"s422.jpg", 50, 0x22},
                 {"photo.png", 95, 0x11}, {"photo.png", 50, 0x22}};
    int i = 0;
    for (const auto& c : cases) {
        page(i, pic(c.file), c.quality);
        EXPECT_EQ(pageSampling(folders.pageFile(i)), c.sampling) << c.file << " at " << c.quality;
        ++i;
    }
}

TEST_F(PageQualityTest, PhotoJpegIsGraphicsMagicksPixelsInNoMoreBytes)
{
    const QString photo = "/usr/share/backgrounds/mate/nature/Storm.jpg";
    if (!QFileInfo::exists(photo))
        GTEST_SKIP() << "mate-backgrounds is not installed";
    // The photo as a PNG, so neither side copies JPEG coefficients.
    ASSERT_TRUE(QImage(photo).scaled(640, 427, Qt::IgnoreAspectRatio, Qt::SmoothTransformation).save(pic("photo.png")));
    for (int q : {50, 85}) {
        page(0, pic("photo.png"), q);
        QTemporaryDir out;
        runProgram("pdfimages", {"-j", folders.pageFile(0), out.filePath("im")});
        const QString ours = out.filePath("im-000.jpg"), gm = out.filePath("gm.jpg");
        ASSERT_EQ(runProgram("gm", {"convert", pic("photo.png"), "-quality", QString::number(q), "-sampling-factor",
                                    "2x2", gm}).exitCode, 0);
        EXPECT_EQ(meanAbsDiff(loadRgb(ours), loadRgb(gm)), 0.0) << q;
        EXPECT_LE(QFileInfo(ours).size(), QFileInfo(gm).size()) << q;
    }
}

// The finished document, read by exiftool.
class DocumentInformationTest : public ::testing::Test {
protected:
    QTemporaryDir tmp;
    QString root = tmp.path();
    RecordingJobIo io;
    JobWorkArea area{root + "/cache"};
    DOSOutputs runner{io};
    ConversionJob job{io, io, runner, area};
};

// How the information step writes the fields (dates, the XMP mirror) is
// velunor-docinfo's own test's; here the job's fields must reach it.
TEST_F(DocumentInformationTest, TheJobsFieldsReachTheDocument)
{
    ASSERT_TRUE(QDir().mkpath(root + "/out"));
    ASSERT_TRUE(writeTestPicture(root + "/a.png", FIF_PNG, 120, 80));
    io.entries = {root + "/a.png"};
    io.outputFolder = root + "/out";
    io.title = QString::fromUtf8("Caf\u00e9 <A & B>");
    io.author = "Ann O'Neil";
    io.subject = QString::fromUtf8("\u6771\u4eac");
    io.keywords = "one, two";
    io.creationDate = "D:20240131154500+01'00";
    job.SetSettingsPath(root + "/setting.dll");
    ASSERT_EQ(job.Run(), ConversionJob::Outcome::Done) << io.events.join('\n').toStdString();
    const QString pdf = job.OutputPath();
    EXPECT_EQ(qpdfProblems(pdf), QString());
    for (const auto& [key, value] : {std::pair<QString, QString>{"Title", io.title}, {"Author", io.author},
                                     {"Subject", io.subject}, {"Keywords", io.keywords}})
        EXPECT_EQ(pdfInfoField(pdf, key), value) << qPrintable(key);
    const ProcessResult r = runProgram("exiftool", {"-j", "-G1", "-charset", "pdf=UTF8", pdf});
    ASSERT_EQ(r.exitCode, 0) << qPrintable(r.err);
    const QJsonObject tags = QJsonDocument::fromJson(r.out.toUtf8()).array().at(0).toObject();
    EXPECT_EQ(tags["PDF:CreateDate"].toString(), "2024:01:31 15:45:00+01:00");
}

} // namespace
