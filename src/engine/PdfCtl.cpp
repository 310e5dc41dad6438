#include "engine/PdfCtl.h"

// Use qpdf without its old PointerHolder compatibility layer.
#define POINTERHOLDER_TRANSITION 4

#include "engine/BmpFileView.h"
#include "engine/ColourProfile.h"
#include "engine/FreeImageDiagnostics.h"
#include "engine/JpegEncoder.h"
#include "engine/LosslessEncoder.h"
#include "engine/PictureReader.h"
#include "engine/PictureTraits.h"
#include "platform/MessageSink.h"

#include <qpdf/Buffer.hh>
#include <qpdf/QPDF.hh>
#include <qpdf/QPDFObjectHandle.hh>
#include <qpdf/QPDFPageDocumentHelper.hh>
#include <qpdf/QPDFWriter.hh>
#include <qpdf/QUtil.hh>

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

// Property numbers. Beside those the header names:
// 31 picture compression: 0 lossless (Flate) for every picture, 1 JPEG for
//    every picture, 2 by kind: lossless for bilevel pictures, for pictures
//    of at most 256 colours and for those whose lossless image is smaller
//    than their JPEG; JPEG for the rest (photos). Default 2.
// 44 path check: while 1, setting property 10 checks at once that the
//    file's folder exists and is writable, so a bad path fails early. Default 0.
// 51 document compression: 0 none, 1 Flate for uncompressed streams,
//    2 Flate and object streams (PDF 1.5, smallest). Default 2.
// 52 placement: 1 fit the picture into the rectangle keeping its
//    proportions, centred; 2 stretch it over the whole rectangle. Default 2.
namespace {

enum Property {
    PropFile = 10,
    PropCreator = 14,
    PropCompression = 31,
    PropHeight = 34,
    PropWidth = 36,
    PropPathCheck = 44,
    PropQuality = 45,
    PropDocCompression = 51,
    PropPlacement = 52,
};

struct Box {
    QString file;
    QString creator;
    int width = 0;  // tenths of a millimetre
    int height = 0;
    int compression = 2;
    int pathCheck = 0;
    int quality = 75;
    int docCompression = 2;
    int placement = 2;

    bool begun = false;
    std::unique_ptr<QPDF> pdf;
    QPDFObjectHandle page;
    std::string content;
    int images = 0;
    // JPEG bytes the document's streams point at until it is written.
    std::vector<std::unique_ptr<JpegEncoder>> jpegs;
};

std::mutex g_mutex;
std::map<int, std::unique_ptr<Box>> g_boxes;
int g_nextBox = 1;
thread_local std::string t_lastError = "no error";
std::function<void(const QString&)> g_trace;

int fail(const QString& message)
{
    t_lastError = message.toStdString();
    return -1;
}

void trace(const QString& call)
{
    if (g_trace)
        g_trace(call);
}

Box* findBox(int box)
{
    auto it = g_boxes.find(box);
    return it == g_boxes.end() ? nullptr : it->second.get();
}

double points(double tenthsOfMm) { return tenthsOfMm * 72.0 / 254.0; }

std::string number(double v) { return QUtil::double_to_string(v, 4, true); }

QString quoted(const QString& path) { return "\"" + QDir::toNativeSeparators(path) + "\""; }

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

// The picture's own colour space: its ICC profile when it has one for
// pixels of this kind, else the device space.
QPDFObjectHandle colourSpace(QPDF& pdf, bool grey, const PictureTraits& traits)
{
    const char* device = grey ? "/DeviceGray" : "/DeviceRGB";
    const int n = grey ? 1 : 3;
    if (traits.iccProfile.isEmpty() || ColourProfile::Channels(traits.iccProfile) != n)
        return QPDFObjectHandle::newName(device);
    QPDFObjectHandle icc = QPDFObjectHandle::newStream(&pdf, traits.iccProfile.toStdString());
    icc.getDict().replaceKey("/N", QPDFObjectHandle::newInteger(n));
    icc.getDict().replaceKey("/Alternate", QPDFObjectHandle::newName(device));
    return QPDFObjectHandle::newArray({QPDFObjectHandle::newName("/ICCBased"), icc});
}

// Pixels of the picture: grey bytes or B, G, R triplets.
struct Raster {
    const unsigned char* rows;
    int width, pitch, height;
    bool grey, bottomUp;
};

QPDFObjectHandle jpegStream(Box& b, std::unique_ptr<JpegEncoder> jpeg, const Raster& r, const PictureTraits& traits)
{
    auto data = std::make_shared<Buffer>(const_cast<unsigned char*>(jpeg->Data()), jpeg->Size());
    b.jpegs.push_back(std::move(jpeg));
    QPDFObjectHandle dict = imageDict(r.width, r.height);
    dict.replaceKey("/BitsPerComponent", QPDFObjectHandle::newInteger(8));
    dict.replaceKey("/ColorSpace", colourSpace(*b.pdf, r.grey, traits));
    dict.replaceKey("/Filter", QPDFObjectHandle::newName("/DCTDecode"));
    return streamWith(*b.pdf, data, dict);
}

QPDFObjectHandle losslessStream(Box& b, const LosslessEncoder& coded, const Raster& r, const PictureTraits& traits)
{
    QPDFObjectHandle dict = imageDict(r.width, r.height);
    const int bits = coded.BitsPerComponent();
    dict.replaceKey("/BitsPerComponent", QPDFObjectHandle::newInteger(bits));
    QPDFObjectHandle space = colourSpace(*b.pdf, r.grey, traits);
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
    return streamWith(*b.pdf, data, dict);
}

// Grey or colour rows as an image XObject, coded as property 31 says.
bool rasterImage(Box& b, const Raster& r, const PictureTraits& traits, QPDFObjectHandle* image, QString* error)
{
    if (!PictureReader::WithinLimit(r.width, r.height, error))
        return false;
    LosslessEncoder lossless(r.rows, r.width, r.pitch, r.height, r.grey, r.bottomUp);
    if (b.compression != 1) {
        const int colours = lossless.CountColours(256);
        if (b.compression == 0 || (!r.grey && colours <= 256)) {
            if (!lossless.Encode(SIZE_MAX)) {
                *error = "the picture could not be compressed";
                return false;
            }
            *image = losslessStream(b, lossless, r, traits);
            return true;
        }
    }
    auto jpeg = std::make_unique<JpegEncoder>();
    const JpegEncoder::Sampling source{traits.samplingH, traits.samplingV};
    if (!jpeg->Encode(r.rows, r.width, r.pitch, r.height, r.grey ? JpegEncoder::Pixels::Gray : JpegEncoder::Pixels::Bgr,
                      b.quality, r.bottomUp, source)) {
        *error = "JPEG encoding failed: " + jpeg->Error();
        return false;
    }
    // Flat pictures (screenshots, drawings) are smaller and exact lossless.
    // A quick sample first, so a photo costs a few milliseconds, not a full
    // lossless coding. The guess runs large (1.4 x for a screenshot, whose
    // repeats lie far apart), photos come out above 10 x their JPEG at
    // quality 85: hence the margin of 2.
    if (b.compression == 2 && lossless.Estimate(jpeg->Size() * 2) <= jpeg->Size() * 2 &&
        lossless.Encode(jpeg->Size() - 1)) {
        *image = losslessStream(b, lossless, r, traits);
        return true;
    }
    *image = jpegStream(b, std::move(jpeg), r, traits);
    return true;
}

// Makes the image XObject for one decoded picture (1, 8-bit grey or 24-bit).
bool makeImage(Box& b, FIBITMAP* dib, const PictureTraits& traits, QPDFObjectHandle* image, QString* error)
{
    const int w = int(FreeImage_GetWidth(dib)), h = int(FreeImage_GetHeight(dib));
    const unsigned bpp = FreeImage_GetBPP(dib);
    if (bpp == 1 && b.compression != 1) {
        QPDFObjectHandle dict = imageDict(w, h);
        describeBilevel(dict, dib);
        *image = streamWith(*b.pdf, packedBits(dib), dict);
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
    return rasterImage(b, r, traits, image, error);
}

} // namespace

void SetPdfCtlTrace(std::function<void(const QString&)> observer)
{
    std::lock_guard lock(g_mutex);
    g_trace = std::move(observer);
}

int CreateBox(quintptr ownerWindow, int reserved)
{
    Q_UNUSED(ownerWindow);
    std::lock_guard lock(g_mutex);
    trace(QString("CreateBox(%1)").arg(reserved));
    const int id = g_nextBox++;
    g_boxes[id] = std::make_unique<Box>();
    return id;
}

int SetNumProp(int box, int property, int value)
{
    std::lock_guard lock(g_mutex);
    trace(QString("SetNumProp(%1, %2)").arg(property).arg(value));
    Box* b = findBox(box);
    if (!b)
        return fail(QString("SetNumProp: there is no box %1").arg(box));
    auto oneOf = [&](int lo, int hi, int* slot) {
        if (value < lo || value > hi)
            return fail(QString("Property %1 takes a value from %2 to %3, not %4").arg(property).arg(lo).arg(hi).arg(value));
        *slot = value;
        return 0;
    };
    switch (property) {
    case PropWidth:
    case PropHeight:
        if (value <= 0)
            return fail(QString("The page %1 must be more than 0, not %2")
                            .arg(property == PropWidth ? "width" : "height").arg(value));
        (property == PropWidth ? b->width : b->height) = value;
        return 0;
    case PropQuality:
        b->quality = std::clamp(value, 1, 100);
        return 0;
    case PropCompression: return oneOf(0, 2, &b->compression);
    case PropPathCheck: return oneOf(0, 1, &b->pathCheck);
    case PropDocCompression: return oneOf(0, 2, &b->docCompression);
    case PropPlacement: return oneOf(1, 2, &b->placement);
    default:
        return fail(QString("There is no number property %1").arg(property));
    }
}

int SetStrProp(int box, int property, const QString& text)
{
    std::lock_guard lock(g_mutex);
    trace(QString("SetStrProp(%1, %2)").arg(property).arg(text));
    Box* b = findBox(box);
    if (!b)
        return fail(QString("SetStrProp: there is no box %1").arg(box));
    switch (property) {
    case PropFile: {
        if (text.isEmpty())
            return fail("The PDF file name is empty");
        if (b->pathCheck) {
            const QFileInfo folder(QFileInfo(text).absolutePath());
            if (!folder.isDir())
                return fail(QString("Cannot write %1: the folder does not exist").arg(quoted(text)));
            if (!folder.isWritable())
                return fail(QString("Cannot write %1: the folder is not writable").arg(quoted(text)));
        }
        b->file = text;
        return 0;
    }
    case PropCreator:
        b->creator = text;
        return 0;
    default:
        return fail(QString("There is no text property %1").arg(property));
    }
}

int BeginDoc(int box)
{
    std::lock_guard lock(g_mutex);
    trace("BeginDoc");
    Box* b = findBox(box);
    if (!b)
        return fail(QString("BeginDoc: there is no box %1").arg(box));
    if (b->begun)
        return fail("BeginDoc: the document has already begun");
    if (b->file.isEmpty())
        return fail("BeginDoc: no PDF file name was set (property 10)");
    if (b->width <= 0 || b->height <= 0)
        return fail("BeginDoc: the page size was not set (properties 36 and 34)");
    try {
        b->pdf = std::make_unique<QPDF>();
        b->pdf->emptyPDF();
        const QPDFObjectHandle::Rectangle media(0, 0, points(b->width), points(b->height));
        QPDFObjectHandle mediaBox = QPDFObjectHandle::newArray(
            {QPDFObjectHandle::newInteger(0), QPDFObjectHandle::newInteger(0),
             QPDFObjectHandle::newReal(media.urx, 4, true), QPDFObjectHandle::newReal(media.ury, 4, true)});
        QPDFObjectHandle page = QPDFObjectHandle::newDictionary();
        page.replaceKey("/Type", QPDFObjectHandle::newName("/Page"));
        page.replaceKey("/MediaBox", mediaBox);
        page.replaceKey("/Resources", QPDFObjectHandle::newDictionary());
        b->page = b->pdf->makeIndirectObject(page);
        b->content.clear();
        b->images = 0;
        b->begun = true;
    } catch (const std::exception& e) {
        b->pdf.reset();
        return fail(QString("BeginDoc: %1").arg(e.what()));
    }
    return 0;
}

int StretchDrawFromFile(int box, int left, int top, int width, int height, const QString& bitmapPath)
{
    std::lock_guard lock(g_mutex);
    trace(QString("StretchDrawFromFile(%1, %2, %3, %4, %5)").arg(left).arg(top).arg(width).arg(height).arg(bitmapPath));
    Box* b = findBox(box);
    if (!b)
        return fail(QString("StretchDrawFromFile: there is no box %1").arg(box));
    if (!b->begun)
        return fail("StretchDrawFromFile: BeginDoc was not called");
    if (width <= 0 || height <= 0)
        return fail(QString("StretchDrawFromFile: the rectangle %1 x %2 is empty").arg(width).arg(height));
    QString error;
    try {
        QPDFObjectHandle image;
        double pw = 0, ph = 0;
        BmpFileView plain;
        if (plain.Open(bitmapPath)) {
            // A plain BMP goes to the encoder straight from the file.
            const Raster r{plain.Rows(), plain.Width(), plain.Pitch(), plain.Height(), plain.Grey(), plain.BottomUp()};
            if (!rasterImage(*b, r, PictureTraits::Read(bitmapPath, r.width, r.height), &image, &error))
                return fail(QString("Cannot draw %1: %2").arg(quoted(bitmapPath), error));
            pw = plain.Width();
            ph = plain.Height();
        } else {
            FiBitmap dib = PictureReader::Read(bitmapPath, FIF_UNKNOWN, &error);
            PictureTraits traits;
            if (dib) {
                traits = PictureTraits::Read(bitmapPath, int(FreeImage_GetWidth(dib.get())),
                                             int(FreeImage_GetHeight(dib.get())));
                if (traits.IsEmpty())
                    traits = PictureTraits::Of(dib.get(), bitmapPath);
            }
            if (dib)
                dib = PictureReader::Normalise(std::move(dib), &error);
            if (!dib || !makeImage(*b, dib.get(), traits, &image, &error))
                return fail(QString("Cannot draw %1: %2").arg(quoted(bitmapPath), error));
            pw = FreeImage_GetWidth(dib.get());
            ph = FreeImage_GetHeight(dib.get());
        }
        double x = left, y = top, w = width, h = height;
        if (b->placement == 1) {
            const double scale = std::min(w / pw, h / ph);
            x += (w - pw * scale) / 2;
            y += (h - ph * scale) / 2;
            w = pw * scale;
            h = ph * scale;
        }
        const std::string name = "/Im" + std::to_string(++b->images);
        QPDFObjectHandle resources = b->page.getKey("/Resources");
        if (!resources.hasKey("/XObject"))
            resources.replaceKey("/XObject", QPDFObjectHandle::newDictionary());
        resources.getKey("/XObject").replaceKey(name, image);
        // Our lengths run down from the top; PDF's run up from the bottom.
        b->content += "q " + number(points(w)) + " 0 0 " + number(points(h)) + " " + number(points(x)) + " " +
                      number(points(b->height - y - h)) + " cm " + name + " Do Q\n";
    } catch (const std::exception& e) {
        return fail(QString("Cannot draw %1: %2").arg(quoted(bitmapPath), e.what()));
    }
    return 0;
}

int EndDoc(int box)
{
    std::lock_guard lock(g_mutex);
    trace("EndDoc");
    Box* b = findBox(box);
    if (!b)
        return fail(QString("EndDoc: there is no box %1").arg(box));
    if (!b->begun)
        return fail("EndDoc: BeginDoc was not called");
    b->begun = false;
    // Written beside the target and renamed over it, so a failure never
    // leaves half a file under the page's name.
    const QString partial = b->file + ".part";
    const QByteArray partial8 = QFile::encodeName(partial);
    try {
        b->page.replaceKey("/Contents", QPDFObjectHandle::newStream(b->pdf.get(), b->content));
        QPDFPageDocumentHelper(*b->pdf).addPage(QPDFPageObjectHelper(b->page), false);
        if (!b->creator.isEmpty()) {
            QPDFObjectHandle info = QPDFObjectHandle::newDictionary();
            info.replaceKey("/Creator", QPDFObjectHandle::newUnicodeString(b->creator.toStdString()));
            b->pdf->getTrailer().replaceKey("/Info", b->pdf->makeIndirectObject(info));
        }
        QPDFWriter writer(*b->pdf);
        writer.setOutputFilename(partial8.constData());
        writer.setCompressStreams(b->docCompression != 0);
        writer.setObjectStreamMode(b->docCompression == 2 ? qpdf_o_generate : qpdf_o_disable);
        writer.write();
    } catch (const std::exception& e) {
        QFile::remove(partial);
        b->pdf.reset();
        b->jpegs.clear();
        return fail(QString("Cannot write %1: %2").arg(quoted(b->file), e.what()));
    }
    b->pdf.reset();
    b->jpegs.clear();
    QFile::remove(b->file);
    if (!QFile::rename(partial, b->file)) {
        QFile::remove(partial);
        return fail(QString("Cannot write %1: the finished file could not be put in place").arg(quoted(b->file)));
    }
    return 0;
}

int FreeBox(int box)
{
    std::lock_guard lock(g_mutex);
    trace("FreeBox");
    if (g_boxes.erase(box) == 0)
        return fail(QString("FreeBox: there is no box %1").arg(box));
    return 0;
}

int GetErrorMsg(char* buffer, int size)
{
    if (!buffer || size <= 0)
        return 0;
    const std::string& text = t_lastError;
    size_t n = std::min(text.size(), size_t(size - 1));
    // Never cut a UTF-8 sequence in half.
    while (n > 0 && n < text.size() && (static_cast<unsigned char>(text[n]) & 0xC0) == 0x80)
        --n;
    std::memcpy(buffer, text.data(), n);
    buffer[n] = '\0';
    return int(n);
}

bool CheckPdfError(int result, MessageSink& sink)
{
    if (result != -1)
        return true;
    char buffer[256];
    GetErrorMsg(buffer, 255);
    sink.showMessage("PDF", QString::fromUtf8(buffer), MessageIcon::Critical);
    return false;
}
