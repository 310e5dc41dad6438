#pragma once

#include <qpdf/QPDF.hh>
#include <qpdf/QPDFObjectHandle.hh>

#include <QString>

#include <array>
#include <memory>
#include <string>
#include <vector>

class JpegEncoder;
class PictureTraits;
struct FIBITMAP;
struct PagePlacement;

// One one-page document under construction (a PdfCtl box): the settings its
// properties gave, then the page as pictures are drawn on it, written by End.
// Begin, Draw and End return an empty string on success, else what failed.
class PdfDrawing {
public:
    struct Settings {
        QString file;
        QString creator;
        int width = 0; // tenths of a millimetre
        int height = 0;
        // A page size in points instead (paper sizes need finer steps than
        // tenths of a millimetre); 0 when the tenths hold.
        double widthPt = 0;
        double heightPt = 0;
        int compression = 2;
        int pathCheck = 0;
        int quality = 75;
        int docCompression = 2;
        int placement = 2;
    };
    Settings settings;

    PdfDrawing();
    ~PdfDrawing();

    bool Begun() const { return m_begun; }
    // An empty page of the set size.
    QString Begin();
    // The picture file `bitmapPath` into the rectangle (tenths of a
    // millimetre from the top left), placed as the settings say.
    QString Draw(int left, int top, int width, int height, const QString& bitmapPath);
    // The picture file `bitmapPath` where `placement` puts it, resampled
    // first to the placement's coded size when that is smaller.
    QString DrawPlaced(const PagePlacement& placement, const QString& bitmapPath);
    // Writes the page to a temporary file beside settings.file and renames
    // it over that; the document is gone afterwards, begun or failed.
    QString End();

    // Pixels of the picture: grey bytes or B, G, R triplets.
    struct Raster {
        const unsigned char* rows;
        int width, pitch, height;
        bool grey, bottomUp;
    };

private:
    // The image XObject of a picture file, coded at codedW x codedH pixels
    // (0 x 0: as it is); *pw x *ph are its pixels. Empty or what failed.
    // A JPEG kept as it is comes with its Exif *orientation (else 1).
    QString loadImage(const QString& bitmapPath, int codedW, int codedH, QPDFObjectHandle* image, double* pw, double* ph,
                      int* orientation);
    // Puts the image on the page with the matrix that maps its unit square,
    // turned first by an Exif orientation (1: as it is).
    void placeImage(QPDFObjectHandle image, const std::array<double, 6>& matrix, int orientation);
    // keepLossless: the picture was lossless at its own pixels (a resampled
    // one of few colours), so it stays lossless.
    bool rasterImage(const Raster& r, const PictureTraits& traits, QPDFObjectHandle* image, QString* error,
                     bool keepLossless = false);
    bool makeImage(FIBITMAP* dib, const PictureTraits& traits, QPDFObjectHandle* image, QString* error,
                   bool keepLossless = false);
    QPDFObjectHandle jpegStream(std::unique_ptr<JpegEncoder> jpeg, const Raster& r, const PictureTraits& traits);

    bool m_begun = false;
    std::unique_ptr<QPDF> m_pdf;
    QPDFObjectHandle m_page;
    std::string m_content;
    int m_images = 0;
    // JPEG bytes the document's streams point at until it is written.
    std::vector<std::unique_ptr<JpegEncoder>> m_jpegs;
};
