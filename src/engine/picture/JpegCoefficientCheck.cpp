#include "engine/picture/JpegCoefficientCheck.h"

#include "engine/picture/ColourProfile.h"
#include "engine/picture/JpegErrorManager.h"
#include "engine/picture/JpegFacts.h"
#include "engine/picture/PictureLimits.h"

#include <QFile>
#include <QFileInfo>

#include <zlib.h>

namespace {

// Counts the warnings (libjpeg's own emitter would print them) and keeps
// the first one's words.
void countWarning(j_common_ptr cinfo, int level)
{
    if (level >= 0)
        return;
    auto* err = reinterpret_cast<JpegErrorManager*>(cinfo->err);
    if (err->pub.num_warnings++ == 0)
        (*cinfo->err->format_message)(cinfo, err->message);
}

} // namespace

bool JpegCoefficientCheck::ReadsWhole(const QByteArray& jpeg, QString* why)
{
    jpeg_decompress_struct cinfo {};
    JpegErrorManager err {};
    cinfo.err = err.Install();
    err.pub.emit_message = countWarning;
    if (setjmp(err.jump)) {
        jpeg_destroy_decompress(&cinfo);
        if (why)
            *why = QString::fromLocal8Bit(err.message);
        return false;
    }
    jpeg_create_decompress(&cinfo);
    jpeg_mem_src(&cinfo, reinterpret_cast<const unsigned char*>(jpeg.constData()), static_cast<unsigned long>(jpeg.size()));
    jpeg_read_header(&cinfo, TRUE);
    jpeg_read_coefficients(&cinfo);
    // Up to the end of the image: what follows the last scan is read too.
    jpeg_finish_decompress(&cinfo);
    const bool clean = err.pub.num_warnings == 0;
    jpeg_destroy_decompress(&cinfo);
    if (!clean && why)
        *why = QString::fromLocal8Bit(err.message);
    return clean;
}

PictureTraits JpegCoefficientCheck::Check(const QString& path, int* width, int* height, const Wanted& wanted)
{
    const QString absolute = QFileInfo(path).absoluteFilePath();
    QFile f(absolute);
    if (!QFileInfo(absolute).isFile() || !f.open(QIODevice::ReadOnly))
        return {};
    const QByteArray bytes = f.readAll();
    if (bytes.size() != f.size())
        return {};
    const JpegFacts facts = JpegFacts::Of(bytes);
    // The size is checked before libjpeg is given a byte: the coefficients
    // of every block are held at once.
    QString tooLarge; // said by the full decode
    if (!facts.Passable() || facts.width < 1 || facts.height < 1
        || !PictureLimits::WithinLimit(facts.width, facts.height, &tooLarge))
        return {};
    const bool sideways = facts.orientation >= 5;
    *width = sideways ? facts.height : facts.width;
    *height = sideways ? facts.width : facts.height;
    PictureTraits traits;
    PictureTraits::JpegSource& source = traits.jpegSource;
    source.path = absolute;
    source.size = bytes.size();
    source.crc = quint32(crc32_z(0, reinterpret_cast<const Bytef*>(bytes.constData()), size_t(bytes.size())));
    source.quality = facts.quality;
    source.orientation = facts.orientation;
    traits.unprofiledCmyk = facts.components == 4 && ColourProfile::Channels(facts.iccProfile) != 4;
    if ((wanted && !wanted(traits, *width, *height)) || !ReadsWhole(bytes))
        return {};
    return traits;
}
