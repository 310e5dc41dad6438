#include "platform/widgets/Skin.h"

#include <QApplication>
#include <QPalette>
#include <QStyle>
#include <QStyleFactory>

namespace {

struct SavedLook {
    bool attached = false;
    QString styleName;
    QPalette palette;
};

SavedLook& saved()
{
    static SavedLook s;
    return s;
}

// Soft grey-blue surfaces, dark slate text, one blue for selection and focus.
QPalette calmPalette()
{
    const QColor window(0xEE, 0xF1, 0xF5);
    const QColor base(0xFF, 0xFF, 0xFF);
    const QColor alternate(0xF5, 0xF7, 0xFA);
    const QColor text(0x22, 0x2B, 0x36);
    const QColor button(0xE4, 0xE9, 0xEF);
    const QColor highlight(0x2F, 0x7B, 0xD0);
    const QColor disabledText(0x93, 0x9C, 0xA6);

    QPalette p;
    p.setColor(QPalette::Window, window);
    p.setColor(QPalette::WindowText, text);
    p.setColor(QPalette::Base, base);
    p.setColor(QPalette::AlternateBase, alternate);
    p.setColor(QPalette::ToolTipBase, QColor(0xFF, 0xFB, 0xE6));
    p.setColor(QPalette::ToolTipText, text);
    p.setColor(QPalette::PlaceholderText, disabledText);
    p.setColor(QPalette::Text, text);
    p.setColor(QPalette::Button, button);
    p.setColor(QPalette::ButtonText, text);
    p.setColor(QPalette::BrightText, Qt::white);
    p.setColor(QPalette::Light, Qt::white);
    p.setColor(QPalette::Midlight, QColor(0xF4, 0xF6, 0xF9));
    p.setColor(QPalette::Mid, QColor(0xB8, 0xC2, 0xCD));
    p.setColor(QPalette::Dark, QColor(0x8C, 0x98, 0xA5));
    p.setColor(QPalette::Shadow, QColor(0x5A, 0x66, 0x73));
    p.setColor(QPalette::Highlight, highlight);
    p.setColor(QPalette::HighlightedText, Qt::white);
    p.setColor(QPalette::Link, highlight);
    p.setColor(QPalette::Disabled, QPalette::WindowText, disabledText);
    p.setColor(QPalette::Disabled, QPalette::Text, disabledText);
    p.setColor(QPalette::Disabled, QPalette::ButtonText, disabledText);
    p.setColor(QPalette::Disabled, QPalette::Highlight, QColor(0xA9, 0xB8, 0xC8));
    return p;
}

} // namespace

void SkinH_Attach()
{
    auto* app = qobject_cast<QApplication*>(QCoreApplication::instance());
    if (!app)
        return; // no windows, nothing to skin
    QStyle* fusion = QStyleFactory::create("Fusion");
    if (!fusion)
        return; // shown unskinned
    SavedLook& s = saved();
    if (!s.attached) {
        s.styleName = QApplication::style() ? QApplication::style()->name() : QString();
        s.palette = QApplication::palette();
    }
    QApplication::setStyle(fusion); // the application takes ownership
    QApplication::setPalette(calmPalette());
    s.attached = true;
}

void SkinH_Detach()
{
    SavedLook& s = saved();
    if (!s.attached || !qobject_cast<QApplication*>(QCoreApplication::instance()))
        return;
    if (QStyle* before = s.styleName.isEmpty() ? nullptr : QStyleFactory::create(s.styleName))
        QApplication::setStyle(before);
    QApplication::setPalette(s.palette);
    s.attached = false;
}

bool SkinH_Attached()
{
    return saved().attached;
}
