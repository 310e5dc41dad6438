#include "engine/pdf/JpegPassThrough.h"

#include "engine/pdf/PdfColourSpace.h"
#include "engine/picture/JpegFacts.h"

#include <qpdf/Buffer.hh>

#include <QFile>

#include <cstring>
#include <zlib.h>

namespace {

QPDFObjectHandle integers(std::initializer_list<int> values)
{
    std::vector<QPDFObjectHandle> items;
    for (int v : values)
        items.push_back(QPDFObjectHandle::newInteger(v));
    return QPDFObjectHandle::newArray(items);
}

} // namespace

bool JpegPassThrough::Wanted(const PictureTraits::JpegSource& source, const Ask& ask)
{
    return !source.path.isEmpty() && source.quality >= 1 && ask.compression != 0 && !ask.resampled &&
           ask.quality >= source.quality;
}

QPDFObjectHandle JpegPassThrough::Image(QPDF& pdf, const PictureTraits& traits, int bitmapWidth, int bitmapHeight,
                                        const Ask& ask)
{
    const PictureTraits::JpegSource& source = traits.jpegSource;
    if (!Wanted(source, ask))
        return {};
    // Read again; taken only as it was when decoded.
    QFile f(source.path);
    if (!f.open(QIODevice::ReadOnly) || f.size() != source.size)
        return {};
    const QByteArray bytes = f.readAll();
    if (bytes.size() != source.size ||
        quint32(crc32_z(0, reinterpret_cast<const Bytef*>(bytes.constData()), size_t(bytes.size()))) != source.crc)
        return {};
    QByteArray data;
    const JpegFacts facts = JpegFacts::Of(bytes, &data);
    const bool sideways = facts.orientation >= 5;
    if (!facts.Passable() || facts.orientation != source.orientation ||
        (sideways ? facts.height : facts.width) != bitmapWidth || (sideways ? facts.width : facts.height) != bitmapHeight)
        return {};

    auto buffer = std::make_shared<Buffer>(size_t(data.size()));
    std::memcpy(buffer->getBuffer(), data.constData(), size_t(data.size()));
    QPDFObjectHandle image = QPDFObjectHandle::newStream(&pdf, buffer);
    QPDFObjectHandle dict = image.getDict();
    dict.replaceKey("/Type", QPDFObjectHandle::newName("/XObject"));
    dict.replaceKey("/Subtype", QPDFObjectHandle::newName("/Image"));
    dict.replaceKey("/Width", QPDFObjectHandle::newInteger(facts.width));
    dict.replaceKey("/Height", QPDFObjectHandle::newInteger(facts.height));
    dict.replaceKey("/BitsPerComponent", QPDFObjectHandle::newInteger(8));
    dict.replaceKey("/ColorSpace", PdfColourSpace::For(pdf, facts.iccProfile, facts.components));
    dict.replaceKey("/Filter", QPDFObjectHandle::newName("/DCTDecode"));
    // The colour transform said outright where it is not the default (1 for
    // three components, 0 for four); Adobe's APP14, kept, says the same.
    using Colour = JpegFacts::Colour;
    if (facts.colour == Colour::Rgb || facts.colour == Colour::Ycck) {
        QPDFObjectHandle parms = QPDFObjectHandle::newDictionary();
        parms.replaceKey("/ColorTransform", QPDFObjectHandle::newInteger(facts.colour == Colour::Ycck ? 1 : 0));
        dict.replaceKey("/DecodeParms", parms);
    }
    // Adobe's programs store CMYK inverted (0 = full ink); readers take
    // such data the right way round through this Decode array.
    if (facts.colour == Colour::Cmyk || facts.colour == Colour::Ycck)
        dict.replaceKey("/Decode", integers({1, 0, 1, 0, 1, 0, 1, 0}));
    return image;
}
