// The quality estimate of a JPEG: libjpeg's own 1..100 scale, read back from
// the luminance table of files libjpeg made at each quality.
#include "JpegSamples.h"

#include "engine/picture/JpegFacts.h"

#include <gtest/gtest.h>

using namespace testsupport;

TEST(JpegFacts, QualityIsTheOneLibjpegCodedAt)
{
    for (int q = 1; q <= 100; ++q) {
        JpegRecipe recipe; // the luminance table is read, from one component or three
        recipe.model = q % 2 ? JpegRecipe::Model::Grey : JpegRecipe::Model::YCbCr;
        recipe.quality = q;
        const JpegFacts facts = JpegFacts::Of(makeJpeg(16, 16, std::vector<uint8_t>(16 * 16 * 3, 128), recipe));
        EXPECT_TRUE(facts.Passable()) << q;
        EXPECT_EQ(facts.quality, q);
    }
}
