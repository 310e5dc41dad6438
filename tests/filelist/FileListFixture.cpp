#include "FileListFixture.h"

#include "TestSupport.h"
#include "filelist/AddCheck.h"

#include <QApplication>
#include <QFileDialog>
#include <QLineEdit>
#include <QTest>

void FileListWindow::SetUp()
{
    window = std::make_unique<QWidget>();
    window->setWindowTitle("Velunor");
    window->resize(753, 504);

    static const char* const captions[] = {"Add", "Add Folder", "Remove", "Clean", "Move Down", "Exit", "Move Up"};
    static const int lefts[] = {0, 94, 188, 282, 470, 658, 376};
    for (int i = 0; i < 7; ++i) {
        auto* b = new QPushButton(captions[i], window.get());
        b->setGeometry(lefts[i], 0, 94, 65);
        b->setFocusPolicy(Qt::StrongFocus);
        tools.append(b);
    }
    lblPageNum = new QLabel("Page Number Of Selected File: 0", window.get());
    lblPageNum->setGeometry(316, 76, 179, 14);
    List1 = new QListWidget(window.get());
    List1->setGeometry(8, 94, 487, 326);
    List2 = new QListWidget(window.get());
    List2->setGeometry(422, 490, 17, 18);
    picText = new QWidget(window.get());
    picText->setGeometry(176, 230, 149, 19);
    lblText = new QLabel("Drag && Drop Files Here", picText);
    lblText->setGeometry(6, 2, 139, 14);
    picDoor = new QLabel(window.get());
    picDoor->setGeometry(2, 68, 749, 411);
    picDoor->raise();

    FileListWidgets w;
    w.window = window.get();
    w.List1 = List1;
    w.List2 = List2;
    w.picDoor = picDoor;
    w.picText = picText;
    w.lblText = lblText;
    w.lblPageNum = lblPageNum;
    for (auto* b : tools)
        w.CmdToolsBar.append(b);
    dialogs.Init(window.get());
    controller = new FileListController(w, dialogs, sink, window.get());
    found = std::make_unique<QSignalSpy>(controller->addCheck(), &AddCheck::Found);
    for (int i = 0; i < 7; ++i)
        QObject::connect(tools[i], &QPushButton::clicked, controller, [this, i]() { controller->CmdToolsBar_Click(i); });

    window->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(window.get()));
}

QString FileListWindow::toldAfterAdd()
{
    if (found->isEmpty() && !found->wait(60000))
        return {};
    return AddCheck::Message(found->takeFirst().at(0).value<AddCheck::Problems>());
}

void FileListWindow::TearDown()
{
    found.reset();
    window.reset();
    QApplication::processEvents();
}

QStringList FileListWindow::entries() const
{
    QStringList out;
    for (int i = 0; i < List1->count(); ++i)
        out.append(List1->item(i)->text());
    return out;
}

void FileListWindow::setEntries(const QStringList& paths)
{
    List1->clear();
    List1->addItems(paths);
}

void FileListWindow::clickRow(int row)
{
    List1->scrollToItem(List1->item(row));
    const QRect r = List1->visualItemRect(List1->item(row));
    QTest::mouseClick(List1->viewport(), Qt::LeftButton, Qt::NoModifier, r.center());
}

void FileListWindow::clickTool(int index)
{
    QTest::mouseClick(tools[index], Qt::LeftButton);
}

int FileListWindow::selectedRow() const
{
    const auto items = List1->selectedItems();
    return items.isEmpty() ? -1 : List1->row(items.first());
}

QFileDialog* asOpenDialog(QWidget* modal, QLineEdit** fileName)
{
    auto* fd = qobject_cast<QFileDialog*>(modal);
    *fileName = fd ? fd->findChild<QLineEdit*>("fileNameEdit") : nullptr;
    if (!*fileName) {
        ADD_FAILURE() << "not the open dialog";
        modal->close();
        return nullptr;
    }
    return fd;
}

void openByName(QFileDialog* fd, QLineEdit* fileName, const QString& folder, const QString& name)
{
    fd->setDirectory(folder);
    fileName->setText(name);
    // The Open button follows the dialog's file model, which may still be
    // reading the folder; accept() takes the typed name as the button would.
    if (!testsupport::pressButton(fd, "Open") || fd->isVisible())
        static_cast<QDialog*>(fd)->accept();
}
