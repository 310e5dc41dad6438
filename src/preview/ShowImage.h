#pragma once
#include <QPixmap>
#include <QString>
#include <QWidget>

#include <optional>

#include "preview/PictureFit.h"

class QLabel;
class PictureSurface;
class PropertyBag;

// Shows one picture scaled to fit its rectangle, keeping the aspect ratio and
// centring it along the direction with room to spare. The picture is held at
// its natural size in the hidden holder `temp`; a scaled copy is painted on
// the surface `immagine`, which covers the whole control. The painting stays
// when the picture is replaced by an empty one, until Cls.
class ShowImage : public QWidget {
    Q_OBJECT
public:
    explicit ShowImage(QWidget* parent = nullptr);

    static constexpr short DefaultBorderStyle = 1;
    static constexpr quint32 DefaultBackColor = 0x8000000Fu; // button face

    // 0 none, 1 fixed single; other values throw RuntimeError (380).
    short BorderStyle() const;
    void setBorderStyle(short value);
    // Clears the surface to the background colour; the held picture stays.
    void Cls();
    quint32 BackColor() const;
    void setBackColor(quint32 value);
    QPixmap Picture() const;
    void setPicture(const QPixmap& picture);
    // Repaints the surface from the held picture; nothing when none is held.
    void showImageInfo();
    // Loads a picture file; throws RuntimeError (53 file not found, 481
    // invalid picture) and then keeps the old picture and painting.
    void loadimg(const QString& nome);

    // Host life-cycle: settings in and out of the host's property store.
    void ReadProperties(const PropertyBag& bag);
    void WriteProperties(PropertyBag& bag) const;

    // Natural size of the held picture in twips (0 x 0 when none).
    QSize PictureSizeTwips() const;
    // The surface, for hosts and tests that look at what is painted.
    PictureSurface* Surface() const { return immagine; }
    // Where the last repaint put the picture, in twips of the surface.
    std::optional<PictureFit> LastFit() const { return mLastFit; }

    // Twips per pixel at the screen's logical DPI (15 at 96 DPI).
    double TwipsPerPixelX() const;
    double TwipsPerPixelY() const;

signals:
    void DblClick();
    void Click();
    void MouseMove(int Button, int Shift, float X, float Y);
    void MouseDown(int Button, int Shift, float X, float Y);
    // The host's store should save this property.
    void PropertyChanged(const QString& name);

protected:
    void resizeEvent(QResizeEvent* event) override;

private:
    QLabel* temp;
    PictureSurface* immagine;
    std::optional<PictureFit> mLastFit;
};
