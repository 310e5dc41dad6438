#pragma once
#include <QElapsedTimer>
#include <QPointer>
#include <QWidget>

// While a search or a Sort adds entries one by one with an event pass after
// each, repainting the list at every pass costs far more than the work
// itself. The throttle lets the list repaint at most every Interval ms: the
// event passes still run after every entry, so the window stays just as
// responsive, and the list still visibly grows.
class ListPaintThrottle {
public:
    static constexpr int IntervalMs = 40;

    explicit ListPaintThrottle(QWidget* list);
    ~ListPaintThrottle();
    ListPaintThrottle(const ListPaintThrottle&) = delete;
    ListPaintThrottle& operator=(const ListPaintThrottle&) = delete;

    // Call once per entry, before its event passes.
    void entryAdded();

private:
    QPointer<QWidget> m_list;
    bool m_wasEnabled = true;
    QElapsedTimer m_clock;
};
