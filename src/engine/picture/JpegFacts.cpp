#include "engine/picture/JpegFacts.h"

#include "engine/picture/PictureBytes.h"

#include <array>
#include <cstdlib>
#include <cstring>
#include <map>

namespace {

// libjpeg's standard luminance table (its jcparam.c), natural order.
const int kStandardLuma[64] = {
    16, 11, 10, 16, 24,  40,  51,  61,  12, 12, 14, 19, 26,  58,  60,  55,
    14, 13, 16, 24, 40,  57,  69,  56,  14, 17, 22, 29, 51,  87,  80,  62,
    18, 22, 37, 56, 68,  109, 103, 77,  24, 35, 55, 64, 81,  104, 113, 92,
    49, 64, 78, 87, 103, 121, 120, 101, 72, 92, 95, 98, 112, 100, 103, 99,
};

// Where the k-th coefficient of a DQT segment (zigzag order) belongs.
const int kNaturalOrder[64] = {
    0,  1,  8,  16, 9,  2,  3,  10, 17, 24, 32, 25, 18, 11, 4,  5,
    12, 19, 26, 33, 40, 48, 41, 34, 27, 20, 13, 6,  7,  14, 21, 28,
    35, 42, 49, 56, 57, 50, 43, 36, 29, 22, 15, 23, 30, 37, 44, 51,
    58, 59, 52, 45, 38, 31, 39, 46, 53, 60, 61, 54, 47, 55, 62, 63,
};

// The colour model libjpeg gives the components (its jdapimin.c rules),
// where readers that take the Adobe marker first and a stream stripped of
// JFIF would not decide otherwise.
JpegFacts::Colour colourOf(int components, bool jfif, bool adobe, int transform, const unsigned char ids[3])
{
    using Colour = JpegFacts::Colour;
    if (components == 1)
        return Colour::Grey;
    if (components == 3) {
        const bool rgbIds = ids[0] == 'R' && ids[1] == 'G' && ids[2] == 'B';
        if (adobe)
            return transform == 1 ? Colour::YCbCr : transform == 0 && !jfif ? Colour::Rgb : Colour::Unknown;
        // Without JFIF (we drop it) libjpeg would read R, G, B ids as RGB.
        return rgbIds ? Colour::Unknown : Colour::YCbCr;
    }
    if (components == 4 && adobe) // CMYK without Adobe's marker: readers differ on its sense
        return transform == 0 ? Colour::Cmyk : transform == 2 ? Colour::Ycck : Colour::Unknown;
    return Colour::Unknown;
}

} // namespace

int JpegFacts::QualityOf(const int table[64])
{
    int best = 0;
    long bestDistance = -1;
    for (int q = 1; q <= 100; ++q) {
        // jpeg_quality_scaling, then jpeg_add_quant_table with baseline limits.
        const long scale = q < 50 ? 5000 / q : 200 - 2 * q;
        long distance = 0;
        for (int i = 0; i < 64; ++i) {
            long v = (kStandardLuma[i] * scale + 50) / 100;
            v = v < 1 ? 1 : v > 255 ? 255 : v;
            distance += std::labs(v - table[i]);
        }
        // Ties go to the lower quality: re-coding at any of them gives the
        // same table, so cannot do better than the picture has.
        if (bestDistance < 0 || distance < bestDistance) {
            best = q;
            bestDistance = distance;
        }
    }
    return best;
}

JpegFacts JpegFacts::Of(const QByteArray& jpeg, QByteArray* stripped)
{
    JpegFacts f;
    const auto* p = reinterpret_cast<const unsigned char*>(jpeg.constData());
    const qsizetype n = jpeg.size();
    if (stripped)
        stripped->clear();
    if (n < 4 || p[0] != 0xFF || p[1] != 0xD8)
        return f;
    QByteArray out;
    if (stripped)
        out.reserve(n);
    out.append(jpeg.constData(), 2);
    bool jfif = false, exifSeen = false, frameSeen = false;
    int transform = -1;
    unsigned char ids[3] = {};
    int lumaTable = -1;
    std::map<int, std::array<int, 64>> tables;
    std::map<int, QByteArray> iccChunks;
    int iccCount = 0;
    bool iccBroken = false;
    qsizetype pos = 2;
    auto keep = [&](qsizetype from, qsizetype to) {
        if (stripped)
            out.append(jpeg.constData() + from, to - from);
    };
    for (;;) {
        if (pos + 2 > n || p[pos] != 0xFF)
            return f;
        const unsigned char marker = p[pos + 1];
        if (marker == 0xFF) { // fill byte
            ++pos;
            continue;
        }
        if (marker == 0xD9) {
            keep(pos, pos + 2);
            break;
        }
        if (marker == 0xD8 || marker == 0x01 || marker == 0x00 || (marker >= 0xD0 && marker <= 0xD7))
            return f; // no place for these outside the coded data
        if (pos + 4 > n)
            return f;
        const qsizetype length = PictureBytes::Be16(p + pos + 2);
        if (length < 2 || pos + 2 + length > n)
            return f;
        const unsigned char* s = p + pos + 4; // the segment's body
        const qsizetype body = length - 2;
        const qsizetype end = pos + 2 + length;
        if (marker >= 0xE0 && marker <= 0xEF) {
            if (marker == 0xE0 && body >= 5 && std::memcmp(s, "JFIF\0", 5) == 0)
                jfif = true;
            if (marker == 0xE1 && body >= 6 && std::memcmp(s, "Exif\0\0", 6) == 0 && !exifSeen) {
                exifSeen = true;
                f.orientation = PictureBytes::ExifOrientation(jpeg.mid(pos + 10, body - 6));
            }
            if (marker == 0xE2 && body >= 14 && std::memcmp(s, "ICC_PROFILE\0", 12) == 0) {
                const int seq = s[12], count = s[13];
                if (seq < 1 || seq > count || (iccCount && count != iccCount) || iccChunks.count(seq))
                    iccBroken = true;
                iccCount = count;
                iccChunks[seq] = QByteArray(reinterpret_cast<const char*>(s) + 14, body - 14);
            }
            if (marker == 0xEE && body >= 12 && std::memcmp(s, "Adobe", 5) == 0) {
                f.adobe = true;
                transform = s[11];
                keep(pos, end);
            }
        } else if (marker == 0xFE) {
            // a comment: no reader needs it
        } else if (marker == 0xDB) {
            for (qsizetype at = 0; at < body;) {
                const int wide = s[at] >> 4, id = s[at] & 15;
                const qsizetype size = 1 + 64 * (wide ? 2 : 1);
                if (at + size > body)
                    return f;
                std::array<int, 64>& t = tables[id];
                for (int k = 0; k < 64; ++k)
                    t[size_t(kNaturalOrder[k])] = wide ? PictureBytes::Be16(s + at + 1 + 2 * k) : s[at + 1 + k];
                at += size;
            }
            keep(pos, end);
        } else if (marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC) {
            if (frameSeen || body < 6)
                return f;
            frameSeen = true;
            f.frameMarker = marker;
            f.precision = s[0];
            f.height = PictureBytes::Be16(s + 1);
            f.width = PictureBytes::Be16(s + 3);
            f.components = s[5];
            if (body < 6 + 3 * f.components || f.components < 1)
                return f;
            for (int c = 0; c < f.components && c < 3; ++c)
                ids[c] = s[6 + 3 * c];
            lumaTable = s[6 + 2];
            keep(pos, end);
        } else if (marker == 0xDA) {
            keep(pos, end);
            // The coded data runs to the next marker that is not a stuffed
            // byte or a restart marker.
            qsizetype at = end;
            for (;;) {
                const void* ff = at < n ? std::memchr(p + at, 0xFF, size_t(n - at)) : nullptr;
                if (!ff)
                    return f; // cut off: no EOI
                at = static_cast<const unsigned char*>(ff) - p;
                if (at + 1 >= n)
                    return f;
                const unsigned char next = p[at + 1];
                if (next == 0x00 || (next >= 0xD0 && next <= 0xD7))
                    at += 2;
                else if (next == 0xFF)
                    ++at;
                else
                    break;
            }
            keep(end, at);
            pos = at;
            continue;
        } else {
            if (marker == 0xC4)
                f.huffmanTables = true;
            else if (marker != 0xDD && marker != 0xCC) // restart interval, arithmetic conditioning
                f.unusualMarkers = true;
            keep(pos, end);
        }
        pos = end;
    }
    if (!frameSeen)
        return f;
    f.whole = true;
    f.colour = colourOf(f.components, jfif, f.adobe, transform, ids);
    if (auto t = tables.find(lumaTable); t != tables.end())
        f.quality = QualityOf(t->second.data());
    if (!iccBroken && iccCount > 0 && int(iccChunks.size()) == iccCount)
        for (const auto& chunk : iccChunks)
            f.iccProfile += chunk.second;
    if (stripped)
        *stripped = std::move(out);
    return f;
}

bool JpegFacts::Passable() const
{
    return whole && (frameMarker == 0xC0 || frameMarker == 0xC2) && precision == 8 && width > 0 && height > 0 &&
           colour != Colour::Unknown && huffmanTables && !unusualMarkers && quality > 0;
}
