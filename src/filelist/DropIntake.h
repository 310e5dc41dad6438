#pragma once
#include <QObject>
#include <QStringList>

class FileListController;
class QDropEvent;
class QMimeData;
class QWidget;

// Files dropped onto the list, the drop hint or the start-up picture are
// appended to the file list when their names end like a picture and they can
// be read; those that cannot are named in one message after the drop.
// Watches the three targets as an event filter; folders are not searched.
class DropIntake : public QObject {
    Q_OBJECT
public:
    // Makes the three widgets accept drops and filters their drag events.
    // `list` is the list box itself; its viewport is watched.
    DropIntake(FileListController& controller, QWidget* list, QWidget* picText, QWidget* picDoor,
               QObject* parent = nullptr);

    // A dropped path passes when its last three characters, ignoring case,
    // are bmp, jpg, gif, png, tif or jxl, or its last four are tiff, jpeg,
    // heic, heif, avif or webp (PictureNames).
    static bool IsPicturePath(const QString& path);

    // The local file paths a drop carries (text/uri-list), in drop order.
    static QStringList DroppedPaths(const QMimeData* data);

    void List1_OLEDragDrop(QDropEvent* event);
    void picText_OLEDragDrop(QDropEvent* event);
    void picDoor_OLEDragDrop(QDropEvent* event);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void intake(QDropEvent* event);

    FileListController& m_controller;
    QWidget* m_listViewport;
    QWidget* m_picText;
    QWidget* m_picDoor;
};
