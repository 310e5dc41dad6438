#include "engine/pdf/LosslessEncoder.h"

#include <zlib.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace {

unsigned hashOf(unsigned key) { return (key * 2654435761u) >> 7; }

int paeth(int a, int b, int c)
{
    const int p = a + b - c, pa = std::abs(p - a), pb = std::abs(p - b), pc = std::abs(p - c);
    return pa <= pb && pa <= pc ? a : pb <= pc ? b : c;
}

// PNG's five filters on one row; the one whose bytes, read as signed, sum
// smallest (libpng's rule) goes into out[0..n] with its type first.
void filterRow(const unsigned char* cur, const unsigned char* prev, size_t n, size_t bpp, unsigned char* out,
               std::vector<unsigned char>& scratch)
{
    scratch.resize(n);
    long best = -1;
    // One loop per filter type, so the compiler sees a plain loop (a switch
    // inside it made this the costliest part of the lossless guess).
    auto run = [&](auto predict) {
        long sum = 0;
        for (size_t i = 0; i < n; ++i) {
            const int a = i >= bpp ? cur[i - bpp] : 0, b = prev ? prev[i] : 0, c = prev && i >= bpp ? prev[i - bpp] : 0;
            const unsigned char v = static_cast<unsigned char>(cur[i] - predict(a, b, c));
            scratch[i] = v;
            sum += v < 128 ? v : 256 - v;
        }
        return sum;
    };
    for (int type = 0; type < 5; ++type) {
        long sum = 0;
        switch (type) {
        case 0: sum = run([](int, int, int) { return 0; }); break;
        case 1: sum = run([](int a, int, int) { return a; }); break;
        case 2: sum = run([](int, int b, int) { return b; }); break;
        case 3: sum = run([](int a, int b, int) { return (a + b) / 2; }); break;
        default: sum = run([](int a, int b, int c) { return paeth(a, b, c); }); break;
        }
        if (best < 0 || sum < best) {
            best = sum;
            out[0] = static_cast<unsigned char>(type);
            std::memcpy(out + 1, scratch.data(), n);
        }
        if (!prev && type == 1)
            break; // Up, Average and Paeth add nothing on the first row
    }
}

} // namespace

LosslessEncoder::LosslessEncoder(const unsigned char* rows, int width, int pitch, int height, bool grey, bool bottomUp)
    : m_rows(rows), m_width(width), m_pitch(pitch), m_height(height), m_grey(grey), m_bottomUp(bottomUp)
{
}

const unsigned char* LosslessEncoder::row(int y) const
{
    return m_rows + std::ptrdiff_t(m_bottomUp ? m_height - 1 - y : y) * m_pitch;
}

int LosslessEncoder::CountColours(int cap)
{
    m_palette.clear();
    cap = std::max(cap, 1);
    if (m_grey)
        return countGreys(cap);
    const int step = 3;
    unsigned size = 1024;
    while (size < unsigned(cap) * 2)
        size *= 2;
    m_keys.assign(size, 0);
    m_index.assign(size, 0);
    m_mask = size - 1;
    std::string colours;
    int count = 0;
    for (int y = 0; y < m_height; ++y) {
        const unsigned char* p = row(y);
        unsigned last = 0;
        for (int x = 0; x < m_width; ++x, p += step) {
            const unsigned key = (unsigned(p[2]) << 16 | unsigned(p[1]) << 8 | p[0]) + 1;
            if (key == last)
                continue; // runs of one colour are common in flat pictures
            last = key;
            unsigned slot = hashOf(key) & m_mask;
            while (m_keys[slot] != 0 && m_keys[slot] != key)
                slot = (slot + 1) & m_mask;
            if (m_keys[slot] == key)
                continue;
            if (++count > cap)
                return cap + 1;
            m_keys[slot] = key;
            m_index[slot] = static_cast<unsigned char>(count - 1);
            if (count <= 256) {
                colours += char(p[2]);
                colours += char(p[1]);
                colours += char(p[0]);
            }
        }
    }
    if (count <= 256)
        m_palette = colours;
    return count;
}

// Grey levels through a table of 256 (a grey photo holds most of them, and
// hashing every pixel would cost as much as coding it). Grey takes an index
// only when it saves bits (16 levels or fewer); the indices then go through
// the same table as colours do.
int LosslessEncoder::countGreys(int cap)
{
    bool seen[256] = {};
    for (int y = 0; y < m_height; ++y) {
        const unsigned char* p = row(y);
        for (int x = 0; x < m_width; ++x)
            seen[p[x]] = true;
    }
    std::string levels;
    for (int v = 0; v < 256; ++v)
        if (seen[v])
            levels += char(v);
    const int count = int(levels.size());
    if (count > 16)
        return std::min(count, cap + 1);
    m_keys.assign(1024, 0);
    m_index.assign(1024, 0);
    m_mask = 1023;
    for (int i = 0; i < count; ++i) {
        const unsigned key = static_cast<unsigned char>(levels[size_t(i)]) + 1u;
        unsigned slot = hashOf(key) & m_mask;
        while (m_keys[slot] != 0)
            slot = (slot + 1) & m_mask;
        m_keys[slot] = key;
        m_index[slot] = static_cast<unsigned char>(i);
    }
    m_palette = levels;
    return count;
}

int LosslessEncoder::BitsPerComponent() const
{
    if (!Indexed())
        return 8;
    const size_t n = m_palette.size() / (m_grey ? 1 : 3);
    return n <= 2 ? 1 : n <= 4 ? 2 : n <= 16 ? 4 : 8;
}

void LosslessEncoder::packRow(int y, unsigned char* out) const
{
    const unsigned char* p = row(y);
    if (!Indexed()) {
        if (m_grey) {
            std::memcpy(out, p, size_t(m_width));
            return;
        }
        for (int x = 0; x < m_width; ++x, p += 3) {
            *out++ = p[2];
            *out++ = p[1];
            *out++ = p[0];
        }
        return;
    }
    const int bits = BitsPerComponent(), step = m_grey ? 1 : 3;
    std::memset(out, 0, (size_t(m_width) * bits + 7) / 8);
    for (int x = 0; x < m_width; ++x, p += step) {
        const unsigned key = (m_grey ? p[0] : unsigned(p[2]) << 16 | unsigned(p[1]) << 8 | p[0]) + 1;
        unsigned slot = hashOf(key) & m_mask;
        while (m_keys[slot] != key)
            slot = (slot + 1) & m_mask;
        const unsigned index = m_index[slot];
        const size_t bit = size_t(x) * bits;
        out[bit / 8] |= static_cast<unsigned char>(index << (8 - bits - bit % 8));
    }
}

std::size_t LosslessEncoder::Estimate(std::size_t limit) const
{
    // One band of 8 rows in every 16 (in a tall picture, about 64 rows in
    // all), quickly coded (zlib level 1, which comes out larger than level
    // 9): enough to tell a photo, whose lossless coding is several times its
    // JPEG, from a flat picture.
    const int kEvery = std::max(16, m_height / 64);
    std::string sample;
    size_t best = SIZE_MAX;
    for (bool filter : {false, true}) {
        if (encodeRows(filter, std::min(best, limit / kEvery), &sample, 1, kEvery))
            best = sample.size();
    }
    return best == SIZE_MAX ? SIZE_MAX : best * kEvery;
}

bool LosslessEncoder::Encode(std::size_t limit)
{
    // Two ways, the smaller kept: rows as they are, whose exact repeats
    // (text, icons) Flate finds best, and each row under its best PNG
    // filter, which wins on gradients. Both are tried at level 6, and the
    // smaller is coded again at 9: level 9 took 0.4 s for a 300-dpi page of
    // text, eight times level 6, for a tenth fewer bytes; the two levels
    // rank the ways alike but where they come out about even. Level 6 runs
    // at most a quarter above 9, hence its limit.
    const std::size_t roomy = limit > SIZE_MAX / 2 ? SIZE_MAX : limit + limit / 4;
    std::string plain, filtered;
    const bool plainOk = encodeRows(false, roomy, &plain, 6, 1);
    const bool filteredOk = encodeRows(true, plainOk ? plain.size() - 1 : roomy, &filtered, 6, 1);
    return (plainOk || filteredOk) && encodeRows(filteredOk, limit, &m_data, 9, 1);
}

bool LosslessEncoder::encodeRows(bool filter, std::size_t limit, std::string* data, int level, int bandEvery) const
{
    data->clear();
    const size_t rowBytes = Indexed() ? (size_t(m_width) * BitsPerComponent() + 7) / 8
                                      : size_t(m_width) * (m_grey ? 1 : 3);
    const size_t bpp = Indexed() || m_grey ? 1 : 3;
    std::vector<unsigned char> cur(rowBytes), prev(rowBytes), coded(rowBytes + 1), scratch;
    z_stream z{};
    // The sampled guess uses smaller deflate blocks, so its output shows up
    // (and a photo passes its limit) after a few rows rather than hundreds
    // of kilobytes.
    const int memLevel = bandEvery > 1 ? 6 : 9;
    if (deflateInit2(&z, level, Z_DEFLATED, 15, memLevel, Z_DEFAULT_STRATEGY) != Z_OK)
        return false;
    std::vector<unsigned char> out(64 * 1024);
    bool ok = true;
    for (int y = 0; y <= m_height && ok; ++y) {
        if (y < m_height && (y / 8) % bandEvery != 0)
            continue;
        const bool last = y == m_height;
        if (!last) {
            packRow(y, cur.data());
            if (filter) {
                filterRow(cur.data(), y > 0 ? prev.data() : nullptr, rowBytes, bpp, coded.data(), scratch);
                std::swap(cur, prev);
            } else {
                coded[0] = 0; // PNG filter "None"
                std::memcpy(coded.data() + 1, cur.data(), rowBytes);
            }
            z.next_in = coded.data();
            z.avail_in = unsigned(rowBytes + 1);
        }
        int rc = Z_OK;
        do {
            z.next_out = out.data();
            z.avail_out = unsigned(out.size());
            rc = deflate(&z, last ? Z_FINISH : Z_NO_FLUSH);
            data->append(reinterpret_cast<const char*>(out.data()), out.size() - z.avail_out);
            if (rc == Z_STREAM_ERROR || data->size() > limit) {
                ok = false;
                break;
            }
        } while (z.avail_out == 0 || (last && rc != Z_STREAM_END));
    }
    deflateEnd(&z);
    if (!ok)
        data->clear();
    return ok;
}
