#include "mainwindow/ListBox.h"

#include <QScrollBar>

ListBox::ListBox(QWidget* parent)
    : QListWidget(parent)
{
    setHorizontalScrollMode(QAbstractItemView::ScrollPerPixel);
}

void ListBox::setHorizontalExtent(int pixels)
{
    m_extent = pixels < 0 ? 0 : pixels;
    updateGeometries();
}

void ListBox::updateGeometries()
{
    QListWidget::updateGeometries();
    if (m_extent <= 0)
        return;
    // Widen the range to the extent; entries wider than it still widen it.
    QScrollBar* bar = horizontalScrollBar();
    const int wanted = m_extent - viewport()->width();
    if (wanted > bar->maximum())
        bar->setRange(0, wanted);
    bar->setPageStep(viewport()->width());
    bar->setSingleStep(16);
}
