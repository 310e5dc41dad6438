#include "filelist/FileListController.h"

#include "engine/picture/PictureNames.h"

#include "filelist/AddCheck.h"
#include "filelist/DropIntake.h"
#include "filelist/FileSearch.h"
#include "engine/job/ListCollation.h"
#include "filelist/ListPaintThrottle.h"
#include "platform/widgets/CCommonDialogs.h"
#include "platform/EventPump.h"
#include "platform/widgets/FolderChooser.h"
#include "platform/MessageSink.h"
#include "platform/ProgramName.h"
#include "platform/QuotedPath.h"
#include "platform/RuntimeError.h"

#include <QAbstractButton>
#include <QLabel>
#include <QListWidget>
#include <QPointer>
#include <algorithm>

namespace {
// "*.a;*.b" for the extensions given.
QString patterns(const QStringList& extensions)
{
    QStringList out;
    for (const QString& ext : extensions)
        out << QStringLiteral("*.") + ext;
    return out.join(QLatin1Char(';'));
}

// The designed pairs in their order (JPG first, so it is selected), then
// the added kinds and every kind that is read, then "All Files".
QString openFilter()
{
    const QString added = patterns(PictureNames::NewExtensions());
    const QString all = patterns(PictureNames::AllExtensions());
    return QStringLiteral("JPG Files(*.jpg)|*.jpg|JPEG Files(*.jpeg)|*.jpeg|TIF Files(*.tif)|*.tif|TIFF Files(*.tiff)|*.tiff|"
                          "BMP Files(*.BMP)|*.bmp|GIF Files(*.gif)|*.gif|PNG Files(*.png)|*.png|") +
           QStringLiteral("HEIC, HEIF, AVIF, WebP, JPEG XL, PNM and TGA Files|") + added + QStringLiteral("|All Pictures|") + all +
           QStringLiteral("|All Files(*.*)|*.*");
}
} // namespace

const QString FileListController::OpenFilter = openFilter();
const QString FileListController::OpenTitle = QStringLiteral("Open Files");
const QString FileListController::FolderPrompt = QStringLiteral("Please select a folder:");
const QString FileListController::SearchingText = QStringLiteral("Searching Files...");
const QString FileListController::PageNumberText = QStringLiteral("Page Number of Selected File: ");

namespace {
enum ToolIndex { Add = 0, AddFolderIndex = 1, Remove = 2, Clean = 3, MoveDown = 4, Exit = 5, MoveUp = 6 };

// Counts a command's own selection changes, so they are not taken for clicks.
struct QuietScope {
    explicit QuietScope(int& n) : count(n) { ++count; }
    ~QuietScope() { --count; }
    int& count;
};
} // namespace

FileListController::FileListController(const FileListWidgets& widgets, CCommonDialogs& dialogs,
                                       MessageSink& sink, QObject* parent)
    : QObject(parent), m_w(widgets), m_dialogs(dialogs), m_sink(sink)
{
    if (m_w.List1) {
        m_w.List1->setSelectionMode(QAbstractItemView::SingleSelection);
        // A search or a Sort adds entries one at a time with an event pass
        // after each, and every addition lays the whole view out again: with
        // entries measured one by one and the layout done at once, adding n
        // entries costs n squared. Every entry is one line of text, and
        // batched layout spreads the rest over the following passes.
        m_w.List1->setUniformItemSizes(true);
        m_w.List1->setLayoutMode(QListView::Batched);
        // A click or a key that moves the selection updates the page number.
        connect(m_w.List1, &QListWidget::itemSelectionChanged, this, [this]() {
            if (m_quiet == 0)
                List1_Click();
        });
    }
    if (m_w.List2) {
        m_w.List2->setUniformItemSizes(true);
        m_w.List2->hide();
    }
    m_drops = new DropIntake(*this, m_w.List1, m_w.picText, m_w.picDoor, this);
    m_check = new AddCheck(this);
}

bool FileListController::IsLocked() const
{
    return m_locked;
}

bool FileListController::AcceptsChanges() const
{
    return !m_locked && !m_sorting;
}

void FileListController::SetLocked(bool locked)
{
    m_locked = locked;
    // A job that starts while a Sort is putting the list back together
    // (from one of its event passes) must see the whole list.
    if (locked)
        finishSortNow();
}

int FileListController::selectedRow() const
{
    if (!m_w.List1)
        return -1;
    const QList<QListWidgetItem*> items = m_w.List1->selectedItems();
    return items.isEmpty() ? -1 : m_w.List1->row(items.first());
}

void FileListController::selectRow(int row)
{
    QuietScope quiet(m_quiet);
    if (row < 0) {
        m_w.List1->clearSelection();
        m_w.List1->setCurrentRow(-1);
    } else {
        m_w.List1->setCurrentRow(row, QItemSelectionModel::ClearAndSelect);
    }
}

void FileListController::SelectEntry(int row)
{
    if (!m_w.List1 || row < 0 || row >= m_w.List1->count())
        return;
    selectRow(row);
    m_w.List1->scrollToItem(m_w.List1->item(row));
    List1_Click();
}

void FileListController::List1_Click()
{
    if (!m_w.lblPageNum)
        return;
    m_w.lblPageNum->setText(PageNumberText + QString::number(selectedRow() + 1));
}

void FileListController::FocusSweep()
{
    for (QAbstractButton* button : std::as_const(m_w.CmdToolsBar)) {
        if (button && button->isEnabled() && button->focusPolicy() != Qt::NoFocus)
            button->setFocus(Qt::OtherFocusReason);
    }
}

void FileListController::HideHintIfListed()
{
    if (m_w.picText && m_w.List1 && m_w.List1->count() > 0)
        m_w.picText->hide();
}

bool FileListController::listIsFull() const
{
    return m_w.List1->count() >= MaxEntries;
}

void FileListController::tellListFull(bool* told, Report report)
{
    if (told && *told)
        return;
    if (told)
        *told = true;
    tell(QStringLiteral("The file list is full: it holds at most %L1 files, so the remaining files were not added.")
             .arg(MaxEntries),
         report);
}

void FileListController::tell(const QString& text, Report report)
{
    if (report == Report::Queued) {
        QMetaObject::invokeMethod(
            this, [this, text]() { m_sink.showMessage(ProgramName, text, MessageIcon::Exclamation); },
            Qt::QueuedConnection);
        return;
    }
    m_sink.showMessage(ProgramName, text, MessageIcon::Exclamation);
}

bool FileListController::appendOne(const QString& path, bool* told, Report report)
{
    if (!m_w.List1)
        return false;
    if (listIsFull()) {
        tellListFull(told, report);
        return false;
    }
    m_w.List1->addItem(path);
    return true;
}

int FileListController::AppendPaths(const QStringList& paths, Report report)
{
    bool told = false;
    int added = 0;
    for (const QString& path : paths) {
        if (!appendOne(path, &told, report))
            break;
        ++added;
    }
    return added;
}

void FileListController::CmdToolsBar_Click(int Index)
{
    // While the list is held only Exit still works.
    if (Index != Exit && !AcceptsChanges())
        return;

    QPointer<FileListController> self(this);
    if (m_w.picDoor)
        m_w.picDoor->hide();
    YieldEvents();
    if (!self || !m_w.List1)
        return;
    // A job may have started, or a Sort begun, during that pass.
    if (Index != Exit && !AcceptsChanges())
        return;

    switch (Index) {
    case Add:
        addFile();
        break;
    case AddFolderIndex:
        AddFolder();
        if (!self)
            return;
        if (m_w.picDoor)
            m_w.picDoor->hide();
        YieldEvents();
        break;
    case Remove: {
        if (m_w.List1->count() == 0)
            return;
        const int row = selectedRow();
        if (row >= 0) {
            QuietScope quiet(m_quiet);
            delete m_w.List1->takeItem(row);
        }
        if (m_w.List1->count() == 0 && m_w.picText)
            m_w.picText->show();
        selectRow(-1);
        break;
    }
    case Clean: {
        QuietScope quiet(m_quiet);
        m_w.List1->clear();
        if (m_w.picText)
            m_w.picText->show();
        break;
    }
    case MoveDown:
        moveSelected(+1);
        break;
    case MoveUp:
        moveSelected(-1);
        break;
    case Exit:
        emit exitRequested();
        break;
    default:
        break;
    }
}

void FileListController::moveSelected(int step)
{
    const int row = selectedRow();
    const int other = row + step;
    if (row < 0 || other < 0 || other >= m_w.List1->count())
        return;
    QListWidgetItem* a = m_w.List1->item(row);
    QListWidgetItem* b = m_w.List1->item(other);
    const QString kept = a->text();
    a->setText(b->text());
    b->setText(kept);
    selectRow(other);
    List1_Click();
}

void FileListController::addFile()
{
    QPointer<FileListController> self(this);
    m_dialogs.setFilter(OpenFilter);
    m_dialogs.setTitle(OpenTitle);
    // Beside the design's one file: several at once, in the dialog's order.
    m_dialogs.setMultiSelect(true);
    bool chosen = false;
    try {
        chosen = m_dialogs.ShowOpen();
    } catch (const RuntimeError&) {
        // A dialog that cannot be shown is a cancelled one.
        chosen = false;
    }
    if (!self)
        return;
    if (m_w.window)
        m_w.window->update();
    if (m_w.picDoor)
        m_w.picDoor->hide();
    YieldEvents();
    if (!self)
        return;
    FocusSweep();
    if (!chosen)
        return;
    if (m_w.picText)
        m_w.picText->hide();
    // A job that started while the dialog closed has the list to itself.
    if (!m_dialogs.Filename().isEmpty() && AcceptsChanges()) {
        const QStringList files = m_dialogs.Filenames();
        m_check->Check(files.mid(0, AppendPaths(files)));
    }
    m_dialogs.setFilename(QString());
}

void FileListController::AddFolder()
{
    QPointer<FileListController> self(this);
    QString folder;
    const bool chosen = ChooseFolder(m_w.window, FolderPrompt, &folder);
    if (!self)
        return;
    if (!chosen || folder.isEmpty()) {
        if (m_w.picText && m_w.List1)
            m_w.picText->setVisible(m_w.List1->count() == 0);
        return;
    }

    if (m_searchDepth == 0 && m_w.lblText)
        m_hintCaption = m_w.lblText->text();
    ++m_searchDepth;
    if (m_w.picText)
        m_w.picText->show();
    if (m_w.lblText)
        m_w.lblText->setText(SearchingText);

    bool told = false;
    QStringList added;
    QList<FolderWalk::Unreadable> unreadable;
    {
        ListPaintThrottle throttle(m_w.List1);
        FileSearch::SearchFolder(
            folder,
            [self, &told, &throttle, &added](const QString& path) {
                // The window may have gone away during an event pass.
                if (!self)
                    return false;
                throttle.entryAdded();
                if (!self->appendOne(path, &told))
                    return false;
                added << path;
                return true;
            },
            YieldEvents, &unreadable);
    }
    if (!self)
        return;
    m_check->Check(added, unreadable);

    // A search started during another one's event passes leaves the caption
    // to the outer one.
    --m_searchDepth;
    if (m_searchDepth == 0 && m_w.lblText)
        m_w.lblText->setText(m_hintCaption);
    if (m_w.picText && m_w.List1)
        m_w.picText->setVisible(m_w.List1->count() == 0);
    if (m_w.window)
        m_w.window->update();
    FocusSweep();
}

void FileListController::menuSort_Click()
{
    if (!AcceptsChanges() || !m_w.List1 || !m_w.List2)
        return;
    QPointer<FileListController> self(this);
    m_sorting = true;

    const QCollator collator = ListCollator(false);
    QListWidget* buffer = m_w.List2;
    buffer->clear();
    // Inserting after every equal entry keeps entries that compare equal
    // (one path in two letter cases) in list order.
    for (int i = 0; i < m_w.List1->count(); ++i) {
        const QString text = m_w.List1->item(i)->text();
        int lo = 0;
        int hi = buffer->count();
        while (lo < hi) {
            const int mid = (lo + hi) / 2;
            if (collator.compare(text, buffer->item(mid)->text()) < 0)
                hi = mid;
            else
                lo = mid + 1;
        }
        buffer->insertItem(lo, text);
        YieldEvents();
        if (!self)
            return;
    }

    {
        QuietScope quiet(m_quiet);
        m_w.List1->clear();
    }
    ListPaintThrottle throttle(m_w.List1);
    m_sortNext = 0;
    while (m_sortNext >= 0 && m_sortNext < buffer->count()) {
        throttle.entryAdded();
        m_w.List1->addItem(buffer->item(m_sortNext)->text());
        ++m_sortNext;
        YieldEvents();
        if (!self)
            return;
    }
    buffer->clear();
    m_sortNext = -1;
    m_sorting = false;
}

void FileListController::finishSortNow()
{
    if (!m_sorting || m_sortNext < 0 || !m_w.List1 || !m_w.List2)
        return;
    while (m_sortNext < m_w.List2->count()) {
        m_w.List1->addItem(m_w.List2->item(m_sortNext)->text());
        ++m_sortNext;
    }
}
