#include "platform/RuntimeError.h"
#include "preview/MapPropertyBag.h"
#include "preview/OleColor.h"
#include "preview/PictureFit.h"
#include "preview/PictureSurface.h"
#include "preview/ShowImage.h"

#include <QApplication>
#include <QFile>
#include <QImage>
#include <QPainter>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <gtest/gtest.h>

namespace {

const QColor Red(255, 0, 0);
const QColor Blue(0, 0, 255);
const QColor Green(0, 255, 0);

// A picture whose left half is red and right half blue, written to disk.
QString writeTwoColourPicture(const QTemporaryDir& dir, const QString& name, int w, int h)
{
    QImage img(w, h, QImage::Format_RGB32);
    QPainter p(&img);
    p.fillRect(0, 0, w / 2, h, Red);
    p.fillRect(w / 2, 0, w - w / 2, h, Blue);
    p.end();
    const QString path = dir.filePath(name);
    EXPECT_TRUE(img.save(path));
    return path;
}

QColor pixel(const QImage& img, int x, int y)
{
    return img.pixelColor(x, y);
}

// The painting as shown, in widget pixels.
QImage shown(ShowImage& w)
{
    QApplication::processEvents();
    return w.Surface()->grab().toImage();
}

bool allPixels(const QImage& img, const QColor& c)
{
    for (int y = 0; y < img.height(); ++y)
        for (int x = 0; x < img.width(); ++x)
            if (img.pixelColor(x, y) != c)
                return false;
    return true;
}

class Preview : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(dir.isValid());
        view.setBorderStyle(0);
        view.setBackColor(0x00FF00u); // green
        view.resize(145, 105);
        view.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&view));
        // The arithmetic below is at 96 DPI (15 twips per pixel).
        if (view.TwipsPerPixelX() != 15.0 || view.TwipsPerPixelY() != 15.0)
            GTEST_SKIP() << "screen is not at 96 DPI";
    }
    QTemporaryDir dir;
    ShowImage view;
};

} // namespace

TEST(PictureFitArithmetic, TheExampleFitsToWidthAndCentresVertically)
{
    EXPECT_EQ(FitPicture(3000, 2000, 2175, 1575), (PictureFit{0, 62, 2175, 1450}));
}

TEST(PictureFitArithmetic, SquareFillsASquareSurface)
{
    EXPECT_EQ(FitPicture(1000, 1000, 1500, 1500), (PictureFit{0, 0, 1500, 1500}));
    EXPECT_EQ(FitPicture(7, 7, 333, 333), (PictureFit{0, 0, 333, 333}));
}

TEST(PictureFitArithmetic, PortraitInLandscapeAndLandscapeInPortrait)
{
    // Portrait picture, wide surface: full height, centred horizontally.
    EXPECT_EQ(FitPicture(1000, 2000, 3000, 1500), (PictureFit{1125, 0, 750, 1500}));
    // Landscape picture, tall surface: full width, centred vertically.
    EXPECT_EQ(FitPicture(2000, 1000, 1500, 3000), (PictureFit{0, 1125, 1500, 750}));
    // Portrait picture in a surface even narrower than it: full width.
    EXPECT_EQ(FitPicture(1000, 2000, 300, 1500), (PictureFit{0, 450, 300, 600}));
}

TEST(PictureFitArithmetic, EqualRatiosTakeHeightForLandscapeAndWidthForPortrait)
{
    // Landscape, equal ratio: fit to height, so H is the surface's height
    // exactly and W is computed (1.5 * 1001 = 1501.5 -> 1502).
    EXPECT_EQ(FitPicture(3, 2, 1502, 1001)->H, 1001);
    EXPECT_EQ(FitPicture(300, 200, 1500, 1000), (PictureFit{0, 0, 1500, 1000}));
    // Portrait, equal ratio: fit to width.
    EXPECT_EQ(FitPicture(200, 300, 1000, 1500), (PictureFit{0, 0, 1000, 1500}));
    // Landscape 3:2 in 9:6 with odd rounding, fit to height puts Y at 0.
    const auto f = FitPicture(3000, 2000, 2175, 1450);
    EXPECT_EQ(f->Y, 0);
    EXPECT_EQ(f->H, 1450);
}

TEST(PictureFitArithmetic, OddMarginsSplitWithHalvesToEven)
{
    EXPECT_EQ(FitPicture(2000, 1000, 2000, 1125)->Y, 62); // 62.5
    EXPECT_EQ(FitPicture(2000, 1000, 2000, 1127)->Y, 64); // 63.5
    EXPECT_EQ(FitPicture(1000, 2000, 1125, 2000)->X, 62);
    EXPECT_EQ(NearestEven(2.5), 2);
    EXPECT_EQ(NearestEven(3.5), 4);
    EXPECT_EQ(NearestEven(-2.5), -2);
    EXPECT_EQ(NearestEven(2.4999), 2);
    EXPECT_EQ(NearestEven(2.5001), 3);
}

TEST(PictureFitArithmetic, NoFitWithoutArea)
{
    EXPECT_FALSE(FitPicture(3000, 2000, 2175, 0));
    EXPECT_FALSE(FitPicture(3000, 2000, 0, 1575));
    EXPECT_FALSE(FitPicture(3000, 0, 2175, 1575));
    // Large photos go past 16 bits of twips and still fit.
    EXPECT_EQ(FitPicture(60000, 45000, 28800, 16200), (PictureFit{3600, 0, 21600, 16200}));
}

TEST(OleColors, SystemColoursComeFromThePalette)
{
    QPalette pal;
    pal.setColor(QPalette::Active, QPalette::Button, QColor(1, 2, 3));
    pal.setColor(QPalette::Active, QPalette::Base, QColor(4, 5, 6));
    EXPECT_EQ(ResolveOleColor(0x8000000Fu, pal), QColor(1, 2, 3));
    EXPECT_EQ(ResolveOleColor(0x80000005u, pal), QColor(4, 5, 6));
    EXPECT_EQ(ResolveOleColor(0x000000FFu, pal), Red);
    EXPECT_EQ(ResolveOleColor(0x00FF0000u, pal), Blue);
    EXPECT_EQ(ResolveOleColor(0x00123456u, pal), QColor(0x56, 0x34, 0x12));
}

TEST_F(Preview, ALoadedPictureIsFittedAndCentredOnTheSurface)
{
    // 200 x 100 pixels = 3000 x 1500 twips in 2175 x 1575 twips.
    view.loadimg(writeTwoColourPicture(dir, "wide.png", 200, 100));
    EXPECT_EQ(view.PictureSizeTwips(), QSize(3000, 1500));
    EXPECT_EQ(view.Surface()->geometry(), QRect(0, 0, 145, 105));
    // H = 2175 / 2 = 1087.5 -> 1088; Y = (1575 - 1088) / 2 = 243.5 -> 244.
    ASSERT_TRUE(view.LastFit());
    EXPECT_EQ(*view.LastFit(), (PictureFit{0, 244, 2175, 1088}));

    // In pixels: rows 16 to 88 carry the picture, the rest the background.
    const QImage img = shown(view);
    ASSERT_EQ(img.size(), QSize(145, 105));
    EXPECT_EQ(pixel(img, 70, 15), Green);
    EXPECT_EQ(pixel(img, 2, 16), Red);
    EXPECT_EQ(pixel(img, 2, 88), Red);
    EXPECT_EQ(pixel(img, 142, 50), Blue);
    EXPECT_EQ(pixel(img, 70, 89), Green);
    EXPECT_EQ(pixel(img, 70, 104), Green);
}

TEST_F(Preview, ResizeMovesTheSurfaceAndRepaints)
{
    view.loadimg(writeTwoColourPicture(dir, "wide.png", 200, 100));
    view.Surface()->move(7, 9);
    view.resize(60, 200); // tall: full width, centred vertically
    QApplication::processEvents();
    EXPECT_EQ(view.Surface()->geometry(), QRect(0, 0, 60, 200));
    EXPECT_EQ(*view.LastFit(), (PictureFit{0, 1275, 900, 450}));
    const QImage img = shown(view);
    EXPECT_EQ(pixel(img, 10, 84), Green);
    EXPECT_EQ(pixel(img, 10, 85), Red);
    EXPECT_EQ(pixel(img, 50, 114), Blue);
    EXPECT_EQ(pixel(img, 50, 115), Green);
}

TEST_F(Preview, AnEmptyPictureLeavesTheOldImageUntilCls)
{
    view.loadimg(writeTwoColourPicture(dir, "wide.png", 200, 100));
    const QImage before = shown(view);
    QSignalSpy changed(&view, &ShowImage::PropertyChanged);
    view.setPicture(QPixmap());
    EXPECT_TRUE(view.Picture().isNull());
    EXPECT_EQ(changed.count(), 1);
    EXPECT_EQ(changed.at(0).at(0).toString(), "Picture");
    EXPECT_EQ(shown(view), before);

    // Neither a resize nor a colour change paints without a picture.
    view.resize(150, 110);
    view.setBackColor(0xFF0000u);
    QApplication::processEvents();
    const QImage after = shown(view);
    EXPECT_EQ(pixel(after, 2, 50), Red);

    view.Cls();
    EXPECT_TRUE(allPixels(shown(view), Blue));
}

TEST_F(Preview, BorderStyleDoesNotRepaintButBackColorDoes)
{
    view.loadimg(writeTwoColourPicture(dir, "wide.png", 200, 100));
    view.Cls(); // the held picture stays, the surface is blank
    ASSERT_FALSE(view.Picture().isNull());
    EXPECT_TRUE(allPixels(shown(view), Green));

    QSignalSpy changed(&view, &ShowImage::PropertyChanged);
    view.setBorderStyle(1);
    EXPECT_EQ(view.BorderStyle(), 1);
    const QImage framed = shown(view);
    EXPECT_EQ(pixel(framed, 70, 50), Green); // no picture painted

    view.setBackColor(0xFF0000u); // blue margins, picture painted again
    const QImage repainted = shown(view);
    EXPECT_EQ(pixel(repainted, 70, 8), Blue);
    EXPECT_EQ(pixel(repainted, 10, 50), Red);
    ASSERT_EQ(changed.count(), 2);
    EXPECT_EQ(changed.at(0).at(0).toString(), "BorderStyle");
    EXPECT_EQ(changed.at(1).at(0).toString(), "BackColor");

    EXPECT_THROW(view.setBorderStyle(2), RuntimeError);
    EXPECT_EQ(view.BorderStyle(), 1);
}

TEST_F(Preview, LoaderErrorsReachTheCallerAndChangeNothing)
{
    const QString good = writeTwoColourPicture(dir, "wide.png", 200, 100);
    view.loadimg(good);
    const QImage before = shown(view);

    try {
        view.loadimg(dir.filePath("missing.jpg"));
        ADD_FAILURE() << "no error for a missing file";
    } catch (const RuntimeError& e) {
        EXPECT_EQ(e.Number, 53);
        EXPECT_TRUE(e.Description.contains("missing.jpg"));
    }
    QFile text(dir.filePath("notes.jpg"));
    ASSERT_TRUE(text.open(QIODevice::WriteOnly));
    text.write("this is not a picture\n");
    text.close();
    try {
        view.loadimg(text.fileName());
        ADD_FAILURE() << "no error for a text file";
    } catch (const RuntimeError& e) {
        EXPECT_EQ(e.Number, 481);
        EXPECT_TRUE(e.Description.contains("notes.jpg"));
    }
    EXPECT_EQ(view.PictureSizeTwips(), QSize(3000, 1500));
    EXPECT_EQ(shown(view), before);
}

TEST_F(Preview, DefaultsStoreNothingAndOtherValuesComeBack)
{
    ShowImage fresh;
    MapPropertyBag empty;
    fresh.WriteProperties(empty);
    EXPECT_TRUE(empty.Values().isEmpty());
    EXPECT_EQ(fresh.BorderStyle(), 1);
    EXPECT_EQ(fresh.BackColor(), 0x8000000Fu);
    EXPECT_TRUE(fresh.Picture().isNull());

    view.loadimg(writeTwoColourPicture(dir, "wide.png", 200, 100));
    MapPropertyBag bag;
    view.WriteProperties(bag);
    EXPECT_EQ(bag.Values().keys(), QStringList({"BackColor", "BorderStyle", "Picture"}));

    ShowImage copy;
    copy.setBackColor(0x0000FFu);
    copy.resize(145, 105);
    copy.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&copy));
    copy.Cls();
    copy.ReadProperties(bag);
    EXPECT_EQ(copy.BorderStyle(), 0);
    EXPECT_EQ(copy.BackColor(), 0x00FF00u);
    EXPECT_EQ(copy.PictureSizeTwips(), QSize(3000, 1500));
    // Reading the settings does not paint; the resize after it does.
    EXPECT_TRUE(allPixels(shown(copy), Red));
    copy.resize(146, 105);
    copy.resize(145, 105);
    QApplication::processEvents();
    EXPECT_EQ(shown(copy), shown(view));
}

TEST_F(Preview, TheDefaultBackgroundIsTheButtonFace)
{
    ShowImage fresh;
    fresh.setBorderStyle(0);
    fresh.resize(40, 30);
    fresh.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&fresh));
    fresh.Cls();
    EXPECT_TRUE(allPixels(shown(fresh), fresh.Surface()->palette().color(QPalette::Button)));
}

TEST_F(Preview, AnUnpaintedSurfaceFollowsTheStyleAPaintedOneKeepsItsPainting)
{
    ShowImage fresh;
    fresh.setBorderStyle(0);
    fresh.resize(40, 30);
    fresh.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&fresh));
    QPalette pal = fresh.palette();
    pal.setColor(QPalette::Button, QColor(10, 20, 30));
    fresh.setPalette(pal); // as a skin attached after start-up would
    EXPECT_TRUE(allPixels(shown(fresh), QColor(10, 20, 30)));
    fresh.Cls();
    pal.setColor(QPalette::Button, QColor(40, 50, 60));
    fresh.setPalette(pal);
    EXPECT_TRUE(allPixels(shown(fresh), QColor(10, 20, 30)));
    fresh.Cls();
    EXPECT_TRUE(allPixels(shown(fresh), QColor(40, 50, 60)));
}

TEST_F(Preview, AZeroSizedSurfacePaintsNothing)
{
    QWidget host;
    host.resize(200, 200);
    auto* child = new ShowImage(&host);
    child->setGeometry(0, 0, 0, 50);
    host.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&host));
    child->loadimg(writeTwoColourPicture(dir, "wide.png", 200, 100));
    EXPECT_FALSE(child->LastFit());
    child->setGeometry(0, 0, 100, 50);
    QApplication::processEvents();
    ASSERT_TRUE(child->LastFit());
    EXPECT_EQ(*child->LastFit(), (PictureFit{0, 0, 1500, 750}));
}

TEST_F(Preview, MouseEventsOfTheSurfaceComeOutOfTheControl)
{
    QSignalSpy down(&view, &ShowImage::MouseDown);
    QSignalSpy click(&view, &ShowImage::Click);
    QSignalSpy dbl(&view, &ShowImage::DblClick);
    QSignalSpy move(&view, &ShowImage::MouseMove);

    QTest::mouseClick(view.Surface(), Qt::LeftButton, Qt::ShiftModifier, QPoint(30, 15));
    ASSERT_EQ(down.count(), 1);
    EXPECT_EQ(down.at(0).at(0).toInt(), 1); // left
    EXPECT_EQ(down.at(0).at(1).toInt(), 1); // shift
    EXPECT_FLOAT_EQ(down.at(0).at(2).toFloat(), 450.0f);
    EXPECT_FLOAT_EQ(down.at(0).at(3).toFloat(), 225.0f);
    EXPECT_EQ(click.count(), 1);

    QTest::mouseClick(view.Surface(), Qt::RightButton, Qt::ControlModifier, QPoint(5, 6));
    ASSERT_EQ(down.count(), 2);
    EXPECT_EQ(down.at(1).at(0).toInt(), 2);
    EXPECT_EQ(down.at(1).at(1).toInt(), 2);
    EXPECT_EQ(click.count(), 1); // only the left button clicks

    QTest::mouseDClick(view.Surface(), Qt::LeftButton, Qt::NoModifier, QPoint(20, 20));
    EXPECT_EQ(dbl.count(), 1);

    QTest::mouseMove(view.Surface(), QPoint(40, 41));
    QApplication::processEvents();
    ASSERT_GE(move.count(), 1);
    EXPECT_FLOAT_EQ(move.last().at(2).toFloat(), 600.0f);
    EXPECT_FLOAT_EQ(move.last().at(3).toFloat(), 615.0f);
}
