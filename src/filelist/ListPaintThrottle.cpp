#include "filelist/ListPaintThrottle.h"

ListPaintThrottle::ListPaintThrottle(QWidget* list) : m_list(list)
{
    if (m_list)
        m_wasEnabled = m_list->updatesEnabled();
    m_clock.start();
}

ListPaintThrottle::~ListPaintThrottle()
{
    if (m_list && m_wasEnabled && !m_list->updatesEnabled())
        m_list->setUpdatesEnabled(true);
}

void ListPaintThrottle::entryAdded()
{
    if (!m_list || !m_wasEnabled)
        return;
    if (m_clock.elapsed() >= IntervalMs) {
        // Repaints in the coming pass.
        m_list->setUpdatesEnabled(true);
        m_clock.restart();
    } else if (m_list->updatesEnabled()) {
        m_list->setUpdatesEnabled(false);
    }
}
