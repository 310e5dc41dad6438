#pragma once
#include <QColor>
#include <QFrame>
#include <QPixmap>

// The visible drawing surface of ShowImage. What is painted on it stays
// (it is kept in a pixmap) until it is cleared, also across resizes and
// expose events. Mouse events come out as signals with the desktop's button
// and shift bits and positions in twips.
class PictureSurface : public QFrame {
    Q_OBJECT
public:
    explicit PictureSurface(QWidget* parent = nullptr);

    // 0 none, 1 fixed single.
    void setBorderStyle(short style);
    short BorderStyle() const { return mBorderStyle; }

    // Colour used by Cls (the colour value as the control keeps it).
    void setBackColor(quint32 value);
    quint32 BackColor() const { return mBackColor; }
    QColor ResolvedBackColor() const;

    // Fills the whole painting with the background colour.
    void Cls();
    // Paints picture scaled into target (pixels of the painting).
    void PaintPicture(const QPixmap& picture, const QRect& target);

    // What has been painted, the size of the area inside the border.
    const QPixmap& Painting() const { return mPainting; }

signals:
    void DblClick();
    void Click();
    void MouseMove(int Button, int Shift, float X, float Y);
    void MouseDown(int Button, int Shift, float X, float Y);

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;

private:
    void ensurePaintingSize();
    QPointF toTwips(const QPointF& widgetPos) const;

    short mBorderStyle = 1;
    quint32 mBackColor = 0x8000000Fu;
    QPixmap mPainting;
    bool mPressedInside = false;
};
