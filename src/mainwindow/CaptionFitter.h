#pragma once
#include <QList>
#include <QString>

class QToolButton;

namespace Ui {
class frmPrinting;
}

// The layout was drawn for Tahoma; other fonts are often wider, and some
// captions are wider than their boxes even in Tahoma. No caption should be
// cut: labels grow into the free room beside them (and push the quality
// percentage along); buttons, which cannot grow, share one font factor, the
// largest (down to 0.8) at which every button caption fits.
class CaptionFitter {
public:
    // The widest texts the changing labels show.
    static const QString WidestPageNumber;
    static const QString WidestPercent;
    static const QString WidestQualityWord;
    static const QString WidestProgressCaption;

    // After the rescaling, with the toolbar by index.
    static void Fit(Ui::frmPrinting& ui, const QList<QToolButton*>& toolbar);
};
