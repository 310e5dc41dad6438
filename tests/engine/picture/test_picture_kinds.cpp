// HEIC, HEIF, AVIF, WebP and JPEG XL pictures, made by each format's own
// encoder and checked against its own reference decoder.
#include "PictureCheck.h"
#include "RecordingMessageSink.h"
#include "TestSupport.h"

#include "engine/job/PageMaker.h"

#include <FreeImage.h>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <libheif/heif.h>

#include <algorithm>
#include <cmath>

using namespace testsupport;

namespace {

constexpr int kW = 160, kH = 120;

// PSNR of b against a, in dB; -1 when the sizes differ, 99 when equal.
double psnr(const RgbImage& a, const RgbImage& b)
{
    if (a.w != b.w || a.h != b.h || a.w == 0)
        return -1;
    double sum = 0;
    for (size_t k = 0; k < a.px.size(); ++k) {
        const double d = double(a.px[k]) - double(b.px[k]);
        sum += d * d;
    }
    const double mse = sum / double(a.px.size());
    return mse == 0 ? 99 : 10 * std::log10(255.0 * 255.0 / mse);
}

QStringList filled(QStringList args, const QString& in, const QString& out)
{
    for (QString& a : args)
        a.replace("%in", in).replace("%out", out);
    return args;
}

// A HEIC written by libheif's own encoder, whose irot and imir boxes say to
// show `img` turned and mirrored as Exif orientation `orientation` does.
bool writeTurnedHeic(const RgbImage& img, const QString& path, int orientation)
{
    heif_context* ctx = heif_context_alloc();
    heif_encoder* encoder = nullptr;
    heif_image* picture = nullptr;
    heif_encoding_options* options = heif_encoding_options_alloc();
    bool ok = heif_context_get_encoder_for_format(ctx, heif_compression_HEVC, &encoder).code == heif_error_Ok &&
              heif_image_create(img.w, img.h, heif_colorspace_RGB, heif_chroma_interleaved_RGB, &picture).code ==
                  heif_error_Ok &&
              heif_image_add_plane(picture, heif_channel_interleaved, img.w, img.h, 8).code == heif_error_Ok;
    if (ok) {
        heif_encoder_set_lossy_quality(encoder, 95);
        int stride = 0;
        uint8_t* rows = heif_image_get_plane(picture, heif_channel_interleaved, &stride);
        for (int y = 0; y < img.h; ++y)
            std::copy(img.at(0, y), img.at(0, y) + 3 * img.w, rows + y * stride);
        options->image_orientation = heif_orientation(orientation);
        const QByteArray name = QFile::encodeName(path);
        ok = heif_context_encode_image(ctx, picture, encoder, options, nullptr).code == heif_error_Ok &&
             heif_context_write_to_file(ctx, name.constData()).code == heif_error_Ok;
    }
    heif_encoding_options_free(options);
    if (picture)
        heif_image_release(picture);
    if (encoder)
        heif_encoder_release(encoder);
    heif_context_free(ctx);
    return ok;
}

struct Kind {
    const char* name;
    const char* file;            // the picture's name (its extension may lie)
    bool alpha;                  // made from the source with alpha
    QStringList encode;          // program, then its arguments
    QStringList reference;       // the format's own decoder, writing a PNG
    bool turned = false;         // stands upright a quarter turn from its pixels
};

class PictureKinds : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(dir.isValid());
        folders = WorkFolders{dir.filePath("tmpvelunor"), dir.filePath("jpgtmp")};
        ASSERT_TRUE(QDir().mkpath(folders.tmpDir));
        ASSERT_TRUE(QDir().mkpath(folders.pageDir));
        ASSERT_TRUE(saveRgb(testPattern(kW, kH), path("source.png"), FIF_PNG));
        // The same pattern, its alpha falling from left to right, and a
        // second frame for the animation.
        ASSERT_EQ(runProgram("convert", {path("source.png"), "-alpha", "set", "-channel", "A", "-fx", "1-i/w",
                                         "+channel", "-depth", "8", path("alpha.png")})
                      .exitCode,
                  0);
        ASSERT_EQ(runProgram("convert", {path("source.png"), "-negate", path("second.png")}).exitCode, 0);
    }
    QString path(const QString& name) const { return dir.filePath(name); }

    QTemporaryDir dir;
    WorkFolders folders;
    RecordingMessageSink sink;
};

TEST_F(PictureKinds, PageMatchesTheFormatsOwnDecoderAndRendersAlike)
{
    const Kind kinds[] = {
        {"HEIC", "photo.heic", false, {"heif-enc", "-q", "100", "%in", "-o", "%out"}, {"heif-convert", "%in", "%out"}},
        {"HEIC with alpha", "alpha.heic", true, {"heif-enc", "-q", "100", "%in", "-o", "%out"},
         {"heif-convert", "%in", "%out"}},
        // A phone's HEIC renamed .jpg is read by its content.
        {"HEIC named .jpg", "phone.jpg", false, {"heif-enc", "-q", "100", "%in", "-o", "%out"},
         {"heif-convert", "%in", "%out"}},
        {"AVIF 8-bit", "photo8.avif", false, {"avifenc", "-d", "8", "--min", "0", "--max", "0", "%in", "%out"},
         {"avifdec", "%in", "%out"}},
        {"AVIF 10-bit", "photo10.avif", false, {"avifenc", "-d", "10", "--min", "0", "--max", "0", "%in", "%out"},
         {"avifdec", "-d", "8", "%in", "%out"}},
        {"WebP lossy", "photo.webp", false, {"cwebp", "-quiet", "-q", "100", "%in", "-o", "%out"},
         {"dwebp", "-quiet", "%in", "-o", "%out"}},
        {"WebP lossless", "flat.webp", false, {"cwebp", "-quiet", "-lossless", "%in", "-o", "%out"},
         {"dwebp", "-quiet", "%in", "-o", "%out"}},
        {"WebP with alpha", "alpha.webp", true, {"cwebp", "-quiet", "-q", "100", "-alpha_q", "100", "%in", "-o", "%out"},
         {"dwebp", "-quiet", "%in", "-o", "%out"}},
        // One picture, not a document: its first frame.
        {"animated WebP", "moving.webp", false, {"img2webp", "-lossless", "%in", path("second.png"), "-o", "%out"},
         {"cp", "%in", "%out"}},
        {"JPEG XL", "photo.jxl", false, {"cjxl", "%in", "%out", "-d", "1"}, {"djxl", "%in", "%out"}},
        {"JPEG XL lossless", "exact.jxl", false, {"cjxl", "%in", "%out", "-d", "0"}, {"djxl", "%in", "%out"}},
        {"JPEG XL with alpha", "alpha.jxl", true, {"cjxl", "%in", "%out", "-d", "1"}, {"djxl", "%in", "%out"}},
        // A JPEG whose Exif says "turn right", kept as JPEG XL: the
        // orientation travels in the JPEG XL header.
        {"JPEG XL with an orientation", "turned.jxl", false,
         {"sh", "-c", "convert %in -quality 95 %out.jpg && exiftool -q -overwrite_original -Orientation=6 -n %out.jpg"
                      " && cjxl %out.jpg %out"},
         {"djxl", "%in", "%out"}, true},
    };
    PageMaker maker(folders, sink, [] {});
    maker.BeginJob();
    int i = 0;
    for (const Kind& kind : kinds) {
        SCOPED_TRACE(kind.name);
        const QString source = path(kind.alpha ? "alpha.png" : "source.png");
        const QString picture = path(kind.file);
        const ProcessResult made = runProgram(kind.encode.first(), filled(kind.encode.mid(1), source, picture));
        ASSERT_EQ(made.exitCode, 0) << made.err.toStdString();
        // The reference: the format's own decoder, put on white as the page is.
        const QString reference = path(QString("reference%1.png").arg(i));
        const QString referenceSource = kind.reference.first() == "cp" ? source : picture;
        ASSERT_EQ(runProgram(kind.reference.first(), filled(kind.reference.mid(1), referenceSource, reference)).exitCode, 0);
        ASSERT_EQ(runProgram("convert", {reference, "-background", "white", "-alpha", "remove", "-alpha", "off",
                                         "-depth", "8", "PNG24:" + reference})
                      .exitCode,
                  0);
        const RgbImage expected = loadRgb(reference);

        const PageResult page = maker.MakePage(i, picture, 100);
        ASSERT_TRUE(page.ok()) << page.message.toStdString();
        EXPECT_EQ(page.pages, 1);
        const QString pdf = folders.pageFile(i);
        EXPECT_EQ(qpdfProblems(pdf), "");
        const auto box = mediaBoxPoints(pdf);
        EXPECT_NEAR(box.first, (kind.turned ? kH : kW) * 72.0 / 200, 0.5);
        EXPECT_NEAR(box.second, (kind.turned ? kW : kH) * 72.0 / 200, 0.5);
        EXPECT_GE(psnr(expected, extractImage(pdf)), 30.0);
        const Rendered shown = renderPoppler(pdf, 200);
        ASSERT_TRUE(shown.ok);
        EXPECT_GE(psnr(expected, shown.image), 30.0);
        ++i;
    }
}

TEST_F(PictureKinds, HeicIsTurnedAndMirroredAsItsBoxesSay)
{
    PageMaker maker(folders, sink, [] {});
    maker.BeginJob();
    const RgbImage img = testPattern(kW, kH);
    for (const int orientation : {2, 3, 6, 7}) {
        SCOPED_TRACE(orientation);
        const QString picture = path(QString("turned%1.heic").arg(orientation));
        ASSERT_TRUE(writeTurnedHeic(img, picture, orientation));
        const QString reference = path(QString("turned%1.png").arg(orientation));
        ASSERT_EQ(runProgram("heif-convert", {picture, reference}).exitCode, 0);
        const RgbImage expected = loadRgb(reference);
        const bool quarter = orientation >= 5;
        ASSERT_EQ(expected.w, quarter ? kH : kW); // the reference decoder turns it too
        const PageResult page = maker.MakePage(orientation, picture, 100);
        ASSERT_TRUE(page.ok()) << page.message.toStdString();
        EXPECT_GE(psnr(expected, extractImage(folders.pageFile(orientation))), 30.0);
    }
}

} // namespace

namespace {

TEST_F(PictureKinds, AnEmbeddedProfileGoesWithThePage)
{
    // The pixels are taken as Adobe RGB (1998): the profile is embedded, not applied.
    ASSERT_EQ(runProgram("convert", {path("source.png"), "-profile", "/usr/share/color/icc/ghostscript/a98.icc",
                                     path("profiled.png")})
                  .exitCode,
              0);
    const struct {
        const char* file;
        QStringList encode;
    } kinds[] = {
        {"profiled.heic", {"heif-enc", "-q", "90", "%in", "-o", "%out"}},
        {"profiled.webp", {"cwebp", "-quiet", "-metadata", "icc", "%in", "-o", "%out"}},
    };
    PageMaker maker(folders, sink, [] {});
    maker.BeginJob();
    int i = 0;
    for (const auto& kind : kinds) {
        SCOPED_TRACE(kind.file);
        ASSERT_EQ(runProgram(kind.encode.first(), filled(kind.encode.mid(1), path("profiled.png"), path(kind.file))).exitCode,
                  0);
        ASSERT_TRUE(maker.MakePage(i, path(kind.file), 100).ok());
        const auto rows = pdfImages(folders.pageFile(i));
        ASSERT_EQ(rows.size(), 1u);
        EXPECT_EQ(rows[0].value(5), "icc");
        ++i;
    }
}

} // namespace
