#include "preview/ShowImage.h"

#include "platform/RuntimeError.h"
#include "preview/PictureSurface.h"
#include "preview/PropertyBag.h"

#include <QBuffer>
#include <QFileInfo>
#include <QImageReader>
#include <QLabel>
#include <QResizeEvent>

namespace {

constexpr int ErrFileNotFound = 53;
constexpr int ErrInvalidPropertyValue = 380;
constexpr int ErrInvalidPicture = 481;

QByteArray pictureBytes(const QPixmap& picture)
{
    QByteArray bytes;
    if (picture.isNull())
        return bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    picture.save(&buffer, "PNG");
    return bytes;
}

} // namespace

ShowImage::ShowImage(QWidget* parent) : QWidget(parent)
{
    temp = new QLabel(this);
    temp->setObjectName("temp");
    temp->hide();
    immagine = new PictureSurface(this);
    immagine->setObjectName("immagine");
    immagine->setGeometry(0, 0, width(), height());
    immagine->setBorderStyle(DefaultBorderStyle);
    immagine->setBackColor(DefaultBackColor);

    connect(immagine, &PictureSurface::DblClick, this, &ShowImage::DblClick);
    connect(immagine, &PictureSurface::Click, this, &ShowImage::Click);
    connect(immagine, &PictureSurface::MouseMove, this, &ShowImage::MouseMove);
    connect(immagine, &PictureSurface::MouseDown, this, &ShowImage::MouseDown);
}

short ShowImage::BorderStyle() const
{
    return immagine->BorderStyle();
}

void ShowImage::setBorderStyle(short value)
{
    if (value != 0 && value != 1)
        throw RuntimeError(ErrInvalidPropertyValue, "ShowImage",
                           QString("Invalid property value: BorderStyle %1 (0 or 1)").arg(value));
    immagine->setBorderStyle(value);
    emit PropertyChanged("BorderStyle");
}

void ShowImage::Cls()
{
    immagine->Cls();
}

quint32 ShowImage::BackColor() const
{
    return immagine->BackColor();
}

void ShowImage::setBackColor(quint32 value)
{
    immagine->setBackColor(value);
    emit PropertyChanged("BackColor");
    showImageInfo();
}

QPixmap ShowImage::Picture() const
{
    return temp->pixmap();
}

void ShowImage::setPicture(const QPixmap& picture)
{
    if (picture.isNull())
        temp->clear();
    else
        temp->setPixmap(picture);
    temp->adjustSize();
    emit PropertyChanged("Picture");
    showImageInfo();
}

double ShowImage::TwipsPerPixelX() const
{
    return 1440.0 / logicalDpiX();
}

double ShowImage::TwipsPerPixelY() const
{
    return 1440.0 / logicalDpiY();
}

QSize ShowImage::PictureSizeTwips() const
{
    const QPixmap picture = temp->pixmap();
    if (picture.isNull())
        return {0, 0};
    const QSizeF px = picture.deviceIndependentSize();
    return {qRound(px.width() * TwipsPerPixelX()), qRound(px.height() * TwipsPerPixelY())};
}

void ShowImage::showImageInfo()
{
    const QPixmap picture = temp->pixmap();
    // No picture held: whatever was painted stays.
    if (picture.isNull())
        return;
    const double tx = TwipsPerPixelX();
    const double ty = TwipsPerPixelY();
    // The surface's full size, border included.
    const int bw = qRound(immagine->width() * tx);
    const int bh = qRound(immagine->height() * ty);
    const QSize natural = PictureSizeTwips();
    const std::optional<PictureFit> fit = FitPicture(natural.width(), natural.height(), bw, bh);
    mLastFit = fit;
    // A surface (or picture) without area has nothing to show.
    if (!fit)
        return;
    immagine->Cls();
    // Twips to pixels of the painting; edges rounded so neighbours meet.
    const int left = qRound(fit->X / tx);
    const int top = qRound(fit->Y / ty);
    const int right = qRound((fit->X + fit->W) / tx);
    const int bottom = qRound((fit->Y + fit->H) / ty);
    immagine->PaintPicture(picture, QRect(left, top, right - left, bottom - top));
}

void ShowImage::loadimg(const QString& nome)
{
    const QFileInfo info(nome);
    if (!info.exists() || !info.isFile())
        throw RuntimeError(ErrFileNotFound, "ShowImage",
                           QString("File not found: \"%1\"").arg(nome));
    QImageReader reader(nome);
    const QImage image = reader.read();
    if (image.isNull())
        throw RuntimeError(ErrInvalidPicture, "ShowImage",
                           QString("Invalid picture: \"%1\" (%2)").arg(nome, reader.errorString()));
    temp->setPixmap(QPixmap::fromImage(image));
    temp->adjustSize();
    showImageInfo();
}

void ShowImage::ReadProperties(const PropertyBag& bag)
{
    QPixmap picture;
    const QByteArray bytes = bag.ReadProperty("Picture", QByteArray()).toByteArray();
    if (!bytes.isEmpty())
        picture.loadFromData(bytes);
    if (picture.isNull())
        temp->clear();
    else
        temp->setPixmap(picture);
    temp->adjustSize();

    bool ok = false;
    const int border = bag.ReadProperty("BorderStyle", int(DefaultBorderStyle)).toInt(&ok);
    immagine->setBorderStyle(ok && (border == 0 || border == 1) ? short(border)
                                                                : DefaultBorderStyle);
    const uint back = bag.ReadProperty("BackColor", uint(DefaultBackColor)).toUInt(&ok);
    immagine->setBackColor(ok ? back : DefaultBackColor);
    // No repaint here: the resize that follows does it.
}

void ShowImage::WriteProperties(PropertyBag& bag) const
{
    bag.WriteProperty("Picture", pictureBytes(temp->pixmap()), QByteArray());
    bag.WriteProperty("BorderStyle", int(immagine->BorderStyle()), int(DefaultBorderStyle));
    bag.WriteProperty("BackColor", uint(immagine->BackColor()), uint(DefaultBackColor));
}

void ShowImage::resizeEvent(QResizeEvent* event)
{
    QWidget::resizeEvent(event);
    immagine->move(0, 0);
    immagine->resize(width(), height());
    showImageInfo();
}
