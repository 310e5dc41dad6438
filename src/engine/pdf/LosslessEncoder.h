#pragma once
#include <cstddef>
#include <string>
#include <vector>

// Lossless coding of a picture for a PDF image: Flate with PNG predictors,
// as an indexed image when it has few colours (1, 2, 4 or 8 bits an index).
class LosslessEncoder {
public:
    // Rows of grey bytes or of B, G, R triplets (FreeImage's order), the
    // first row in memory being the top one unless bottomUp.
    LosslessEncoder(const unsigned char* rows, int width, int pitch, int height, bool grey, bool bottomUp);

    // Distinct colours, counted up to `cap` (cap + 1: more than that). When
    // there are at most 256 (16 for grey) the picture is then coded indexed.
    int CountColours(int cap);

    // Codes the picture; false, with nothing kept, as soon as the coded
    // bytes would pass `limit` (to stop early when another coding wins).
    bool Encode(std::size_t limit);
    // A quick guess at what Encode would give, from a sample of the rows,
    // on the large side; SIZE_MAX once it is clearly above `limit`.
    std::size_t Estimate(std::size_t limit) const;

    const std::string& Data() const { return m_data; }
    bool Indexed() const { return !m_palette.empty(); }
    // Index entries (R, G, B or grey bytes), in index order.
    const std::string& Palette() const { return m_palette; }
    int BitsPerComponent() const;
    // Samples per pixel, for the predictor: 1 (grey or index) or 3.
    int Colors() const { return Indexed() || m_grey ? 1 : 3; }

private:
    const unsigned char* row(int y) const;
    void packRow(int y, unsigned char* out) const;
    // Flate at `level` of the rows (of one band of 8 in every `bandEvery`),
    // each under its best PNG filter or none; false once the output passes
    // `limit`.
    bool encodeRows(bool filter, std::size_t limit, std::string* data, int level, int bandEvery) const;
    int countGreys(int cap);

    const unsigned char* m_rows;
    int m_width, m_pitch, m_height;
    bool m_grey, m_bottomUp;
    std::string m_palette;
    std::vector<unsigned> m_keys;     // colour + 1; 0 = empty slot
    std::vector<unsigned char> m_index;
    unsigned m_mask = 0;
    std::string m_data;
};
