#include "mainwindow/WindowLayout.h"

#include "ui_frmPrinting.h"

#include "mainwindow/LayoutScaler.h"

#include <QFontDatabase>
#include <QtMath>

#include <algorithm>
#include <QGuiApplication>
#include <QMainWindow>
#include <QScreen>
#include <QStyle>

QString WindowLayout::ControlFontFamily()
{
    static const QString family = []() {
        if (QFontDatabase::hasFamily(QStringLiteral("Tahoma")))
            return QStringLiteral("Tahoma");
        return QFontDatabase::systemFont(QFontDatabase::GeneralFont).family();
    }();
    return family;
}

QFont WindowLayout::ControlFont(double points, bool bold)
{
    QFont f(ControlFontFamily());
    f.setPointSizeF(points);
    f.setBold(bold);
    return f;
}

void WindowLayout::ApplyDesignFonts(QMainWindow& window, Ui::frmPrinting& ui)
{
    const QFont normal = ControlFont(9);
    window.setFont(normal);
    const QList<QWidget*> controls = ui.centralwidget->findChildren<QWidget*>();
    for (QWidget* c : controls)
        c->setFont(normal);
    ui.centralwidget->setFont(normal);
    ui.Command3->setFont(ControlFont(9, true));
    ui.lblText->setFont(ControlFont(9, true));
    ui.lblPB->setFont(ControlFont(7.5, true));
}

QList<QWidget*> WindowLayout::DesignControls(const Ui::frmPrinting& ui)
{
    QList<QWidget*> controls = ui.centralwidget->findChildren<QWidget*>(Qt::FindDirectChildrenOnly);
    controls += ui.picText->findChildren<QWidget*>(Qt::FindDirectChildrenOnly);
    return controls;
}

void WindowLayout::Rescale(QMainWindow& window, Ui::frmPrinting& ui, double tppX, double tppY)
{
    if (tppX <= 0 || tppY <= 0) {
        const QScreen* s = window.screen() ? window.screen() : QGuiApplication::primaryScreen();
        tppX = LayoutScaler::TwipsPerPixel(s ? s->logicalDotsPerInchX() : 96.0);
        tppY = LayoutScaler::TwipsPerPixel(s ? s->logicalDotsPerInchY() : 96.0);
    }
    const LayoutScaler scaler(tppX, tppY);

    // The client area keeps its designed size in pixels.
    const QSize client = ui.centralwidget->size();
    ui.centralwidget->setFixedSize(
        scaler.ToPixels(QSizeF(client.width() * scaler.fx() * LayoutScaler::DesignTwipsPerPixel,
                               client.height() * scaler.fy() * LayoutScaler::DesignTwipsPerPixel)));

    // Fonts are read first so that no control's new size leaks into
    // another's through inheritance. txtPath's font is scaled like every
    // other (once), so it matches them.
    const QList<QWidget*> controls = DesignControls(ui);
    QList<QFont> fonts;
    for (QWidget* c : std::as_const(controls))
        fonts.append(c->font());
    for (int i = 0; i < controls.size(); ++i) {
        QWidget* c = controls[i];
        c->setGeometry(scaler.Rescale(c->geometry()));
        QFont f = fonts[i];
        if (f.pointSizeF() > 0) {
            f.setPointSizeF(scaler.ScaleFont(f.pointSizeF()));
            c->setFont(f);
        }
    }
    window.adjustSize();
    window.setFixedSize(window.sizeHint());
}

void WindowLayout::FitScreen(QMainWindow& window, Ui::frmPrinting& ui)
{
    const QScreen* s = window.screen() ? window.screen() : QGuiApplication::primaryScreen();
    if (!s)
        return;
    // The window system's frame is not known before the window shows: a
    // title bar and thin borders are kept free.
    const int border = 4;
    const QSize room = s->availableGeometry().size() -
                       QSize(2 * border, window.style()->pixelMetric(QStyle::PM_TitleBarHeight) + 2 * border);
    const QSize whole = window.size();
    const QSize client = ui.centralwidget->size();
    if (whole.width() <= room.width() && whole.height() <= room.height())
        return;
    // The menu bar keeps its height: the client area gives up the rest.
    const int bar = whole.height() - client.height();
    const double f = std::min(double(room.width()) / whole.width(), double(room.height() - bar) / client.height());
    if (f <= 0)
        return;
    const auto scaled = [f](const QRect& r) {
        return QRect(qRound(r.x() * f), qRound(r.y() * f), qRound(r.width() * f), qRound(r.height() * f));
    };
    ui.centralwidget->setFixedSize(qFloor(client.width() * f), qFloor(client.height() * f));
    const QList<QWidget*> controls = DesignControls(ui);
    QList<QFont> fonts;
    for (QWidget* c : std::as_const(controls))
        fonts.append(c->font());
    for (int i = 0; i < controls.size(); ++i) {
        controls[i]->setGeometry(scaled(controls[i]->geometry()));
        QFont font = fonts[i];
        if (font.pointSizeF() > 0) {
            font.setPointSizeF(font.pointSizeF() * f);
            controls[i]->setFont(font);
        }
    }
    window.setMinimumSize(0, 0);
    window.setMaximumSize(QWIDGETSIZE_MAX, QWIDGETSIZE_MAX);
    window.adjustSize();
    window.setFixedSize(window.sizeHint().boundedTo(room));
}
