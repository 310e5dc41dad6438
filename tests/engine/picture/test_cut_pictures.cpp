// Pictures cut short: FreeImage's readers of BMP, PCX, IFF, ICO and PSD (and
// Qt's BMP reader) went on past the end and drew garbage or blank; every
// format is refused, the whole files are read. Decoded as the page maker
// does, in the helper (built without sanitizers: FreeImage's PSD and PCX
// readers trip them on damaged files, and a crash there is the helper's).
#include "PictureCheck.h"
#include "TestSupport.h"

#include "engine/picture/DecoderProcess.h"

#include <FreeImage.h>
#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <functional>

using namespace testsupport;

namespace {

constexpr int kW = 120, kH = 90;

bool savePpmThen(const QString& path, const QString& program, const QStringList& args)
{
    const QString ppm = path + ".ppm";
    return saveRgb(testPattern(kW, kH), ppm, FIF_PPMRAW) && runToFile(program, args, ppm, path);
}

bool saveBilevel(const QString& path)
{
    FIBITMAP* dib = FreeImage_Allocate(kW, kH, 1);
    RGBQUAD* pal = FreeImage_GetPalette(dib);
    pal[1] = RGBQUAD{255, 255, 255, 0};
    for (int y = 0; y < kH; ++y)
        for (int x = 0; x < kW / 8; ++x)
            FreeImage_GetScanLine(dib, y)[x] = BYTE((x + y) % 3 ? 0x5A : 0xF0);
    const bool ok = FreeImage_Save(FIF_BMP, dib, QFile::encodeName(path).constData(), 0);
    FreeImage_Unload(dib);
    return ok;
}

} // namespace

TEST(CutPictures, EveryFormatCutShortIsRefusedAsDamagedOrIncomplete)
{
    QTemporaryDir dir;
    const RgbImage img = testPattern(kW, kH);
    const struct Format {
        const char* name;
        int fif;
        std::function<bool(const QString&)> make;
        bool saysIncomplete; // FreeImage would read it without a word
    } formats[] = {
        {"bmp24.bmp", FIF_BMP, [&](const QString& p) { return saveRgb(img, p, FIF_BMP); }, true},
        {"bmp1.bmp", FIF_BMP, saveBilevel, true},
        {"rle8.bmp", FIF_BMP, [&](const QString& p) { return saveRgb(greyPattern(kW, kH), p, FIF_BMP, 8, BMP_SAVE_RLE); },
         true},
        // RLE ending in end-of-line, as ImageMagick writes it: Qt's reader.
        {"rle-im.bmp", FIF_BMP,
         [&](const QString& p) {
             return saveRgb(img, p + ".ppm", FIF_PPMRAW)
                 && runProgram("convert", {p + ".ppm", "-type", "palette", "-compress", "rle", "BMP3:" + p}).exitCode == 0;
         },
         true},
        {"p.pcx", FIF_PCX, [](const QString& p) { return savePpmThen(p, "ppmtopcx", {}); }, true},
        {"p.iff", FIF_IFF, [](const QString& p) { return savePpmThen(p, "ppmtoilbm", {"-24force"}); }, true},
        {"p.ico", FIF_ICO, [&](const QString& p) { return saveRgb(testPattern(64, 64), p, FIF_ICO); }, true},
        {"p.psd", FIF_PSD, [&](const QString& p) { return saveRgb(img, p, FIF_PSD); }, true},
        // Already refused by their own readers; kept so.
        {"p.png", FIF_PNG, [&](const QString& p) { return saveRgb(img, p, FIF_PNG); }, false},
        {"p.gif", FIF_GIF, [&](const QString& p) { return saveRgb(greyPattern(kW, kH), p, FIF_GIF, 8); }, false},
        {"p.tif", FIF_TIFF, [&](const QString& p) { return saveRgb(img, p, FIF_TIFF); }, false},
        {"p.jpg", FIF_JPEG, [&](const QString& p) { return saveRgb(img, p, FIF_JPEG, 24, JPEG_QUALITYSUPERB); }, false},
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
