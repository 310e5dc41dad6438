#include "engine/pdf/PageLayout.h"

#include <gtest/gtest.h>

namespace {

// One row: a layout in velunor-convert's words, a picture, and where the
// picture must lie (points, from the bottom left) and at how many pixels.
struct Row {
    const char* size;
    const char* orientation;
    const char* margin;
    const char* fit;
    const char* maxPpi;
    int w, h;
    double pageW, pageH, x, y, rw, rh;
    int codedW, codedH;
    bool designed;
};

TEST(PageLayoutTest, PlacesEveryPictureCentredAtOneScale)
{
    const Row rows[] = {
        // The designed page: the picture at 200 ppi, drawn the designed way.
        {"picture", "auto", "0", "into", "none", 1000, 500, 360, 180, 0, 0, 360, 180, 1000, 500, true},
        // Any orientation or fit leaves it as it is; a margin grows the page.
        {"picture", "portrait", "0", "shrink", "none", 1000, 500, 360, 180, 0, 0, 360, 180, 1000, 500, true},
        // Its sides are whole tenths of a millimetre, halves to even: 50
        // pixels are 6.4 mm, 150 are 19.0 mm.
        {"picture", "auto", "0", "into", "none", 50, 150, 18.14, 53.86, 0, 0, 18.14, 53.86, 50, 150, true},
        {"picture", "auto", "10mm", "into", "none", 600, 400, 272.69, 200.69, 28.35, 28.35, 216, 144, 600, 400, false},
        // A limit above 200 ppi changes nothing; below, it resamples.
        {"picture", "auto", "0", "into", "300", 1000, 500, 360, 180, 0, 0, 360, 180, 1000, 500, true},
        {"picture", "auto", "0", "into", "100", 1000, 500, 360, 180, 0, 0, 360, 180, 500, 250, false},
        // The phone photo on A4: landscape by itself, or portrait if asked.
        {"A4", "auto", "0", "into", "none", 4032, 3024, 841.89, 595.28, 24.09, 0, 793.70, 595.28, 4032, 3024, false},
        {"a4", "portrait", "0", "into", "none", 4032, 3024, 595.28, 841.89, 0, 197.72, 595.28, 446.46, 4032, 3024, false},
        {"A4", "landscape", "0", "into", "none", 3024, 4032, 841.89, 595.28, 197.72, 0, 446.46, 595.28, 3024, 4032, false},
        // An upright (Exif-turned) picture takes the paper upright; a square one too.
        {"A4", "auto", "0", "into", "none", 3024, 4032, 595.28, 841.89, 0, 24.09, 595.28, 793.70, 3024, 4032, false},
        {"A5", "auto", "0", "into", "none", 500, 500, 419.53, 595.28, 0, 87.87, 419.53, 419.53, 500, 500, false},
        {"LETTER", "auto", "0", "into", "none", 4032, 3024, 792, 612, 0, 9, 792, 594, 4032, 3024, false},
        {"Legal", "portrait", "0", "into", "none", 850, 1400, 612, 1008, 0, 0, 612, 1008, 850, 1400, false},
        {"A3", "auto", "0", "into", "none", 100, 100, 841.89, 1190.55, 0, 174.33, 841.89, 841.89, 100, 100, false},
        {"B5", "auto", "1in", "into", "none", 100, 200, 498.90, 708.66, 108.28, 72, 282.33, 564.66, 100, 200, false},
        // Custom sizes, given either way round, in any unit.
        {"100x150mm", "auto", "0", "into", "none", 4032, 3024, 425.20, 283.46, 23.62, 0, 377.95, 283.46, 4032, 3024, false},
        {"150x100mm", "portrait", "0", "into", "none", 4032, 3024, 283.46, 425.20, 0, 106.30, 283.46, 212.60, 4032, 3024, false},
        {"8.5x11IN", "auto", "0", "into", "none", 300, 300, 612, 792, 0, 90, 612, 612, 300, 300, false},
        {"10 x 20 cm", "auto", "0", "into", "none", 10, 20, 283.46, 566.93, 0, 0, 283.46, 566.93, 10, 20, false},
        {"300x200pt", "auto", "0", "into", "none", 30, 20, 300, 200, 0, 0, 300, 200, 30, 20, false},
        // Margins on every side.
        {"A4", "auto", "20mm", "into", "none", 4032, 3024, 841.89, 595.28, 99.69, 56.69, 642.52, 481.89, 4032, 3024, false},
        // Shrink: never above the 200 ppi size; a large picture still fits.
        {"A4", "auto", "0", "shrink", "none", 600, 400, 841.89, 595.28, 312.94, 225.64, 216, 144, 600, 400, false},
        {"A4", "auto", "0", "shrink", "none", 4032, 3024, 841.89, 595.28, 24.09, 0, 793.70, 595.28, 4032, 3024, false},
        {"A4", "auto", "0", "into", "none", 600, 400, 841.89, 595.28, 0, 17.01, 841.89, 561.26, 600, 400, false},
        // At most 150 ppi: 793.70 pt is 11.02 in, so 1653 pixels, rounded down.
        {"A4", "auto", "0", "into", "150", 4032, 3024, 841.89, 595.28, 24.09, 0, 793.70, 595.28, 1653, 1240, false},
        {"A4", "auto", "0", "into", "1", 4032, 3024, 841.89, 595.28, 24.09, 0, 793.70, 595.28, 11, 8, false},
        // A picture already coarser than the limit is kept.
        {"A4", "auto", "0", "into", "150", 600, 400, 841.89, 595.28, 0, 17.01, 841.89, 561.26, 600, 400, false},
        // One pixel wide: one scale still, centred.
        {"A4", "auto", "0", "into", "none", 1, 4000, 595.28, 841.89, 297.53, 0, 0.21, 841.89, 1, 4000, false},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(QString("%1 %2 margin %3 %4 max %5, %6 x %7")
                         .arg(r.size, r.orientation, r.margin, r.fit, r.maxPpi).arg(r.w).arg(r.h).toStdString());
        PageLayout l;
        QString error;
        ASSERT_TRUE(l.SetSize(r.size, &error) && l.SetOrientation(r.orientation, &error) &&
                    l.SetMargin(r.margin, &error) && l.SetFit(r.fit, &error) && l.SetMaxPpi(r.maxPpi, &error))
            << error.toStdString();
        ASSERT_EQ(l.Problem(), QString());
        const PagePlacement p = l.Place(r.w, r.h);
        const double got[] = {p.pageWidth, p.pageHeight, p.picture.x, p.picture.y, p.picture.width, p.picture.height};
        const double want[] = {r.pageW, r.pageH, r.x, r.y, r.rw, r.rh};
        for (int k = 0; k < 6; ++k)
            EXPECT_NEAR(got[k], want[k], 0.01) << "page w, h, picture x, y, w, h: " << k;
        // One scale for x and y, and centred exactly.
        if (!r.designed) {
            EXPECT_NEAR(p.picture.width / r.w, p.picture.height / r.h, 1e-9);
            EXPECT_NEAR(p.picture.x * 2 + p.picture.width, p.pageWidth, 1e-9);
            EXPECT_NEAR(p.picture.y * 2 + p.picture.height, p.pageHeight, 1e-9);
        }
        EXPECT_EQ(p.codedWidth, r.codedW);
        EXPECT_EQ(p.codedHeight, r.codedH);
        EXPECT_EQ(p.Resampled(), r.codedW != r.w);
        EXPECT_EQ(p.designed, r.designed);
        if (l.maxPpi > 0) {
            EXPECT_LE(p.codedWidth * 72.0 / p.picture.width, l.maxPpi + 1e-9);
        }
    }
    // The drawing matrix puts the image's unit square on that rectangle.
    EXPECT_EQ(PagePlacement::Cm({1, 0, 0, 2.5, 0.12345, 10}), "1 0 0 2.5 0.1235 10 cm");
}

// A native page: the stated resolution across and down, 200 ppi where none
// or an implausible one is stated; at 200 ppi it is the designed page.
TEST(PageLayoutTest, NativePagesTakeTheStatedResolution)
{
    const struct {
        double ppiX, ppiY, pageW, pageH;
        bool designed;
    } rows[] = {
        {300, 300, 72, 144, false}, {150, 75, 144, 576, false}, {72, 2400, 300, 18, false},
        {0, 0, 108, 216, true},     {71.9, 2401, 108, 216, true}, {200, 200, 108, 216, true},
    };
    PageLayout l;
    QString error;
    ASSERT_TRUE(l.SetSize("native", &error));
    for (const auto& r : rows) {
        SCOPED_TRACE(QString("%1 x %2 ppi").arg(r.ppiX).arg(r.ppiY).toStdString());
        const PagePlacement p = l.Place(300, 600, r.ppiX, r.ppiY);
        EXPECT_NEAR(p.pageWidth, r.pageW, 0.01);
        EXPECT_NEAR(p.pageHeight, r.pageH, 0.01);
        EXPECT_EQ(p.designed, r.designed);
    }
}

TEST(PageLayoutTest, TextsReadBackAndMarginsMustLeaveRoom)
{
    PageLayout l;
    QString error;
    const struct {
        const char* in;
        const char* out;
    } good[] = {{"PICTURE", "picture"}, {"Native", "native"}, {"a4", "A4"}, {"letter", "Letter"}, {"b5", "B5"},
                {"100x150mm", "100x150mm"}, {"8.5 X 11 in", "8.5x11in"}, {"100mmx150mm", "100x150mm"},
                {".5x2cm", "0.5x2cm"}};
    for (const auto& g : good) {
        ASSERT_TRUE(l.SetSize(g.in, &error)) << g.in << ": " << error.toStdString();
        EXPECT_EQ(l.SizeText(), g.out);
        PageLayout again;
        ASSERT_TRUE(again.SetSize(l.SizeText(), &error));
        EXPECT_EQ(again, l);
    }
    ASSERT_TRUE(l.SetMargin(" 12.5MM ", &error));
    EXPECT_EQ(l.margin.Text(), "12.5mm");
    EXPECT_NEAR(l.margin.Points(), 35.43, 0.01);
    ASSERT_TRUE(l.SetMargin("0", &error)); // no unit needed for nothing
    EXPECT_EQ(l.margin.Points(), 0);

    // A refused value leaves the layout as it was (the messages are
    // velunor-convert's test's).
    PageLayout before = l;
    EXPECT_FALSE(l.SetSize("100mmx6in", &error));
    EXPECT_FALSE(l.SetSize("300x300in", &error));
    EXPECT_FALSE(l.SetMargin("wide", &error));
    EXPECT_FALSE(l.SetMaxPpi("1.5", &error));
    EXPECT_EQ(l, before);
    // A margin is checked against the paper's short side.
    ASSERT_TRUE(l.SetSize("A4", &error) && l.SetMargin("105mm", &error));
    EXPECT_TRUE(l.Problem().contains("leaves no room on a page of A4")) << l.Problem().toStdString();
    ASSERT_TRUE(l.SetMargin("104mm", &error));
    EXPECT_EQ(l.Problem(), QString());
    ASSERT_TRUE(l.SetSize("picture", &error) && l.SetMargin("5in", &error));
    EXPECT_EQ(l.Problem(), QString());
}

// Layouts that work but make every picture tiny or coarse are warned of.
TEST(PageLayoutTest, WarnsOfPicturesUnderAnInchOrUnder36Ppi)
{
    const struct {
        const char *size, *margin, *maxPpi, *warning;
    } rows[] = {{"picture", "0mm", "none", ""},     {"A4", "0mm", "36", ""},
                {"A4", "0mm", "35", "35 ppi"},      {"picture", "5in", "1", "1 ppi"},
                {"A5", "70mm", "none", "70mm"},     {"A5", "62mm", "none", "62mm"},
                {"A5", "61mm", "none", ""},         {"1x1in", "0mm", "none", ""}};
    for (const auto& r : rows) {
        PageLayout l;
        QString error;
        ASSERT_TRUE(l.SetSize(r.size, &error) && l.SetMargin(r.margin, &error) && l.SetMaxPpi(r.maxPpi, &error));
        const QString w = l.Warning();
        EXPECT_EQ(w.isEmpty(), QString(r.warning).isEmpty()) << r.size << " " << r.margin << " " << r.maxPpi;
        EXPECT_TRUE(w.contains(r.warning)) << w.toStdString();
    }
}

// One picture on paper is judged by its own size: a small one drawn at its
// own size is fine from an inch and 36 ppi; one the paper stretches coarse
// or shrinks under an inch is warned of; on its own size, never.
TEST(PageLayoutTest, WarnsOfAPictureUnderAnInchOrUnder36PpiOnItsPage)
{
    const struct {
        const char *size, *fit, *maxPpi;
        int w, h;
        const char* warning;
    } rows[] = {{"picture", "into", "none", 40, 40, ""},          {"A4", "into", "none", 40, 40, "at 4.8 pixels per inch"},
                {"A4", "shrink", "none", 40, 40, "at only 0.20 x 0.20 in"}, {"A4", "shrink", "none", 200, 200, ""},
                {"A4", "into", "none", 400, 300, ""},             {"A4", "into", "none", 2000, 20, ""},
                {"A4", "into", "36", 4000, 3000, ""}};
    for (const auto& r : rows) {
        PageLayout l;
        QString error;
        ASSERT_TRUE(l.SetSize(r.size, &error) && l.SetFit(r.fit, &error) && l.SetMaxPpi(r.maxPpi, &error));
        EXPECT_EQ(l.PictureWarning(r.w, r.h), r.warning) << r.size << " " << r.fit << " " << r.w << "x" << r.h;
    }
}

} // namespace
