#include "filelist/DropIntake.h"

#include "filelist/AddCheck.h"

#include "engine/picture/PictureNames.h"
#include "filelist/FileListController.h"

#include <QAbstractScrollArea>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QMimeData>
#include <QUrl>
#include <QWidget>

DropIntake::DropIntake(FileListController& controller, QWidget* list, QWidget* picText, QWidget* picDoor,
                       QObject* parent)
    : QObject(parent), m_controller(controller), m_listViewport(nullptr), m_picText(picText), m_picDoor(picDoor)
{
    if (list) {
        list->setAcceptDrops(true);
        auto* area = qobject_cast<QAbstractScrollArea*>(list);
        m_listViewport = area ? area->viewport() : list;
        m_listViewport->setAcceptDrops(true);
        m_listViewport->installEventFilter(this);
    }
    for (QWidget* w : {m_picText, m_picDoor}) {
        if (w) {
            w->setAcceptDrops(true);
            w->installEventFilter(this);
        }
    }
}

bool DropIntake::IsPicturePath(const QString& path)
{
    return PictureNames::IsDropPath(path);
}

QStringList DropIntake::DroppedPaths(const QMimeData* data)
{
    QStringList paths;
    if (!data || !data->hasUrls())
        return paths;
    for (const QUrl& url : data->urls()) {
        if (url.isLocalFile())
            paths.append(url.toLocalFile());
    }
    return paths;
}

void DropIntake::List1_OLEDragDrop(QDropEvent* event)
{
    intake(event);
}

void DropIntake::picText_OLEDragDrop(QDropEvent* event)
{
    intake(event);
}

void DropIntake::picDoor_OLEDragDrop(QDropEvent* event)
{
    if (m_picDoor)
        m_picDoor->hide();
    intake(event);
}

void DropIntake::intake(QDropEvent* event)
{
    event->setDropAction(Qt::CopyAction);
    event->accept();
    QStringList pictures;
    QList<FolderWalk::Unreadable> unreadable;
    for (const QString& path : DroppedPaths(event->mimeData())) {
        if (!IsPicturePath(path))
            continue;
        // Told after the drop rather than at its page in the job.
        if (const QString why = FolderWalk::ReadProblem(path); !why.isEmpty())
            unreadable.append({path, why});
        else
            pictures.append(path);
    }
    m_controller.addCheck()->Check(pictures.mid(0, m_controller.AppendPaths(pictures, FileListController::Report::Queued)),
                                   unreadable);
    m_controller.HideHintIfListed();
}

bool DropIntake::eventFilter(QObject* watched, QEvent* event)
{
    const bool ours = watched == m_listViewport || watched == m_picText || watched == m_picDoor;
    if (!ours || !watched->isWidgetType())
        return QObject::eventFilter(watched, event);

    switch (event->type()) {
    case QEvent::DragEnter:
    case QEvent::DragMove: {
        auto* drag = static_cast<QDragMoveEvent*>(event);
        // While the list is locked the targets refuse, so the cursor says so.
        // A drag that cannot be copied is refused too: taken as a move, it
        // would tell the file manager to remove the files it dragged.
        if (!m_controller.AcceptsChanges() || !(drag->possibleActions() & Qt::CopyAction)) {
            drag->ignore();
        } else {
            drag->setDropAction(Qt::CopyAction);
            drag->accept();
        }
        return true;
    }
    case QEvent::DragLeave:
        return true;
    case QEvent::Drop: {
        auto* drop = static_cast<QDropEvent*>(event);
        if (!m_controller.AcceptsChanges() || !(drop->possibleActions() & Qt::CopyAction)) {
            drop->ignore();
            return true;
        }
        if (watched == m_picDoor)
            picDoor_OLEDragDrop(drop);
        else if (watched == m_picText)
            picText_OLEDragDrop(drop);
        else
            List1_OLEDragDrop(drop);
        return true;
    }
    default:
        return QObject::eventFilter(watched, event);
    }
}
