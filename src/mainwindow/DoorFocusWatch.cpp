#include "mainwindow/DoorFocusWatch.h"

#include <QApplication>
#include <QFocusEvent>
#include <QWidget>

DoorFocusWatch::DoorFocusWatch(QWidget* door, QObject* parent) : QObject(parent), m_door(door)
{
    qApp->installEventFilter(this);
}

bool DoorFocusWatch::covers(const QWidget* w) const
{
    QWidget* area = m_door->parentWidget();
    if (!w || w == m_door || !area || !area->isAncestorOf(w) || m_door->isAncestorOf(w))
        return false;
    const QRect r(w->mapTo(area, QPoint(0, 0)), w->size());
    return r.intersects(m_door->geometry());
}

bool DoorFocusWatch::eventFilter(QObject* watched, QEvent* event)
{
    const QEvent::Type t = event->type();
    if ((t != QEvent::FocusIn && t != QEvent::KeyPress && t != QEvent::InputMethod) || !m_door
        || !m_door->isVisible() || !watched->isWidgetType())
        return false;
    if (t == QEvent::FocusIn) {
        const Qt::FocusReason why = static_cast<QFocusEvent*>(event)->reason();
        if (why == Qt::ActiveWindowFocusReason || why == Qt::PopupFocusReason)
            return false;
    }
    if (covers(static_cast<QWidget*>(watched)))
        m_door->hide();
    return false;
}
