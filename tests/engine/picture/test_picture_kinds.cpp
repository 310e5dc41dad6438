// HEIC, HEIF, AVIF, WebP and JPEG XL pictures, made by each format's own
// encoder and checked against its own reference decoder.
#include "PageMakerFixture.h"
#include "PictureCheck.h"
#include "TestSupport.h"

#include <FreeImage.h>
#include <QFile>
#include <gtest/gtest.h>

#include <libheif/heif_cxx.h>

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

// Runs `command` in the test's folder, %in and %out standing for those files.
ProcessResult shell(const QString& folder, QString command, const QString& in, const QString& out)
{
    command.replace("%in", "'" + in + "'").replace("%out", "'" + out + "'");
    return runProgram("sh", {"-c", "cd '" + folder + "' && " + command});
}

// A HEIC written by libheif's own encoder, whose irot and imir boxes say to
// show `img` turned and mirrored as Exif orientation `orientation` does.
// Throws libheif's error.
void writeTurnedHeic(const RgbImage& img, const QString& path, int orientation)
{
    heif::Image picture;
    picture.create(img.w, img.h, heif_colorspace_RGB, heif_chroma_interleaved_RGB);
    picture.add_plane(heif_channel_interleaved, img.w, img.h, 8);
    int stride = 0;
    uint8_t* rows = picture.get_plane(heif_channel_interleaved, &stride);
    for (int y = 0; y < img.h; ++y)
        std::copy_n(img.at(0, y), 3 * img.w, rows + y * stride);
    heif::Encoder encoder(heif_compression_HEVC);
    encoder.set_lossy_quality(95);
    heif::Context::EncodingOptions options;
    options.image_orientation = heif_orientation(orientation);
    heif::Context context;
    context.encode_image(picture, encoder, options);
    context.write_to_file(QFile::encodeName(path).toStdString());
}

struct Kind {
    const char* name;
    const char* file;      // the picture's name (its extension may lie)
    const char* encode;    // %out: the picture; none: libheif's encoder, turned as `orientation` says
    const char* reference; // the format's own decoder, writing a PNG
    int orientation = 1;   // as Exif numbers it; 5 to 8 stand upright a quarter turn from the pixels
    bool profiled = false; // made from Adobe RGB (1998) pixels: the profile is embedded, not applied
};

class PictureKinds : public PageMakerFixture {
protected:
    void SetUp() override
    {
        PageMakerFixture::SetUp();
        ASSERT_TRUE(saveRgb(testPattern(kW, kH), pic("source.png"), FIF_PNG));
        // The same pattern, its alpha falling from left to right; a second
        // frame for the animation; the pattern taken as Adobe RGB (1998).
        const ProcessResult made = shell(dir.path(),
            "convert source.png -alpha set -channel A -fx 1-i/w +channel -depth 8 alpha.png && "
            "convert source.png -negate second.png && "
            "convert source.png -profile /usr/share/color/icc/ghostscript/a98.icc profiled.png", {}, {});
        ASSERT_EQ(made.exitCode, 0) << made.err.toStdString();
    }
};

TEST_F(PictureKinds, PageMatchesTheFormatsOwnDecoderAndRendersAlike)
{
    const char* heic = "heif-convert %in %out";
    const char* avif = "avifdec -d 8 %in %out";
    const char* webp = "dwebp -quiet %in -o %out";
    const char* jxl = "djxl %in %out";
    const Kind kinds[] = {
        {"HEIC", "photo.heic", "heif-enc -q 100 source.png -o %out", heic},
        {"HEIC with alpha", "alpha.heic", "heif-enc -q 100 alpha.png -o %out", heic},
        // A phone's HEIC renamed .jpg is read by its content.
        {"HEIC named .jpg", "phone.jpg", "heif-enc -q 100 source.png -o %out", heic},
        // Turned and mirrored as its irot and imir boxes say.
        {"HEIC mirrored", "turned2.heic", nullptr, heic, 2},
        {"HEIC upside down", "turned3.heic", nullptr, heic, 3},
        {"HEIC turned right", "turned6.heic", nullptr, heic, 6},
        {"HEIC turned and mirrored", "turned7.heic", nullptr, heic, 7},
        {"HEIC with a profile", "profiled.heic", "heif-enc -q 90 profiled.png -o %out", heic, 1, true},
        {"AVIF 8-bit", "photo8.avif", "avifenc -d 8 --min 0 --max 0 source.png %out", avif},
        {"AVIF 10-bit", "photo10.avif", "avifenc -d 10 --min 0 --max 0 source.png %out", avif},
        {"WebP lossy", "photo.webp", "cwebp -quiet -q 100 source.png -o %out", webp},
        {"WebP lossless", "flat.webp", "cwebp -quiet -lossless source.png -o %out", webp},
        {"WebP with alpha", "alpha.webp", "cwebp -quiet -q 100 -alpha_q 100 alpha.png -o %out", webp},
        {"WebP with a profile", "profiled.webp", "cwebp -quiet -metadata icc profiled.png -o %out", webp, 1, true},
        // One picture, not a document: its first frame.
        {"animated WebP", "moving.webp", "img2webp -lossless source.png second.png -o %out", "cp source.png %out"},
        {"JPEG XL", "photo.jxl", "cjxl source.png %out -d 1", jxl},
        {"JPEG XL lossless", "exact.jxl", "cjxl source.png %out -d 0", jxl},
        {"JPEG XL with alpha", "alpha.jxl", "cjxl alpha.png %out -d 1", jxl},
        // A JPEG whose Exif says "turn right", kept as JPEG XL: the
        // orientation travels in the JPEG XL header.
        {"JPEG XL with an orientation", "turned.jxl",
         "convert source.png -quality 95 t.jpg && exiftool -q -overwrite_original -Orientation=6 -n t.jpg && cjxl t.jpg %out",
         jxl, 6},
    };
    for (int i = 0; i < int(std::size(kinds)); ++i) {
        const Kind& kind = kinds[i];
        SCOPED_TRACE(kind.name);
        const QString picture = pic(kind.file);
        if (kind.encode) {
            const ProcessResult made = shell(dir.path(), kind.encode, {}, picture);
            ASSERT_EQ(made.exitCode, 0) << made.err.toStdString();
        } else {
            ASSERT_NO_THROW(writeTurnedHeic(testPattern(kW, kH), picture, kind.orientation));
        }
        // The reference: the format's own decoder, put on white as the page is.
        const QString reference = pic(QString("reference%1.png").arg(i));
        const QString onWhite = " && convert %out -background white -alpha remove -alpha off -depth 8 PNG24:%out";
        ASSERT_EQ(shell(dir.path(), kind.reference + onWhite, picture, reference).exitCode, 0);
        const RgbImage expected = loadRgb(reference);

        const PageResult page = maker.MakePage(i, picture, 100);
        ASSERT_TRUE(page.ok()) << page.message.toStdString();
        EXPECT_EQ(page.pages, 1);
        const QString pdf = folders.pageFile(i);
        EXPECT_EQ(qpdfProblems(pdf), "");
        const bool turned = kind.orientation >= 5;
        const auto box = mediaBoxPoints(pdf);
        EXPECT_NEAR(box.first, (turned ? kH : kW) * 72.0 / 200, 0.5);
        EXPECT_NEAR(box.second, (turned ? kW : kH) * 72.0 / 200, 0.5);
        if (kind.profiled) {
            const auto rows = pdfImages(pdf);
            ASSERT_EQ(rows.size(), 1u);
            EXPECT_EQ(rows[0].value(5), "icc");
            continue;
        }
        EXPECT_GE(psnr(expected, extractImage(pdf)), 30.0);
        const Rendered shown = renderPoppler(pdf, 200);
        ASSERT_TRUE(shown.ok);
        EXPECT_GE(psnr(expected, shown.image), 30.0);
    }
}

} // namespace
