#include "engine/job/DecodeAhead.h"

#include "engine/picture/PictureTraits.h"

#include <QFile>

#include <cerrno>
#include <cstdio>
#include <fcntl.h>

namespace {

// Moves `from` to `to`, replacing it. The two swap places where they can:
// the old file is then the next one the helper writes over, and its pages
// stay in the page cache.
void moveOver(const QString& from, const QString& to)
{
    const QByteArray a = QFile::encodeName(from), b = QFile::encodeName(to);
    if (::renameat2(AT_FDCWD, a.constData(), AT_FDCWD, b.constData(), RENAME_EXCHANGE) != 0)
        ::rename(a.constData(), b.constData());
}

} // namespace

void DecodeAhead::Start(const QString& picture, int format, int page, int keepAt)
{
    m_picture = picture;
    m_format = format;
    m_page = page;
    m_sendError.clear();
    m_pending = true;
    if (!m_decoder.Send(picture, format, aheadBitmap(), &m_sendError, page, keepAt) && m_sendError.isEmpty())
        m_sendError = QStringLiteral("the picture decoder could not be started");
}

DecodeAhead::Result DecodeAhead::Take(const QString& picture, int format, int page)
{
    Result r;
    if (!m_pending)
        return r;
    m_pending = false;
    if (picture != m_picture || format != m_format || page != m_page) {
        if (m_sendError.isEmpty())
            m_decoder.Drop();
        clearAhead();
        return r;
    }
    r.matched = true;
    if (!m_sendError.isEmpty()) {
        r.error = m_sendError;
        return r;
    }
    r.ok = m_decoder.Receive(&r.width, &r.height, &r.error, &r.kept);
    if (r.ok)
        moveIn(r.kept);
    else
        clearAhead();
    return r;
}

void DecodeAhead::moveIn(bool kept)
{
    const QString temp = m_folders.tempBitmap(), ahead = aheadBitmap();
    const QString side = PictureTraits::SideFile(ahead);
    // A JPEG kept has no bitmap: only its traits stand for it.
    if (kept)
        QFile::remove(temp);
    else
        moveOver(ahead, temp);
    // The traits go with it; swapped, the earlier page's are emptied.
    if (QFile::exists(side)) {
        moveOver(side, PictureTraits::SideFile(temp));
        PictureTraits::Remove(ahead);
    } else {
        PictureTraits::Remove(temp);
    }
}

void DecodeAhead::clearAhead()
{
    QFile::remove(aheadBitmap());
    PictureTraits::Remove(aheadBitmap());
}
