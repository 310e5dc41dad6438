// The quality estimate of a JPEG: libjpeg's own 1..100 scale, read back from
// the luminance table of files libjpeg made at each quality.
#include "JpegSamples.h"

#include "engine/picture/JpegFacts.h"

#include <gtest/gtest.h>

using namespace testsupport;

TEST(JpegFacts, QualityIsTheOneLibjpegCodedAt)
{
    std::vector<uint8_t> grey(16 * 16);
    for (size_t i = 0; i < grey.size(); ++i)
        grey[i] = uint8_t(i * 7);
    for (int q = 1; q <= 100; ++q) {
        JpegRecipe recipe;
        recipe.model = q % 2 ? JpegRecipe::Model::Grey : JpegRecipe::Model::YCbCr;
        recipe.quality = q;
        const std::vector<uint8_t> samples = q % 2 ? grey : std::vector<uint8_t>(16 * 16 * 3, 128);
        const JpegFacts facts = JpegFacts::Of(makeJpeg(16, 16, samples, recipe));
        EXPECT_TRUE(facts.Passable()) << q;
        EXPECT_EQ(facts.quality, q);
    }
}
