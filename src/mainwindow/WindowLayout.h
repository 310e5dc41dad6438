#pragma once
#include <QFont>
#include <QList>
#include <QString>

class QMainWindow;
class QWidget;

namespace Ui {
class frmPrinting;
}

// The window's drawn design put onto its widgets: the design's fonts, and the
// rescaling of every control for the screen's twips per pixel (the
// arithmetic is LayoutScaler's).
class WindowLayout {
public:
    // Font of the controls: Tahoma when the system has it, else the
    // desktop's sans-serif.
    static QString ControlFontFamily();
    static QFont ControlFont(double points, bool bold = false);

    // Tahoma 9 pt for every control that does not name another.
    static void ApplyDesignFonts(QMainWindow& window, Ui::frmPrinting& ui);

    // The controls the rescaling and the caption fitting resize: the
    // window's own, those inside picText included. The parts of compound
    // widgets (scroll bars, the preview's surface) follow their owner.
    static QList<QWidget*> DesignControls(const Ui::frmPrinting& ui);

    // Rescales the client area and every design control so that the window
    // keeps its designed size in pixels. Twips per pixel of 0 or less: the
    // screen's own, from its logical DPI.
    static void Rescale(QMainWindow& window, Ui::frmPrinting& ui, double twipsPerPixelX, double twipsPerPixelY);

    // On a screen whose free area is smaller than the window, the client
    // area, every design control and its font are made smaller by one
    // factor, so the whole window fits with the designed proportions. A
    // window that fits stays as it is.
    static void FitScreen(QMainWindow& window, Ui::frmPrinting& ui);
};
