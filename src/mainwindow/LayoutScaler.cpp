#include "mainwindow/LayoutScaler.h"

#include <cmath>

namespace {
int nearest(double v)
{
    return int(std::floor(v + 0.5));
}
} // namespace

LayoutScaler::LayoutScaler(double twipsPerPixelX, double twipsPerPixelY)
    : m_tppX(twipsPerPixelX > 0 ? twipsPerPixelX : DesignTwipsPerPixel)
    , m_tppY(twipsPerPixelY > 0 ? twipsPerPixelY : DesignTwipsPerPixel)
    , m_fx(m_tppX / DesignTwipsPerPixel)
    , m_fy(m_tppY / DesignTwipsPerPixel)
{
}

double LayoutScaler::TwipsPerPixel(double logicalDpi)
{
    return logicalDpi > 0 ? 1440.0 / logicalDpi : DesignTwipsPerPixel;
}

QRectF LayoutScaler::ScaleTwips(const QRectF& t) const
{
    return QRectF(t.x() * m_fx, t.y() * m_fy, t.width() * m_fx, t.height() * m_fy);
}

double LayoutScaler::ScaleFont(double designPoints) const
{
    return designPoints * m_fx;
}

QRect LayoutScaler::ToPixels(const QRectF& t) const
{
    return QRect(nearest(t.x() / m_tppX), nearest(t.y() / m_tppY), nearest(t.width() / m_tppX),
                 nearest(t.height() / m_tppY));
}

QSize LayoutScaler::ToPixels(const QSizeF& t) const
{
    return QSize(nearest(t.width() / m_tppX), nearest(t.height() / m_tppY));
}

QRectF LayoutScaler::DesignTwips(const QRect& p)
{
    return QRectF(p.x() * DesignTwipsPerPixel, p.y() * DesignTwipsPerPixel, p.width() * DesignTwipsPerPixel,
                  p.height() * DesignTwipsPerPixel);
}

QRect LayoutScaler::Rescale(const QRect& designPixels) const
{
    return ToPixels(ScaleTwips(DesignTwips(designPixels)));
}
