#include "mainwindow/CaptionFitter.h"

#include "ui_frmPrinting.h"

#include "mainwindow/WindowLayout.h"

#include <QFontMetrics>
#include <QLabel>
#include <QPushButton>
#include <QToolButton>

#include <algorithm>

const QString CaptionFitter::WidestPageNumber = QStringLiteral("Page Number Of Selected File: 32767");
const QString CaptionFitter::WidestPercent = QStringLiteral("100%");
const QString CaptionFitter::WidestQualityWord = QStringLiteral("Medium");
const QString CaptionFitter::WidestProgressCaption = QStringLiteral("Removing Temporary Files...");

namespace {

int textWidth(const QWidget* w, const QString& text, const QFont& font)
{
    return QFontMetrics(font, const_cast<QWidget*>(w)).horizontalAdvance(text);
}

QFont scaledFont(QFont f, double k)
{
    f.setPointSizeF(f.pointSizeF() * k);
    return f;
}

// Grows a label sideways until text fits, on the side its alignment leaves
// free, never past the given limits.
void widenLabel(QLabel* label, const QString& text, int leftLimit, int rightLimit)
{
    const int need = textWidth(label, text, label->font()) + 2;
    QRect r = label->geometry();
    if (need <= r.width())
        return;
    const Qt::Alignment a = label->alignment();
    if (a & Qt::AlignRight) {
        r.setLeft(std::max(leftLimit, r.right() + 1 - need));
    } else if (a & Qt::AlignHCenter) {
        const int grow = need - r.width();
        r.setLeft(std::max(leftLimit, r.left() - grow / 2));
        r.setRight(std::min(rightLimit, r.left() + need - 1));
    } else {
        r.setRight(std::min(rightLimit, r.left() + need - 1));
    }
    label->setGeometry(r);
}

// The button captions shrink together, every control's font with them.
void fitButtons(Ui::frmPrinting& ui, const QList<QToolButton*>& toolbar)
{
    struct Caption {
        QWidget* widget;
        QString text;
        int room;
    };
    QList<Caption> buttons;
    for (QPushButton* b : {ui.Command1, ui.cmdBrowse})
        buttons.append({b, b->text(), b->width() - 4});
    buttons.append({ui.Command3, ui.Command3->text(), ui.Command3->width() - ui.Command3->iconSize().width() - 16});
    for (QToolButton* b : toolbar)
        buttons.append({b, b->text(), b->width() - 4});
    auto fits = [&](double factor) {
        for (const Caption& c : buttons) {
            if (textWidth(c.widget, c.text, scaledFont(c.widget->font(), factor)) > c.room)
                return false;
        }
        return true;
    };
    double k = 1.0;
    while (k > 0.8 && !fits(k))
        k -= 0.025;
    if (k >= 1.0)
        return;
    const QList<QWidget*> controls = WindowLayout::DesignControls(ui);
    QList<QFont> fonts;
    for (QWidget* c : controls)
        fonts.append(c->font());
    for (int i = 0; i < controls.size(); ++i)
        controls[i]->setFont(scaledFont(fonts[i], k));
}

// The drop hint box grows around its caption, within the list.
void fitDropHint(Ui::frmPrinting& ui)
{
    const int hintNeed = textWidth(ui.lblText, ui.lblText->text(), ui.lblText->font()) + 2;
    if (hintNeed <= ui.lblText->width())
        return;
    const int margin = ui.lblText->x();
    QRect box = ui.picText->geometry();
    const int grow = hintNeed - ui.lblText->width();
    box.adjust(-(grow + 1) / 2, 0, grow / 2, 0);
    box = box.intersected(ui.List1->geometry());
    ui.picText->setGeometry(box);
    ui.lblText->setGeometry(margin, ui.lblText->y(), box.width() - 2 * margin, ui.lblText->height());
}

} // namespace

void CaptionFitter::Fit(Ui::frmPrinting& ui, const QList<QToolButton*>& toolbar)
{
    fitButtons(ui, toolbar);

    // The field labels of the right-hand column may use the column's width.
    const int columnRight = ui.txtTitle->geometry().right();
    for (QLabel* l : {ui.lblTitle, ui.lblCreateFor, ui.lblCreationDate, ui.lblSubject, ui.lblKeywords, ui.Label3})
        widenLabel(l, l->text(), l->x(), columnRight);

    // "File List:" and the page number share the line above the list.
    widenLabel(ui.Label2, ui.Label2->text(), ui.Label2->x(), ui.lblPageNum->x() - 4);
    widenLabel(ui.lblPageNum, WidestPageNumber, ui.Label2->geometry().right() + 6, ui.lblPageNum->geometry().right());

    // "Compress Quality:", the percentage and the word share one line.
    widenLabel(ui.lblJPG, ui.lblJPG->text(), ui.lblJPG->x(), ui.lblQtt->x() - 40);
    if (ui.lblQuality->x() < ui.lblJPG->geometry().right() + 5)
        ui.lblQuality->move(ui.lblJPG->geometry().right() + 5, ui.lblQuality->y());
    widenLabel(ui.lblQuality, WidestPercent, ui.lblQuality->x(), ui.lblQtt->x() - 4);
    widenLabel(ui.lblQtt, WidestQualityWord, ui.lblQuality->geometry().right() + 4, ui.lblQtt->geometry().right());

    fitDropHint(ui);

    widenLabel(ui.lblPB, WidestProgressCaption, ui.pb->x(), ui.pb->geometry().right());
}
