#include "engine/pdf/PdfDrawing.h"

#include "engine/picture/BmpFileView.h"
#include "engine/pdf/PdfColourSpace.h"
#include "engine/pdf/FaxEncoder.h"
#include "engine/pdf/FaxPassThrough.h"
#include "engine/pdf/ImageMatrix.h"
#include "engine/pdf/JpegEncoder.h"
#include "engine/pdf/JpegPassThrough.h"
#include "engine/pdf/LosslessEncoder.h"
#include "engine/pdf/PagePlacement.h"
#include "engine/picture/PictureLimits.h"
#include "engine/picture/PictureReader.h"
#include "engine/picture/PictureTraits.h"
#include "platform/QuotedPath.h"

#include <qpdf/Buffer.hh>
#include <qpdf/QPDFPageDocumentHelper.hh>
#include <qpdf/QPDFWriter.hh>
#include <qpdf/QUtil.hh>

#include <QFile>

#include <algorithm>
#include <cstring>
#include <zlib.h>

namespace {

double points(double tenthsOfMm) { return tenthsOfMm * 72.0 / 254.0; }

// Rows top-down, 1 bit a pixel, each row whole bytes: what PDF expects.
std::shared_ptr<Buffer> packedBits(FIBITMAP* dib)
{
    const unsigned w = FreeImage_GetWidth(dib), h = FreeImage_GetHeight(dib);
    const size_t rowBytes = (w + 7) / 8;
    auto buf = std::make_shared<Buffer>(rowBytes * h);
    unsigned char* out = buf->getBuffer();
    for (unsigned y = 0; y < h; ++y)
        std::memcpy(out + y * rowBytes, FreeImage_GetScanLine(dib, int(h - 1 - y)), rowBytes);
    return buf;
}

// A two-colour picture as an image XObject: grey when its colours are black
// and white, indexed otherwise.
void describeBilevel(QPDFObjectHandle dict, FIBITMAP* dib)
{
    const RGBQUAD* pal = FreeImage_GetPalette(dib);
    auto is = [](const RGBQUAD& c, BYTE v) { return c.rgbRed == v && c.rgbGreen == v && c.rgbBlue == v; };
    dict.replaceKey("/BitsPerComponent", QPDFObjectHandle::newInteger(1));
    if (is(pal[0], 0) && is(pal[1], 255)) {
        dict.replaceKey("/ColorSpace", QPDFObjectHandle::newName("/DeviceGray"));
    } else if (is(pal[0], 255) && is(pal[1], 0)) {
        dict.replaceKey("/ColorSpace", QPDFObjectHandle::newName("/DeviceGray"));
        dict.replaceKey("/Decode", QPDFObjectHandle::newArray(
                                       {QPDFObjectHandle::newInteger(1), QPDFObjectHandle::newInteger(0)}));
    } else {
        std::string lookup;
        for (int i = 0; i < 2; ++i) {
            lookup += char(pal[i].rgbRed);
            lookup += char(pal[i].rgbGreen);
            lookup += char(pal[i].rgbBlue);
        }
        dict.replaceKey("/ColorSpace", QPDFObjectHandle::newArray(
                                           {QPDFObjectHandle::newName("/Indexed"),
                                            QPDFObjectHandle::newName("/DeviceRGB"),
                                            QPDFObjectHandle::newInteger(1), QPDFObjectHandle::newString(lookup)}));
    }
}

QPDFObjectHandle imageDict(int w, int h)
{
    QPDFObjectHandle dict = QPDFObjectHandle::newDictionary();
    dict.replaceKey("/Type", QPDFObjectHandle::newName("/XObject"));
    dict.replaceKey("/Subtype", QPDFObjectHandle::newName("/Image"));
    dict.replaceKey("/Width", QPDFObjectHandle::newInteger(w));
    dict.replaceKey("/Height", QPDFObjectHandle::newInteger(h));
    return dict;
}

QPDFObjectHandle streamWith(QPDF& pdf, std::shared_ptr<Buffer> data, QPDFObjectHandle dict)
{
    QPDFObjectHandle stream = QPDFObjectHandle::newStream(&pdf, std::move(data));
    for (const auto& key : dict.getKeys())
        stream.getDict().replaceKey(key, dict.getKey(key));
    return stream;
}

// A bilevel picture as CCITT Group 4, where that is smaller than the Flate
// the writer would give its bits: the decoded 0 is its ink (the darker
// colour), 1 its paper. A Group 4 TIFF page's own data where it may stand
// for the bitmap. False: Flate it is.
bool g4Image(QPDF& pdf, FIBITMAP* dib, const Buffer& bits, const PictureTraits& traits, QPDFObjectHandle* image)
{
    const int w = int(FreeImage_GetWidth(dib)), h = int(FreeImage_GetHeight(dib)), rowBytes = (w + 7) / 8;
    const RGBQUAD* pal = FreeImage_GetPalette(dib);
    const auto luma = [](const RGBQUAD& c) { return 299 * c.rgbRed + 587 * c.rgbGreen + 114 * c.rgbBlue; };
    const int ink = luma(pal[0]) <= luma(pal[1]) ? 0 : 1;
    // The coder takes 1 for black: the ink's bits.
    std::string inkBits(reinterpret_cast<const char*>(bits.getBuffer()), bits.getSize());
    if (ink == 0)
        for (char& c : inkBits)
            c = char(~c);
    std::string g4;
    bool inverted = false, blackIs1 = false;
    if (FaxPassThrough::Strip(traits.faxSource, bits.getBuffer(), w, h, rowBytes, &g4, &inverted))
        // The decoded 0 is the ink: BlackIs1 where the strip codes the paper black.
        blackIs1 = inverted != (ink == 0);
    else if (!FaxEncoder::EncodeG4(reinterpret_cast<const unsigned char*>(inkBits.data()), w, h, rowBytes, &g4))
        return false;
    uLongf flateSize = compressBound(uLong(bits.getSize()));
    std::string flate(flateSize, '\0');
    if (compress(reinterpret_cast<Bytef*>(flate.data()), &flateSize, bits.getBuffer(), uLong(bits.getSize())) == Z_OK &&
        flateSize <= g4.size())
        return false;
    QPDFObjectHandle dict = imageDict(w, h);
    dict.replaceKey("/BitsPerComponent", QPDFObjectHandle::newInteger(1));
    const auto is = [](const RGBQUAD& c, BYTE v) { return c.rgbRed == v && c.rgbGreen == v && c.rgbBlue == v; };
    if (is(pal[ink], 0) && is(pal[1 - ink], 255)) {
        dict.replaceKey("/ColorSpace", QPDFObjectHandle::newName("/DeviceGray"));
    } else {
        std::string lookup;
        for (const RGBQUAD& c : {pal[ink], pal[1 - ink]})
            lookup += {char(c.rgbRed), char(c.rgbGreen), char(c.rgbBlue)};
        dict.replaceKey("/ColorSpace", QPDFObjectHandle::newArray(
                                           {QPDFObjectHandle::newName("/Indexed"),
                                            QPDFObjectHandle::newName("/DeviceRGB"),
                                            QPDFObjectHandle::newInteger(1), QPDFObjectHandle::newString(lookup)}));
    }
    dict.replaceKey("/Filter", QPDFObjectHandle::newName("/CCITTFaxDecode"));
    QPDFObjectHandle parms = QPDFObjectHandle::newDictionary();
    parms.replaceKey("/K", QPDFObjectHandle::newInteger(-1));
    parms.replaceKey("/Columns", QPDFObjectHandle::newInteger(w));
    parms.replaceKey("/Rows", QPDFObjectHandle::newInteger(h));
    if (blackIs1)
        parms.replaceKey("/BlackIs1", QPDFObjectHandle::newBool(true));
    dict.replaceKey("/DecodeParms", parms);
    auto data = std::make_shared<Buffer>(g4.size());
    std::memcpy(data->getBuffer(), g4.data(), g4.size());
    *image = streamWith(pdf, data, dict);
    return true;
}

QPDFObjectHandle losslessStream(QPDF& pdf, const LosslessEncoder& coded, const PdfDrawing::Raster& r,
                                const PictureTraits& traits)
{
    QPDFObjectHandle dict = imageDict(r.width, r.height);
    const int bits = coded.BitsPerComponent();
    dict.replaceKey("/BitsPerComponent", QPDFObjectHandle::newInteger(bits));
    QPDFObjectHandle space = PdfColourSpace::For(pdf, traits.iccProfile, r.grey ? 1 : 3);
    if (coded.Indexed()) {
        const int entries = int(coded.Palette().size()) / (r.grey ? 1 : 3);
        space = QPDFObjectHandle::newArray({QPDFObjectHandle::newName("/Indexed"), space,
                                            QPDFObjectHandle::newInteger(entries - 1),
                                            QPDFObjectHandle::newString(coded.Palette())});
    }
    dict.replaceKey("/ColorSpace", space);
    dict.replaceKey("/Filter", QPDFObjectHandle::newName("/FlateDecode"));
    QPDFObjectHandle parms = QPDFObjectHandle::newDictionary();
    parms.replaceKey("/Predictor", QPDFObjectHandle::newInteger(15));
    parms.replaceKey("/Colors", QPDFObjectHandle::newInteger(coded.Colors()));
    parms.replaceKey("/BitsPerComponent", QPDFObjectHandle::newInteger(bits));
    parms.replaceKey("/Columns", QPDFObjectHandle::newInteger(r.width));
    dict.replaceKey("/DecodeParms", parms);
    auto data = std::make_shared<Buffer>(coded.Data().size());
    std::memcpy(data->getBuffer(), coded.Data().data(), coded.Data().size());
    return streamWith(pdf, data, dict);
}

// More than 256 colours? A colour picture of few colours is coded lossless
// (indexed) at its own pixels.
bool fewColours(FIBITMAP* dib)
{
    if (FreeImage_GetBPP(dib) != 24)
        return false;
    LosslessEncoder count(FreeImage_GetBits(dib), int(FreeImage_GetWidth(dib)), int(FreeImage_GetPitch(dib)),
                          int(FreeImage_GetHeight(dib)), false, true);
    return count.CountColours(256) <= 256;
}

// The picture at w x h pixels through FreeImage's Lanczos filter. Grey stays
// grey; a bilevel picture stays bilevel (cut at the middle grey), in its own
// two colours.
FiBitmap resampled(FIBITMAP* dib, int w, int h)
{
    const bool bilevel = FreeImage_GetBPP(dib) == 1;
    FiBitmap out(FreeImage_Rescale(dib, w, h, FILTER_LANCZOS3));
    if (!out || !bilevel)
        return out;
    FiBitmap two(FreeImage_Threshold(out.get(), 128));
    if (!two)
        return two;
    const RGBQUAD* src = FreeImage_GetPalette(dib);
    RGBQUAD* pal = FreeImage_GetPalette(two.get());
    auto luma = [](const RGBQUAD& c) { return 299 * c.rgbRed + 587 * c.rgbGreen + 114 * c.rgbBlue; };
    const bool darkFirst = luma(src[0]) <= luma(src[1]);
    pal[0] = darkFirst ? src[0] : src[1];
    pal[1] = darkFirst ? src[1] : src[0];
    return two;
}

} // namespace

PdfDrawing::PdfDrawing() = default;

PdfDrawing::~PdfDrawing() = default;

QPDFObjectHandle PdfDrawing::jpegStream(std::unique_ptr<JpegEncoder> jpeg, const Raster& r, const PictureTraits& traits)
{
    auto data = std::make_shared<Buffer>(const_cast<unsigned char*>(jpeg->Data()), jpeg->Size());
    m_jpegs.push_back(std::move(jpeg));
    QPDFObjectHandle dict = imageDict(r.width, r.height);
    dict.replaceKey("/BitsPerComponent", QPDFObjectHandle::newInteger(8));
    dict.replaceKey("/ColorSpace", PdfColourSpace::For(*m_pdf, traits.iccProfile, r.grey ? 1 : 3));
    dict.replaceKey("/Filter", QPDFObjectHandle::newName("/DCTDecode"));
    return streamWith(*m_pdf, data, dict);
}

// Grey or colour rows as an image XObject, coded as property 31 says.
bool PdfDrawing::rasterImage(const Raster& r, const PictureTraits& traits, QPDFObjectHandle* image, QString* error,
                             bool keepLossless)
{
    if (!PictureLimits::WithinLimit(r.width, r.height, error))
        return false;
    LosslessEncoder lossless(r.rows, r.width, r.pitch, r.height, r.grey, r.bottomUp);
    if (settings.compression != 1) {
        const int colours = lossless.CountColours(256);
        // Few colours mean a flat picture only where the coding kept them
        // exact: a grey photo has 256 levels at most, and a lossy one is a photo.
        const bool flat = !traits.lossySource && (keepLossless || (!r.grey && colours <= 256));
        if (settings.compression == 0 || flat) {
            if (!lossless.Encode(SIZE_MAX)) {
                *error = "the picture could not be compressed";
                return false;
            }
            *image = losslessStream(*m_pdf, lossless, r, traits);
            return true;
        }
    }
    auto jpeg = std::make_unique<JpegEncoder>();
    const JpegEncoder::Sampling source{traits.samplingH, traits.samplingV};
    if (!jpeg->Encode(r.rows, r.width, r.pitch, r.height, r.grey ? JpegEncoder::Pixels::Gray : JpegEncoder::Pixels::Bgr,
                      settings.quality, r.bottomUp, source)) {
        *error = "JPEG encoding failed: " + jpeg->Error();
        return false;
    }
    // Flat pictures (screenshots, drawings) are smaller and exact lossless.
    // A quick sample first, so a photo costs a few milliseconds, not a full
    // lossless coding. The guess runs large (1.4 x for a screenshot, whose
    // repeats lie far apart), photos come out above 10 x their JPEG at
    // quality 85: hence the margin of 2.
    if (settings.compression == 2 && !(r.grey && traits.lossySource) && lossless.Estimate(jpeg->Size() * 2) <= jpeg->Size() * 2 &&
        lossless.Encode(jpeg->Size() - 1)) {
        *image = losslessStream(*m_pdf, lossless, r, traits);
        return true;
    }
    *image = jpegStream(std::move(jpeg), r, traits);
    return true;
}

// Makes the image XObject for one decoded picture (1, 8-bit grey or 24-bit).
bool PdfDrawing::makeImage(FIBITMAP* dib, const PictureTraits& traits, QPDFObjectHandle* image, QString* error,
                           bool keepLossless)
{
    const int w = int(FreeImage_GetWidth(dib)), h = int(FreeImage_GetHeight(dib));
    const unsigned bpp = FreeImage_GetBPP(dib);
    if (bpp == 1 && settings.compression != 1) {
        QPDFObjectHandle dict = imageDict(w, h);
        std::shared_ptr<Buffer> bits = packedBits(dib);
        if (!g4Image(*m_pdf, dib, *bits, traits, image)) {
            describeBilevel(dict, dib);
            *image = streamWith(*m_pdf, bits, dict);
        }
        return true;
    }
    FiBitmap grey;
    if (bpp == 1) { // JPEG asked for every picture: a bilevel one goes as grey
        grey.reset(FreeImage_ConvertToGreyscale(dib));
        if (!grey) {
            *error = "the bilevel picture could not be turned to grey";
            return false;
        }
        dib = grey.get();
    }
    const Raster r{FreeImage_GetBits(dib), w, int(FreeImage_GetPitch(dib)), h, FreeImage_GetBPP(dib) == 8, true};
    return rasterImage(r, traits, image, error, keepLossless);
}

QString PdfDrawing::Begin()
{
    try {
        m_pdf = std::make_unique<QPDF>();
        m_pdf->emptyPDF();
        const bool inPoints = settings.widthPt > 0 && settings.heightPt > 0;
        const QPDFObjectHandle::Rectangle media(0, 0, inPoints ? settings.widthPt : points(settings.width),
                                                inPoints ? settings.heightPt : points(settings.height));
        QPDFObjectHandle mediaBox = QPDFObjectHandle::newArray(
            {QPDFObjectHandle::newInteger(0), QPDFObjectHandle::newInteger(0),
             QPDFObjectHandle::newReal(media.urx, 4, true), QPDFObjectHandle::newReal(media.ury, 4, true)});
        QPDFObjectHandle page = QPDFObjectHandle::newDictionary();
        page.replaceKey("/Type", QPDFObjectHandle::newName("/Page"));
        page.replaceKey("/MediaBox", mediaBox);
        page.replaceKey("/Resources", QPDFObjectHandle::newDictionary());
        m_page = m_pdf->makeIndirectObject(page);
        m_content.clear();
        m_images = 0;
        m_begun = true;
    } catch (const std::exception& e) {
        m_pdf.reset();
        return QString("BeginDoc: %1").arg(e.what());
    }
    return {};
}

QString PdfDrawing::loadImage(const QString& bitmapPath, int codedW, int codedH, QPDFObjectHandle* image, double* pw,
                              double* ph, int* orientation)
{
    QString error;
    BmpFileView plain;
    const auto resize = [&](int w, int h) { return codedW > 0 && codedH > 0 && (codedW != w || codedH != h); };
    *orientation = 1;
    // A JPEG's own data where it may stand for the bitmap (never for a
    // resampled page); the bitmap is coded otherwise.
    auto kept = [&](const PictureTraits& traits, int w, int h) {
        *image = JpegPassThrough::Image(*m_pdf, traits, w, h, {settings.compression, settings.quality, resize(w, h)});
        if (!image->isInitialized())
            return false;
        *orientation = traits.jpegSource.orientation;
        *pw = w;
        *ph = h;
        return true;
    };
    // A JPEG kept as it is, checked without its pixels: it has no bitmap.
    int aloneW = 0, aloneH = 0;
    const PictureTraits alone = PictureTraits::ReadAlone(bitmapPath, &aloneW, &aloneH);
    if (!alone.jpegSource.path.isEmpty()) {
        if (kept(alone, aloneW, aloneH))
            return {};
        return QString("Cannot draw %1: the picture %2 changed after it was read")
            .arg(QuotedPath(bitmapPath), QuotedPath(alone.jpegSource.path));
    }
    if (plain.Open(bitmapPath) && !resize(plain.Width(), plain.Height())) {
        // A plain BMP goes to the encoder straight from the file.
        const Raster r{plain.Rows(), plain.Width(), plain.Pitch(), plain.Height(), plain.Grey(), plain.BottomUp()};
        const PictureTraits traits = PictureTraits::Read(bitmapPath, r.width, r.height);
        if (kept(traits, r.width, r.height))
            return {};
        if (!rasterImage(r, traits, image, &error))
            return QString("Cannot draw %1: %2").arg(QuotedPath(bitmapPath), error);
        *pw = plain.Width();
        *ph = plain.Height();
        return {};
    }
    FiBitmap dib = PictureReader::Read(bitmapPath, FIF_UNKNOWN, &error);
    PictureTraits traits;
    if (dib) {
        traits = PictureTraits::Read(bitmapPath, int(FreeImage_GetWidth(dib.get())), int(FreeImage_GetHeight(dib.get())));
        if (traits.IsEmpty())
            traits = PictureTraits::Of(dib.get(), bitmapPath);
        if (kept(traits, int(FreeImage_GetWidth(dib.get())), int(FreeImage_GetHeight(dib.get()))))
            return {};
    }
    if (dib)
        dib = PictureReader::Normalise(std::move(dib), &error);
    bool keepLossless = false;
    if (dib && resize(int(FreeImage_GetWidth(dib.get())), int(FreeImage_GetHeight(dib.get())))) {
        keepLossless = fewColours(dib.get());
        dib = resampled(dib.get(), codedW, codedH);
        if (!dib)
            error = QString("the picture could not be resampled to %1 x %2 pixels").arg(codedW).arg(codedH);
    }
    if (!dib || !makeImage(dib.get(), traits, image, &error, keepLossless))
        return QString("Cannot draw %1: %2").arg(QuotedPath(bitmapPath), error);
    *pw = FreeImage_GetWidth(dib.get());
    *ph = FreeImage_GetHeight(dib.get());
    return {};
}

void PdfDrawing::placeImage(QPDFObjectHandle image, const std::array<double, 6>& matrix, int orientation)
{
    const std::string name = "/Im" + std::to_string(++m_images);
    QPDFObjectHandle resources = m_page.getKey("/Resources");
    if (!resources.hasKey("/XObject"))
        resources.replaceKey("/XObject", QPDFObjectHandle::newDictionary());
    resources.getKey("/XObject").replaceKey(name, image);
    m_content += "q " + PagePlacement::Cm(ImageMatrix::Turned(matrix, orientation)) + " " + name + " Do Q\n";
}

QString PdfDrawing::Draw(int left, int top, int width, int height, const QString& bitmapPath)
{
    try {
        QPDFObjectHandle image;
        double pw = 0, ph = 0;
        int orientation = 1;
        const QString error = loadImage(bitmapPath, 0, 0, &image, &pw, &ph, &orientation);
        if (!error.isEmpty())
            return error;
        double x = left, y = top, w = width, h = height;
        if (settings.placement == 1) {
            const double scale = std::min(w / pw, h / ph);
            x += (w - pw * scale) / 2;
            y += (h - ph * scale) / 2;
            w = pw * scale;
            h = ph * scale;
        }
        // Our lengths run down from the top; PDF's run up from the bottom.
        const double bottom = settings.widthPt > 0 && settings.heightPt > 0 ? settings.heightPt - points(y + h)
                                                                            : points(settings.height - y - h);
        placeImage(image, {points(w), 0, 0, points(h), points(x), bottom}, orientation);
    } catch (const std::exception& e) {
        return QString("Cannot draw %1: %2").arg(QuotedPath(bitmapPath), e.what());
    }
    return {};
}

QString PdfDrawing::DrawPlaced(const PagePlacement& placement, const QString& bitmapPath)
{
    try {
        QPDFObjectHandle image;
        double pw = 0, ph = 0;
        int orientation = 1;
        const QString error =
            loadImage(bitmapPath, placement.codedWidth, placement.codedHeight, &image, &pw, &ph, &orientation);
        if (!error.isEmpty())
            return error;
        placeImage(image, placement.PictureMatrix(), orientation);
    } catch (const std::exception& e) {
        return QString("Cannot draw %1: %2").arg(QuotedPath(bitmapPath), e.what());
    }
    return {};
}

QString PdfDrawing::End()
{
    m_begun = false;
    // Written beside the target and renamed over it, so a failure never
    // leaves half a file under the page's name.
    const QString partial = settings.file + ".part";
    const QByteArray partial8 = QFile::encodeName(partial);
    try {
        m_page.replaceKey("/Contents", QPDFObjectHandle::newStream(m_pdf.get(), m_content));
        QPDFPageDocumentHelper(*m_pdf).addPage(QPDFPageObjectHelper(m_page), false);
        if (!settings.creator.isEmpty()) {
            QPDFObjectHandle info = QPDFObjectHandle::newDictionary();
            info.replaceKey("/Creator", QPDFObjectHandle::newUnicodeString(settings.creator.toStdString()));
            m_pdf->getTrailer().replaceKey("/Info", m_pdf->makeIndirectObject(info));
        }
        QPDFWriter writer(*m_pdf);
        writer.setOutputFilename(partial8.constData());
        writer.setCompressStreams(settings.docCompression != 0);
        writer.setObjectStreamMode(settings.docCompression == 2 ? qpdf_o_generate : qpdf_o_disable);
        writer.write();
    } catch (const std::exception& e) {
        QFile::remove(partial);
        m_pdf.reset();
        m_jpegs.clear();
        return QString("Cannot write %1: %2").arg(QuotedPath(settings.file), e.what());
    }
    m_pdf.reset();
    m_jpegs.clear();
    QFile::remove(settings.file);
    if (!QFile::rename(partial, settings.file)) {
        QFile::remove(partial);
        return QString("Cannot write %1: the finished file could not be put in place").arg(QuotedPath(settings.file));
    }
    return {};
}
