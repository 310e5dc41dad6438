// The pages of a many-page TIFF: what one page costs in a file of 1,000 and
// in one of 4,000 small pages (it must not grow with the pages before it),
// and how soon a file of more pages than the cap is refused.
//
// Usage: bench_tiffpages
#include "BenchPageMaker.h"
#include "engine/picture/TiffPages.h"
#include "platform/MemoryTuning.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>

#include <cstdio>
#include <tiffio.h>
#include <vector>

namespace {

// `pages` pages of 32 x 32 grey pixels, each its own shade, by libtiff.
bool writePages(const QString& path, int pages)
{
    TIFF* tif = TIFFOpen(QFile::encodeName(path).constData(), "w");
    if (!tif)
        return false;
    std::vector<uint8_t> row(32);
    bool ok = true;
    for (int k = 0; k < pages && ok; ++k) {
        TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, 32);
        TIFFSetField(tif, TIFFTAG_IMAGELENGTH, 32);
        TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, 8);
        TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, 1);
        TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISBLACK);
        TIFFSetField(tif, TIFFTAG_SUBFILETYPE, FILETYPE_PAGE);
        row.assign(32, uint8_t(k));
        for (uint32_t y = 0; y < 32 && ok; ++y)
            ok = TIFFWriteScanline(tif, row.data(), y, 0) > 0;
        ok = ok && TIFFWriteDirectory(tif);
    }
    TIFFClose(tif);
    return ok;
}

} // namespace

int main(int argc, char** argv)
{
    KeepPageMemoryFlat(); // as both programs run
    QCoreApplication app(argc, argv);
    std::setvbuf(stdout, nullptr, _IOLBF, 0); // each row as it is measured
    QTemporaryDir tmp;
    BenchPageMaker bench(tmp.path(), YieldEvents);
    const WorkFolders& folders = bench.folders;
    PageMaker& maker = bench.maker;

    std::printf("One entry of a TIFF of n pages of 32 x 32 grey pixels made into its page file (each page\n"
                "decoded in the helper, made and joined), ms of wall time:\n%8s %10s %10s %10s\n",
                "pages", "whole", "per page", "vs 1,000");
    double perThousand = 0;
    int entry = 0;
    for (const int pages : {1000, 4000, TiffPages::MaxPages() + 1}) {
        const QString path = tmp.filePath(QString("pages%1.tif").arg(pages));
        if (!writePages(path, pages)) {
            std::fprintf(stderr, "could not write %s\n", qPrintable(path));
            return 1;
        }
        std::fprintf(stderr, "%d pages written\n", pages);
        QElapsedTimer t;
        t.start();
        const PageResult r = maker.MakePage(entry, path, 85);
        const double ms = t.nsecsElapsed() / 1e6;
        QFile::remove(folders.pageFile(entry++));
        if (pages > TiffPages::MaxPages()) {
            std::printf("%8d %10.1f   %s (%s)\n", pages, ms, r.ok() ? "made, not refused" : "refused",
                        qPrintable(r.message));
            continue;
        }
        if (!r.ok() || r.pages != pages) {
            std::fprintf(stderr, "%d pages: %s\n", pages, qPrintable(r.message));
            return 1;
        }
        const double perPage = ms / pages;
        if (pages == 1000)
            perThousand = perPage;
        std::printf("%8d %10.1f %10.3f %10.2f\n", pages, ms, perPage, perPage / perThousand);
    }
    std::printf("Target: a page of the 4,000-page file at most 1.5 times one of the 1,000-page file;\n"
                "the file over the cap refused in under a second.\n");
    return 0;
}
