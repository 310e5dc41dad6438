#include "PictureCheck.h"

#include "TestSupport.h"

#include <FreeImage.h>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <algorithm>
#include <cmath>

namespace testsupport {

RgbImage testPattern(int w, int h)
{
    RgbImage img{w, h, std::vector<uint8_t>(size_t(w) * h * 3)};
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            uint8_t* p = img.at(x, y);
            p[0] = uint8_t(x * 255 / std::max(1, w - 1));
            p[1] = uint8_t(y * 255 / std::max(1, h - 1));
            p[2] = uint8_t(128 + 100 * std::sin((x + y) / 23.0));
            // A dark block top-left and a light one bottom-right: a picture
            // drawn upside down or mirrored shows at once.
            if (x < w / 4 && y < h / 4)
                p[0] = p[1] = p[2] = 20;
            if (x >= 3 * w / 4 && y >= 3 * h / 4)
                p[0] = p[1] = p[2] = 235;
        }
    }
    return img;
}

RgbImage greyPattern(int w, int h)
{
    RgbImage img = testPattern(w, h);
    for (size_t i = 0; i < img.px.size(); i += 3)
        img.px[i + 1] = img.px[i + 2] = img.px[i];
    return img;
}

bool saveRgb(const RgbImage& img, const QString& path, int format, int bpp, int flags)
{
    FIBITMAP* dib = FreeImage_Allocate(img.w, img.h, bpp);
    if (!dib)
        return false;
    if (bpp == 8) {
        RGBQUAD* pal = FreeImage_GetPalette(dib);
        for (int i = 0; i < 256; ++i)
            pal[i].rgbRed = pal[i].rgbGreen = pal[i].rgbBlue = BYTE(i);
    }
    for (int y = 0; y < img.h; ++y) {
        BYTE* line = FreeImage_GetScanLine(dib, img.h - 1 - y);
        for (int x = 0; x < img.w; ++x) {
            const uint8_t* p = img.at(x, y);
            if (bpp == 8) {
                line[x] = p[0];
            } else {
                BYTE* q = line + x * (bpp / 8);
                q[FI_RGBA_RED] = p[0];
                q[FI_RGBA_GREEN] = p[1];
                q[FI_RGBA_BLUE] = p[2];
                if (bpp == 32)
                    q[FI_RGBA_ALPHA] = 255;
            }
        }
    }
    const BOOL ok = FreeImage_Save(FREE_IMAGE_FORMAT(format), dib, QFile::encodeName(path).constData(), flags);
    FreeImage_Unload(dib);
    return ok;
}

RgbImage loadRgb(const QString& path)
{
    const QByteArray p8 = QFile::encodeName(path);
    FIBITMAP* dib = FreeImage_Load(FreeImage_GetFileType(p8.constData(), 0), p8.constData(), 0);
    if (!dib)
        return {};
    FIBITMAP* rgb = FreeImage_ConvertTo24Bits(dib);
    FreeImage_Unload(dib);
    if (!rgb)
        return {};
    RgbImage img{int(FreeImage_GetWidth(rgb)), int(FreeImage_GetHeight(rgb)), {}};
    img.px.resize(size_t(img.w) * img.h * 3);
    for (int y = 0; y < img.h; ++y) {
        const BYTE* line = FreeImage_GetScanLine(rgb, img.h - 1 - y);
        for (int x = 0; x < img.w; ++x) {
            uint8_t* p = img.at(x, y);
            p[0] = line[3 * x + FI_RGBA_RED];
            p[1] = line[3 * x + FI_RGBA_GREEN];
            p[2] = line[3 * x + FI_RGBA_BLUE];
        }
    }
    FreeImage_Unload(rgb);
    return img;
}

double meanAbsDiff(const RgbImage& a, const RgbImage& b)
{
    if (a.w != b.w || a.h != b.h || a.px.empty())
        return -1;
    double sum = 0;
    for (size_t i = 0; i < a.px.size(); ++i)
        sum += std::abs(int(a.px[i]) - int(b.px[i]));
    return sum / double(a.px.size());
}

double meanAbsDiffAligned(const RgbImage& a, const RgbImage& b, int maxShift)
{
    if (a.w != b.w || a.h != b.h || a.w <= 2 * maxShift || a.h <= 2 * maxShift)
        return -1;
    double best = -1;
    for (int dy = -maxShift; dy <= maxShift; ++dy) {
        for (int dx = -maxShift; dx <= maxShift; ++dx) {
            double sum = 0;
            for (int y = maxShift; y < a.h - maxShift; ++y)
                for (int x = maxShift; x < a.w - maxShift; ++x)
                    for (int c = 0; c < 3; ++c)
                        sum += std::abs(int(a.at(x, y)[c]) - int(b.at(x + dx, y + dy)[c]));
            const double mean = sum / (3.0 * (a.w - 2 * maxShift) * (a.h - 2 * maxShift));
            if (best < 0 || mean < best)
                best = mean;
        }
    }
    return best;
}

bool runToFile(const QString& program, const QStringList& args, const QString& inFile, const QString& outFile)
{
    QProcess p;
    if (!inFile.isEmpty())
        p.setStandardInputFile(inFile);
    p.setStandardOutputFile(outFile);
    p.start(program, args);
    if (!p.waitForStarted(30000) || !p.waitForFinished(120000))
        return false;
    return p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
}

QString qpdfProblems(const QString& pdf)
{
    const ProcessResult r = runProgram("qpdf", {"--check", pdf});
    if (r.exitCode == 0 && r.err.trimmed().isEmpty() && r.out.contains("No syntax or stream encoding errors"))
        return {};
    return QString("exit %1\n%2\n%3").arg(r.exitCode).arg(r.out, r.err);
}

Rendered renderPoppler(const QString& pdf, int dpi)
{
    Rendered out;
    QTemporaryDir dir;
    const ProcessResult r =
        runProgram("pdftoppm", {"-r", QString::number(dpi), "-png", "-singlefile", pdf, dir.filePath("page")});
    out.messages = r.err.trimmed();
    out.image = loadRgb(dir.filePath("page.png"));
    out.ok = r.exitCode == 0 && !out.image.px.empty();
    return out;
}

Rendered renderMupdf(const QString& pdf, int dpi)
{
    Rendered out;
    QTemporaryDir dir;
    const ProcessResult r =
        runProgram("mutool", {"draw", "-q", "-c", "rgb", "-r", QString::number(dpi), "-o", dir.filePath("page.png"), pdf, "1"});
    // Debian's mutool says this about itself on every run, whatever the file.
    out.messages = r.err;
    out.messages.remove("warning: ICC support is not available");
    out.messages = out.messages.trimmed();
    out.image = loadRgb(dir.filePath("page.png"));
    out.ok = r.exitCode == 0 && !out.image.px.empty();
    return out;
}

Rendered renderGhostscript(const QString& pdf, int dpi)
{
    Rendered out;
    QTemporaryDir dir;
    const ProcessResult r = runProgram("gs", {"-q", "-dNOPAUSE", "-dBATCH", "-dSAFER", "-sDEVICE=png16m",
                                              "-r" + QString::number(dpi), "-dFirstPage=1", "-dLastPage=1",
                                              "-sOutputFile=" + dir.filePath("page.png"), pdf});
    // Ghostscript reports problems of the file on standard output.
    out.messages = (r.out + r.err).trimmed();
    out.image = loadRgb(dir.filePath("page.png"));
    out.ok = r.exitCode == 0 && !out.image.px.empty();
    return out;
}

RgbImage extractImage(const QString& pdf)
{
    QTemporaryDir dir;
    const ProcessResult r = runProgram("pdfimages", {"-png", "-f", "1", "-l", "1", pdf, dir.filePath("im")});
    return r.exitCode == 0 ? loadRgb(dir.filePath("im-000.png")) : RgbImage{};
}

std::pair<double, double> mediaBoxPoints(const QString& pdf)
{
    const ProcessResult r = runProgram("pdfinfo", {"-box", pdf});
    const auto m = QRegularExpression("^MediaBox:\\s+(\\S+)\\s+(\\S+)\\s+(\\S+)\\s+(\\S+)",
                                      QRegularExpression::MultilineOption)
                       .match(r.out);
    if (r.exitCode != 0 || !m.hasMatch())
        return {-1, -1};
    return {m.captured(3).toDouble() - m.captured(1).toDouble(), m.captured(4).toDouble() - m.captured(2).toDouble()};
}

std::vector<QStringList> pdfImages(const QString& pdf)
{
    std::vector<QStringList> rows;
    const ProcessResult r = runProgram("pdfimages", {"-list", pdf});
    const QStringList lines = r.out.split('\n');
    for (int i = 2; i < lines.size(); ++i) {
        const QStringList cells = lines[i].split(' ', Qt::SkipEmptyParts);
        if (cells.size() > 9)
            rows.push_back(cells);
    }
    return rows;
}

} // namespace testsupport
