#include "mainwindow/LayoutScaler.h"
#include "mainwindow/QualityWords.h"

#include <gtest/gtest.h>

namespace {

// Some of the window's designed rectangles, in twips.
const QRectF kDesign[] = {
    {120, 1410, 7305, 4890},  // List1
    {30, 1020, 11235, 6165},  // picDoor
    {7710, 6270, 3465, 825},  // Command3
    {9210, 5375, 495, 210},   // lblQuality
    {1410, 0, 1420, 985},     // toolbar button 1
    {90, 30, 2085, 210},      // lblText inside picText
};

TEST(LayoutScaler, TwelveTwipsPerPixelGivesEightTenthsOfEveryDesignValue)
{
    const LayoutScaler s(12, 12);
    EXPECT_DOUBLE_EQ(s.fx(), 0.8);
    EXPECT_DOUBLE_EQ(s.fy(), 0.8);
    for (const QRectF& d : kDesign) {
        const QRectF r = s.ScaleTwips(d);
        EXPECT_DOUBLE_EQ(r.x(), d.x() * 0.8);
        EXPECT_DOUBLE_EQ(r.y(), d.y() * 0.8);
        EXPECT_DOUBLE_EQ(r.width(), d.width() * 0.8);
        EXPECT_DOUBLE_EQ(r.height(), d.height() * 0.8);
        // ...and the pixels on that screen are the designed pixels.
        EXPECT_EQ(s.ToPixels(r), LayoutScaler(15, 15).ToPixels(d));
    }
    EXPECT_DOUBLE_EQ(s.ScaleFont(9), 7.2);
    // The client area keeps 753 x 504 pixels.
    EXPECT_EQ(s.ToPixels(QSizeF(11295 * 0.8, 7560 * 0.8)), QSize(753, 504));
}

TEST(LayoutScaler, DesignScreenChangesNothingAndOtherScreensKeepPixels)
{
    const LayoutScaler design(15, 15);
    const QRect list(8, 94, 487, 326);
    EXPECT_EQ(design.Rescale(list), list);
    EXPECT_DOUBLE_EQ(design.ScaleFont(7.5), 7.5);
    // 72 dpi (20 twips per pixel), and different factors across and down.
    const LayoutScaler odd(20, 10);
    EXPECT_DOUBLE_EQ(odd.fx(), 20.0 / 15);
    EXPECT_DOUBLE_EQ(odd.fy(), 10.0 / 15);
    EXPECT_EQ(odd.Rescale(list), list);
    EXPECT_EQ(odd.ScaleTwips(QRectF(150, 150, 15, 15)), QRectF(200, 100, 20, 10));
}

TEST(LayoutScaler, TwipsPerPixelFollowsLogicalDpi)
{
    EXPECT_DOUBLE_EQ(LayoutScaler::TwipsPerPixel(96), 15);
    EXPECT_DOUBLE_EQ(LayoutScaler::TwipsPerPixel(120), 12);
    EXPECT_DOUBLE_EQ(LayoutScaler::TwipsPerPixel(0), 15); // unknown screen: the design
    EXPECT_DOUBLE_EQ(LayoutScaler(0, -1).fx(), 1);
}

TEST(QualityWords, StrictTestsAgainst79And59And29)
{
    const struct {
        int v;
        const char* word;
    } cases[] = {{1, "Low"},     {29, "Low"},   {30, "Medium"}, {59, "Medium"},
                 {60, "Good"},   {79, "Good"},  {80, "Best"},   {100, "Best"}};
    for (const auto& c : cases) {
        EXPECT_EQ(QualityWords::Word(c.v), QString::fromLatin1(c.word)) << c.v;
        EXPECT_EQ(QualityWords::Percent(c.v), QString::number(c.v) + "%");
    }
}

} // namespace
