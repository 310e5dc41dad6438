#pragma once
#include <QRect>
#include <QRectF>
#include <QSize>

// The window is designed in twips at 15 twips per pixel. On a screen with
// another number of twips per pixel every position, size and font size is
// multiplied by (twips per pixel / 15), so the window keeps its designed size
// in pixels. Pure arithmetic: no widgets.
class LayoutScaler {
public:
    static constexpr double DesignTwipsPerPixel = 15.0;

    LayoutScaler(double twipsPerPixelX, double twipsPerPixelY);

    // Twips per pixel of a screen with the given logical dots per inch.
    static double TwipsPerPixel(double logicalDpi);

    double fx() const { return m_fx; }
    double fy() const { return m_fy; }

    // A designed rectangle in twips, rescaled (still in twips).
    QRectF ScaleTwips(const QRectF& designTwips) const;
    // A designed font size, rescaled horizontally as every control's is.
    double ScaleFont(double designPoints) const;

    // Twips on this screen to whole pixels (nearest, halves up).
    QRect ToPixels(const QRectF& twips) const;
    QSize ToPixels(const QSizeF& twips) const;

    // A pixel rectangle laid out at the design's 15 twips per pixel, as the
    // design's twips.
    static QRectF DesignTwips(const QRect& designPixels);

    // Design pixels -> twips -> rescaled -> pixels on this screen.
    QRect Rescale(const QRect& designPixels) const;

private:
    double m_tppX;
    double m_tppY;
    double m_fx;
    double m_fy;
};
