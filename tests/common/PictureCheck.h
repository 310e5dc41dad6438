#pragma once
#include <QString>
#include <QStringList>

#include <cstdint>
#include <vector>

// Making test pictures with known pixels, and checking PDFs with outside
// tools: qpdf, pdfinfo, pdfimages, pdftoppm (poppler) and mutool (mupdf).
namespace testsupport {

// 8-bit RGB, rows top-down.
struct RgbImage {
    int w = 0;
    int h = 0;
    std::vector<uint8_t> px;
    uint8_t* at(int x, int y) { return px.data() + 3 * (size_t(y) * w + x); }
    const uint8_t* at(int x, int y) const { return px.data() + 3 * (size_t(y) * w + x); }
};

// Smooth colour gradients with a few solid blocks.
RgbImage testPattern(int w, int h);
// Same picture in grey (r = g = b).
RgbImage greyPattern(int w, int h);

// Saves with FreeImage: bpp 24 colour, 8 grey (from the red channel).
bool saveRgb(const RgbImage& img, const QString& path, int format, int bpp = 24, int flags = 0);
// Any picture FreeImage reads, as RGB (alpha dropped).
RgbImage loadRgb(const QString& path);
// Mean absolute difference per channel (0..255); -1 when sizes differ.
double meanAbsDiff(const RgbImage& a, const RgbImage& b);

// The same, at the best alignment of b within maxShift pixels of a (the
// border of maxShift pixels left out): for renderers that resample.
double meanAbsDiffAligned(const RgbImage& a, const RgbImage& b, int maxShift);

// Runs a program with stdin from inFile (if any) and stdout into outFile.
bool runToFile(const QString& program, const QStringList& args, const QString& inFile, const QString& outFile);

// Empty when `qpdf --check` finds nothing wrong, else its report.
QString qpdfProblems(const QString& pdf);

struct Rendered {
    bool ok = false;
    QString messages; // anything the renderer printed on stderr
    RgbImage image;
};
Rendered renderPoppler(const QString& pdf, int dpi);
Rendered renderMupdf(const QString& pdf, int dpi);
Rendered renderGhostscript(const QString& pdf, int dpi);

// The first image of page 1 as stored (pdfimages -png), decoded but not
// rendered; empty on failure.
RgbImage extractImage(const QString& pdf);

// Page 1's MediaBox width and height in points (pdfinfo -box); {-1,-1} on failure.
std::pair<double, double> mediaBoxPoints(const QString& pdf);

// Rows of `pdfimages -list` for page images: page num type width height
// color comp bpc enc interp ... split on blanks.
std::vector<QStringList> pdfImages(const QString& pdf);

} // namespace testsupport
