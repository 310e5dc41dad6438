#pragma once
#include <QObject>

class QWidget;

// The start-up picture lies over the list and the fields until the first
// toolbar command or drop, yet Tab still reaches the controls under it, and
// keys typed there changed fields the user could not see. This hides the
// picture, as the first toolbar command does, as soon as the keyboard focus
// enters a control it covers (by Tab, a click, a shortcut) or a key reaches
// one. The focus the window gives its first control when it is shown or
// activated leaves the picture in place.
class DoorFocusWatch : public QObject {
public:
    // door: the start-up picture; the controls it may cover are its siblings
    // and their children.
    explicit DoorFocusWatch(QWidget* door, QObject* parent = nullptr);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    bool covers(const QWidget* w) const;

    QWidget* m_door;
};
