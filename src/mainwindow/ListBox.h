#pragma once
#include <QListWidget>

// A list box that scrolls sideways over a fixed extent in pixels, like the
// platform list box with a horizontal extent: long paths scroll into view
// even when no entry is that wide yet.
class ListBox : public QListWidget {
    Q_OBJECT
public:
    explicit ListBox(QWidget* parent = nullptr);

    void setHorizontalExtent(int pixels);
    int horizontalExtent() const { return m_extent; }

protected:
    void updateGeometries() override;

private:
    int m_extent = 0;
};
