#pragma once
#include "PageMakerFixture.h"
#include "PictureCheck.h"
#include "RecordingMessageSink.h"
#include "TestSupport.h"

#include "engine/job/PageMaker.h"
#include "engine/picture/PictureNames.h"
#include "engine/pdf/PdfCtl.h"

#include <FreeImage.h>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <cmath>
#include <fcntl.h>
#include <unistd.h>

// Shared by the page maker's tests: the sizes, allowances, small picture
// makers and the fixture that makes one page at a time.

using namespace testsupport;

// Pictures are 200 x 100 pixels: at 200 per inch the page is 254 x 127
// tenths of a millimetre, 72 x 36 points, and renders at 200 dpi to exactly
// the source's pixels.
inline constexpr int kW = 200, kH = 100;

// Quality 100 with no subsampling: what is left is the JPEG's rounding.
// Measure: mean absolute difference per channel (0..255) between the 200-dpi
// rendering and the source pixels. mupdf draws a page of this size 1:1;
// poppler's Splash resamples images drawn 1:1 (up to a pixel off, and a
// little blurred), so its rendering is compared at the best alignment within
// one pixel and allowed kPopplerResampling more.
inline constexpr double kLosslessSource = 1.0; // BMP, PNG, TIFF... sources
inline constexpr double kJpegSource = 2.5;     // the source itself was a JPEG
inline constexpr double kPopplerResampling = 1.0;

inline quint32 crc32(const QByteArray& data)
{
    quint32 crc = 0xFFFFFFFFu;
    for (char c : data) {
        crc ^= quint8(c);
        for (int k = 0; k < 8; ++k)
            crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
    return ~crc;
}

inline void putBe32(QByteArray& a, int at, quint32 v)
{
    a[at] = char(v >> 24);
    a[at + 1] = char(v >> 16);
    a[at + 2] = char(v >> 8);
    a[at + 3] = char(v);
}

// Each channel to one of 6 levels: 216 colours, so a GIF holds it exactly.
inline RgbImage posterised(RgbImage img)
{
    for (auto& v : img.px)
        v = uint8_t(((v + 25) / 51) * 51);
    return img;
}

inline bool savePalette216(const RgbImage& img, const QString& path, int format)
{
    FIBITMAP* dib = FreeImage_Allocate(img.w, img.h, 8);
    RGBQUAD* pal = FreeImage_GetPalette(dib);
    for (int i = 0; i < 216; ++i) {
        pal[i].rgbRed = BYTE((i / 36) * 51);
        pal[i].rgbGreen = BYTE(((i / 6) % 6) * 51);
        pal[i].rgbBlue = BYTE((i % 6) * 51);
    }
    for (int y = 0; y < img.h; ++y) {
        BYTE* line = FreeImage_GetScanLine(dib, img.h - 1 - y);
        for (int x = 0; x < img.w; ++x) {
            const uint8_t* p = img.at(x, y);
            line[x] = BYTE((p[0] / 51) * 36 + (p[1] / 51) * 6 + p[2] / 51);
        }
    }
    const BOOL ok = FreeImage_Save(FREE_IMAGE_FORMAT(format), dib, QFile::encodeName(path).constData(), 0);
    FreeImage_Unload(dib);
    return ok;
}

// The picture as shown under an Exif orientation (1 to 8): where each shown
// pixel comes from in the stored one.
inline RgbImage oriented(const RgbImage& src, int orientation)
{
    const bool swapSides = orientation >= 5;
    RgbImage dst{swapSides ? src.h : src.w, swapSides ? src.w : src.h, std::vector<uint8_t>(src.px.size())};
    const int W = src.w, H = src.h;
    for (int y = 0; y < dst.h; ++y)
        for (int x = 0; x < dst.w; ++x) {
            int sx = x, sy = y;
            switch (orientation) {
            case 2: sx = W - 1 - x; break;
            case 3: sx = W - 1 - x; sy = H - 1 - y; break;
            case 4: sy = H - 1 - y; break;
            case 5: sx = y; sy = x; break;
            case 6: sx = y; sy = H - 1 - x; break;
            case 7: sx = W - 1 - y; sy = H - 1 - x; break;
            case 8: sx = W - 1 - y; sy = x; break;
            default: break;
            }
            std::copy_n(src.at(sx, sy), 3, dst.at(x, y));
        }
    return dst;
}

// Runs f with standard error going into a file; returns what was written.
template <class F>
inline QString capturingStderr(const QString& file, F f)
{
    std::fflush(stderr);
    const int saved = dup(2);
    const int fd = ::open(QFile::encodeName(file).constData(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    dup2(fd, 2);
    f();
    std::fflush(stderr);
    dup2(saved, 2);
    ::close(fd);
    ::close(saved);
    return QString::fromUtf8(readAll(file));
}

// The common work folders, with a page maker of its own that counts its
// event passes (m()).
class PageMakerTest : public PageMakerFixture {
protected:
    // Writes the test picture under `name` in the format its extension says
    // (case ignored) and returns the pixels its page must show.
    RgbImage makePicture(const QString& name, double* tolerance)
    {
        const QString path = pic(name);
        const QString ext = QFileInfo(name).suffix().toLower();
        const RgbImage img = testPattern(kW, kH);
        *tolerance = kLosslessSource;
        bool ok = false;
        if (ext == "bmp" || ext == "dib")
            ok = saveRgb(img, path, FIF_BMP);
        else if (ext == "jpg" || ext == "jpeg") {
            ok = saveRgb(img, path, FIF_JPEG, 24, JPEG_QUALITYSUPERB | JPEG_SUBSAMPLING_444);
            *tolerance = kJpegSource;
        } else if (ext == "gif") {
            const RgbImage poster = posterised(img);
            EXPECT_TRUE(savePalette216(poster, path, FIF_GIF));
            return poster;
        } else if (ext == "png")
            ok = saveRgb(img, path, FIF_PNG);
        else if (ext == "ico") { // icons are square, 256 at most
            const RgbImage square = testPattern(kW, kW);
            EXPECT_TRUE(saveRgb(square, path, FIF_ICO));
            return square;
        }
        else if (ext == "tif" || ext == "tiff")
            ok = saveRgb(img, path, FIF_TIFF);
        else if (ext == "psd")
            ok = saveRgb(img, path, FIF_PSD);
        else if (ext == "iff" || ext == "pcx") {
            // FreeImage reads these but cannot write them: netpbm makes them.
            const QString ppm = path + ".ppm";
            EXPECT_TRUE(saveRgb(img, ppm, FIF_PPMRAW));
            ok = ext == "iff" ? runToFile("ppmtoilbm", {"-24force"}, ppm, path)
                              : runToFile("ppmtopcx", {}, ppm, path);
        }
        EXPECT_TRUE(ok) << "could not make " << qPrintable(path);
        return img;
    }

    // A page that is valid, one page, the size of the picture at 200 per
    // inch, and renders in poppler and mupdf without a word, like `expected`.
    void expectPage(int i, const RgbImage& expected, double tolerance, double popplerTolerance = -1)
    {
        if (popplerTolerance < 0)
            popplerTolerance = tolerance + kPopplerResampling;
        const QString pdf = folders.pageFile(i);
        ASSERT_TRUE(QFileInfo::exists(pdf)) << qPrintable(pdf);
        EXPECT_EQ(qpdfProblems(pdf), QString());
        EXPECT_EQ(pdfPageCount(pdf), 1);
        const auto box = mediaBoxPoints(pdf);
        EXPECT_NEAR(box.first, PageMaker::PageLength(expected.w) * 72.0 / 254, 0.01);
        EXPECT_NEAR(box.second, PageMaker::PageLength(expected.h) * 72.0 / 254, 0.01);
        const Rendered poppler = renderPoppler(pdf, 200);
        ASSERT_TRUE(poppler.ok);
        EXPECT_EQ(poppler.messages, QString());
        const double dp = meanAbsDiffAligned(poppler.image, expected, 1);
        EXPECT_GE(dp, 0) << "rendered " << poppler.image.w << "x" << poppler.image.h;
        EXPECT_LE(dp, popplerTolerance);
        const Rendered mupdf = renderMupdf(pdf, 200);
        ASSERT_TRUE(mupdf.ok);
        EXPECT_EQ(mupdf.messages, QString());
        const double dm = meanAbsDiff(mupdf.image, expected);
        EXPECT_GE(dm, 0) << "rendered " << mupdf.image.w << "x" << mupdf.image.h;
        EXPECT_LE(dm, tolerance);
    }

    // A failure that names the file, with no page and no temporary bitmap.
    void expectRefused(int i, const QString& path, const PageResult& r, const QString& reasonPart)
    {
        EXPECT_EQ(r.status, PageResult::PictureError);
        EXPECT_TRUE(r.message.contains(path)) << qPrintable(r.message);
        EXPECT_TRUE(r.message.contains(reasonPart, Qt::CaseInsensitive)) << qPrintable(r.message);
        EXPECT_FALSE(QFileInfo::exists(folders.pageFile(i)));
        EXPECT_FALSE(QFileInfo::exists(folders.tempBitmap()));
        EXPECT_TRUE(sink.messages.empty()); // the caller decides how to tell the user
    }

    int yields = 0;
    PageMaker& m()
    {
        if (!made) {
            made = std::make_unique<PageMaker>(folders, sink, [this] { ++yields; });
            made->BeginJob();
        }
        return *made;
    }
    std::unique_ptr<PageMaker> made;
};
