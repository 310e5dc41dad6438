#include "engine/picture/JpegSourceCheck.h"

#include "engine/picture/JpegFacts.h"
#include "engine/picture/PictureBytes.h"

#include <QFile>
#include <QFileInfo>

#include <zlib.h>

namespace {

bool sameFile(const struct stat& a, const struct stat& b)
{
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino && a.st_size == b.st_size &&
           a.st_mtim.tv_sec == b.st_mtim.tv_sec && a.st_mtim.tv_nsec == b.st_mtim.tv_nsec &&
           a.st_ctim.tv_sec == b.st_ctim.tv_sec && a.st_ctim.tv_nsec == b.st_ctim.tv_nsec;
}

} // namespace

JpegSourceCheck::JpegSourceCheck(const QString& path) : m_path(QFileInfo(path).absoluteFilePath())
{
    QFile f(m_path);
    if (!QFileInfo(m_path).isFile() || !f.open(QIODevice::ReadOnly) || !PictureBytes::IsJpegStart(f.peek(3)))
        return;
    m_noted = ::fstat(f.handle(), &m_before) == 0;
}

PictureTraits::JpegSource JpegSourceCheck::After(bool decodedQuietly) const
{
    if (!m_noted || !decodedQuietly)
        return {};
    QFile f(m_path);
    if (!f.open(QIODevice::ReadOnly))
        return {};
    const QByteArray bytes = f.readAll();
    struct stat now {};
    if (::fstat(f.handle(), &now) != 0 || !sameFile(m_before, now) || bytes.size() != now.st_size)
        return {};
    const JpegFacts facts = JpegFacts::Of(bytes);
    if (!facts.Passable())
        return {};
    PictureTraits::JpegSource source;
    source.path = m_path;
    source.size = bytes.size();
    source.crc = quint32(crc32_z(0, reinterpret_cast<const Bytef*>(bytes.constData()), size_t(bytes.size())));
    source.quality = facts.quality;
    source.orientation = facts.orientation;
    return source;
}
