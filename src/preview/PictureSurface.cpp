#include "preview/PictureSurface.h"

#include "preview/OleColor.h"

#include <QMouseEvent>
#include <QPainter>

namespace {

// The desktop's mouse-button bits: 1 left, 2 right, 4 middle.
int buttonBits(Qt::MouseButtons buttons)
{
    int bits = 0;
    if (buttons & Qt::LeftButton)
        bits |= 1;
    if (buttons & Qt::RightButton)
        bits |= 2;
    if (buttons & Qt::MiddleButton)
        bits |= 4;
    return bits;
}

// The desktop's shift bits: 1 shift, 2 control, 4 alt.
int shiftBits(Qt::KeyboardModifiers mods)
{
    int bits = 0;
    if (mods & Qt::ShiftModifier)
        bits |= 1;
    if (mods & Qt::ControlModifier)
        bits |= 2;
    if (mods & Qt::AltModifier)
        bits |= 4;
    return bits;
}

} // namespace

PictureSurface::PictureSurface(QWidget* parent) : QFrame(parent)
{
    setMouseTracking(true);
    setAttribute(Qt::WA_OpaquePaintEvent);
    setBorderStyle(1);
}

void PictureSurface::setBorderStyle(short style)
{
    mBorderStyle = style;
    if (style == 1) {
        setFrameStyle(QFrame::StyledPanel | QFrame::Sunken);
        setLineWidth(1);
    } else {
        setFrameStyle(QFrame::NoFrame);
    }
    // The painting keeps its size and place: no repaint of the picture here.
    if (!mPainting.isNull())
        ensurePaintingSize();
    update();
}

void PictureSurface::setBackColor(quint32 value)
{
    mBackColor = value;
}

QColor PictureSurface::ResolvedBackColor() const
{
    return ResolveOleColor(mBackColor, palette());
}

void PictureSurface::Cls()
{
    ensurePaintingSize();
    if (!mPainting.isNull())
        mPainting.fill(ResolvedBackColor());
    update();
}

void PictureSurface::PaintPicture(const QPixmap& picture, const QRect& target)
{
    ensurePaintingSize();
    if (mPainting.isNull() || picture.isNull() || target.isEmpty())
        return;
    QPainter p(&mPainting);
    p.setRenderHint(QPainter::SmoothPixmapTransform);
    p.drawPixmap(target, picture);
    p.end();
    update();
}

void PictureSurface::ensurePaintingSize()
{
    const QSize want = contentsRect().size().expandedTo(QSize(0, 0));
    const qreal dpr = devicePixelRatioF();
    if (!mPainting.isNull() && mPainting.deviceIndependentSize().toSize() == want
        && mPainting.devicePixelRatio() == dpr)
        return;
    if (want.isEmpty()) {
        // Keep the old painting for when the surface grows again.
        return;
    }
    QPixmap grown(want * dpr);
    grown.setDevicePixelRatio(dpr);
    grown.fill(ResolvedBackColor());
    if (!mPainting.isNull()) {
        // A resized surface keeps what was painted, at its place.
        QPainter p(&grown);
        p.drawPixmap(0, 0, mPainting);
    }
    mPainting = grown;
}

void PictureSurface::paintEvent(QPaintEvent* event)
{
    // Until something is painted the surface shows its background colour
    // as the palette has it now (a style set later still applies).
    if (!mPainting.isNull())
        ensurePaintingSize();
    {
        QPainter p(this);
        p.fillRect(rect(), ResolvedBackColor());
        if (!mPainting.isNull())
            p.drawPixmap(contentsRect().topLeft(), mPainting);
    }
    QFrame::paintEvent(event); // the border over it
}

void PictureSurface::resizeEvent(QResizeEvent* event)
{
    QFrame::resizeEvent(event);
    if (!mPainting.isNull())
        ensurePaintingSize();
}

QPointF PictureSurface::toTwips(const QPointF& widgetPos) const
{
    const QPointF client = widgetPos - contentsRect().topLeft();
    return {client.x() * 1440.0 / logicalDpiX(), client.y() * 1440.0 / logicalDpiY()};
}

void PictureSurface::mousePressEvent(QMouseEvent* event)
{
    mPressedInside = true;
    const QPointF t = toTwips(event->position());
    emit MouseDown(buttonBits(event->button()), shiftBits(event->modifiers()), float(t.x()),
                   float(t.y()));
}

void PictureSurface::mouseReleaseEvent(QMouseEvent* event)
{
    // A click is a left press and release both on the surface.
    const bool click = mPressedInside && event->button() == Qt::LeftButton
                       && rect().contains(event->position().toPoint());
    if (!(event->buttons() & Qt::LeftButton))
        mPressedInside = false;
    if (click)
        emit Click();
}

void PictureSurface::mouseDoubleClickEvent(QMouseEvent* event)
{
    // The release after a double click is no new click.
    mPressedInside = false;
    if (event->button() == Qt::LeftButton)
        emit DblClick();
}

void PictureSurface::mouseMoveEvent(QMouseEvent* event)
{
    const QPointF t = toTwips(event->position());
    emit MouseMove(buttonBits(event->buttons()), shiftBits(event->modifiers()), float(t.x()),
                   float(t.y()));
}
