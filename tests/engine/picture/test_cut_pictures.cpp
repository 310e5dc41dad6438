// Pictures cut short: FreeImage's readers of BMP, PCX, IFF, ICO and PSD (and
// Qt's BMP reader) went on past the end and drew garbage or blank; every
// format is refused, the whole files are read. Decoded as the page maker
// does, in the helper (built without sanitizers: FreeImage's PSD and PCX
// readers trip them on damaged files, and a crash there is the helper's).
#include "PictureCheck.h"
#include "TestSupport.h"

#include "engine/picture/DecoderProcess.h"

#include <FreeImage.h>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <functional>

using namespace testsupport;

namespace {

constexpr int kW = 120, kH = 90;

using Maker = std::function<bool(const QString&)>;

// The picture written by FreeImage.
Maker saved(const RgbImage& img, int fif, int bpp = 24, int flags = 0)
{
    return [=](const QString& path) { return saveRgb(img, path, fif, bpp, flags); };
}

// The test pattern as a PPM, turned into the picture by `program` (stdin to stdout).
Maker fromPpm(const QString& program, const QStringList& args)
{
    return [=](const QString& path) {
        return saveRgb(testPattern(kW, kH), path + ".ppm", FIF_PPMRAW) && runToFile(program, args, path + ".ppm", path);
    };
}

} // namespace

TEST(CutPictures, EveryFormatCutShortIsRefusedAsDamagedOrIncomplete)
{
    QTemporaryDir dir;
    const RgbImage img = testPattern(kW, kH), grey = greyPattern(kW, kH);
    const struct Format {
        const char* name;
        int fif;
        Maker make;
        bool saysIncomplete; // FreeImage would read it without a word
    } formats[] = {
        {"bmp24.bmp", FIF_BMP, saved(img, FIF_BMP), true},
        {"bmp1.bmp", FIF_BMP, fromPpm("convert", {"-", "-monochrome", "BMP3:-"}), true},
        {"rle8.bmp", FIF_BMP, saved(grey, FIF_BMP, 8, BMP_SAVE_RLE), true},
        // RLE ending in end-of-line, as ImageMagick writes it: Qt's reader.
        {"rle-im.bmp", FIF_BMP, fromPpm("convert", {"-", "-type", "palette", "-compress", "rle", "BMP3:-"}), true},
        {"p.pcx", FIF_PCX, fromPpm("ppmtopcx", {}), true},
        {"p.iff", FIF_IFF, fromPpm("ppmtoilbm", {"-24force"}), true},
        {"p.ico", FIF_ICO, saved(testPattern(64, 64), FIF_ICO), true},
        {"p.psd", FIF_PSD, saved(img, FIF_PSD), true},
        // Already refused by their own readers; kept so (PNG and JPEG: the page maker's tests).
        {"p.gif", FIF_GIF, saved(grey, FIF_GIF, 8), false},
        {"p.tif", FIF_TIFF, saved(img, FIF_TIFF), false},
    };
    for (const Format& f : formats) {
        SCOPED_TRACE(f.name);
        const QString whole = dir.filePath(f.name);
        ASSERT_TRUE(f.make(whole));
        DecoderProcess::Options helper = DecoderProcess::Defaults();
        helper.program = VELUNOR_TEST_HELPER_DIR "/velunor-decode-unsanitized";
        DecoderProcess decoder([] {}, helper);
        const QString bitmap = dir.filePath("tmp.bmp");
        int w = 0, h = 0;
        QString error;
        EXPECT_TRUE(decoder.Run(whole, f.fif, bitmap, &w, &h, &error)) << error.toStdString();
        const QByteArray bytes = readAll(whole);
        for (int percent : {10, 50, 90}) {
            SCOPED_TRACE(percent);
            const QString cut = dir.filePath(QString::number(percent) + f.name);
            ASSERT_TRUE(writeFile(cut, bytes.left(bytes.size() * percent / 100)));
            error.clear();
            EXPECT_FALSE(decoder.Run(cut, f.fif, bitmap, &w, &h, &error));
            EXPECT_FALSE(error.isEmpty());
            if (f.saysIncomplete) {
                // Ours, or FreeImage's own words where it noticed.
                EXPECT_TRUE(error.contains("damaged") || error.contains("could not be decoded"))
                    << error.toStdString();
            }
        }
    }
}
