#include "mainwindow/frmPrinting.h"

#include "ui_frmPrinting.h"

#include "engine/job/ConversionJob.h"
#include "engine/job/JobWorkArea.h"
#include "engine/job/OptionsFile.h"
#include "engine/pdf/PdfDate.h"
#include "engine/job/SettingsFile.h"
#include "filelist/AddCheck.h"
#include "filelist/FileListController.h"
#include "mainwindow/CaptionFitter.h"
#include "mainwindow/DoorFocusWatch.h"
#include "mainwindow/LayoutScaler.h"
#include "mainwindow/OcrMenu.h"
#include "mainwindow/PageMenu.h"
#include "mainwindow/QualityWords.h"
#include "mainwindow/WindowJobIo.h"
#include "mainwindow/WindowLayout.h"
#include "platform/AppPaths.h"
#include "platform/DOSOutputs.h"
#include "platform/EventPump.h"
#include "platform/widgets/FolderChooser.h"
#include "platform/ProgramName.h"
#include "platform/widgets/Skin.h"
#include "preview/ShowImage.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QDesktopServices>
#include <QFileInfo>
#include <QKeyEvent>
#include <QMessageBox>
#include <QTimer>
#include <QToolButton>
#include <QUrl>

#include <cstdio>
#include <cstdlib>

static void initVelunorResources()
{
    // The pictures live in a static library: register them explicitly.
    Q_INIT_RESOURCE(velunor);
}

namespace {

constexpr int ToolbarCount = 7;
constexpr int ListExtentPixels = 2000;

const char* const ToolbarIcons[ToolbarCount] = {"add", "addfolder", "remove", "clean",
                                                "movedown", "exit", "moveup"};

QIcon resourceIcon(const QString& name)
{
    QIcon icon;
    for (int size : {16, 24, 32, 64})
        icon.addFile(QStringLiteral(":/velunor/icons/%1-%2.png").arg(name).arg(size), QSize(size, size));
    return icon;
}

} // namespace

frmPrinting::frmPrinting(QWidget* parent)
    : QMainWindow(parent)
    , ui(std::make_unique<Ui::frmPrinting>())
    , m_sink(this)
{
    initVelunorResources();
    ui->setupUi(this);
    setWindowIcon(QIcon(QStringLiteral(":/velunor/velunor.png")));

    // The control array: one name, told apart by its index.
    m_toolbar = {ui->CmdToolsBar_0, ui->CmdToolsBar_1, ui->CmdToolsBar_2, ui->CmdToolsBar_3,
                 ui->CmdToolsBar_4, ui->CmdToolsBar_5, ui->CmdToolsBar_6};
    for (int i = 0; i < ToolbarCount; ++i) {
        QToolButton* b = m_toolbar[i];
        b->setObjectName(QStringLiteral("CmdToolsBar"));
        b->setProperty("Index", i);
        b->setIcon(resourceIcon(QString::fromLatin1(ToolbarIcons[i])));
        b->setIconSize(QSize(32, 32));
        connect(b, &QToolButton::clicked, this, [this, i]() { CmdToolsBar_Click(i); });
    }
    ui->Command3->setIcon(resourceIcon(QStringLiteral("convert")));
    ui->Command3->setIconSize(QSize(32, 32));

    // The designed output folder of this platform.
    ui->txtPath->setText(AppPaths::DefaultOutputFolder());

    // The drop hint and the start-up picture lie over the list, the picture
    // over everything below the toolbar.
    ui->picText->raise();
    ui->picDoor->raise();
    // Keys never go unseen into a control under the start-up picture.
    new DoorFocusWatch(ui->picDoor, this);

    // The preview control at its place, with its defaults.
    m_prewImage = new ShowImage(ui->centralwidget);
    m_prewImage->setObjectName(QStringLiteral("prewImage"));
    m_prewImage->setGeometry(LayoutScaler(LayoutScaler::DesignTwipsPerPixel, LayoutScaler::DesignTwipsPerPixel)
                                 .ToPixels(QRectF(4530, 7260, 1245, 225)));
    m_prewImage->lower();

    WindowLayout::ApplyDesignFonts(*this, *ui);

    // The window has the fixed size its layout was drawn for.
    ui->centralwidget->setFixedSize(753, 504);

    // Enter presses the focused button, as Space does.
    for (QAbstractButton* b : std::as_const(m_toolbar))
        b->installEventFilter(this);
    for (QAbstractButton* b : {ui->Command1, ui->cmdBrowse, ui->Command3})
        b->installEventFilter(this);

    connect(ui->Command1, &QPushButton::clicked, this, &frmPrinting::Command1_Click);
    connect(ui->cmdBrowse, &QPushButton::clicked, this, &frmPrinting::cmdBrowse_Click);
    connect(ui->Command3, &QPushButton::clicked, this, &frmPrinting::Command3_Click);
    connect(ui->Slider1, &QSlider::valueChanged, this, &frmPrinting::Slider1_Change);
    ui->Slider1->installEventFilter(this);

    connect(ui->menuAdd, &QAction::triggered, this, [this]() { CmdToolsBar_Click(0); });
    connect(ui->menuFolder, &QAction::triggered, this, [this]() { CmdToolsBar_Click(1); });
    connect(ui->menuRemove, &QAction::triggered, this, [this]() { CmdToolsBar_Click(2); });
    connect(ui->menuRemoveAll, &QAction::triggered, this, [this]() { CmdToolsBar_Click(3); });
    connect(ui->menuDown, &QAction::triggered, this, [this]() { CmdToolsBar_Click(4); });
    connect(ui->menuUp, &QAction::triggered, this, [this]() { CmdToolsBar_Click(6); });
    connect(ui->menuExit, &QAction::triggered, this, &frmPrinting::menuExit_Click);
    connect(ui->menuWeb, &QAction::triggered, this, &frmPrinting::menuWeb_Click);
    connect(ui->menuAbout, &QAction::triggered, this, &frmPrinting::menuAbout_Click);
    // Beside the designed items of Control, after a separator of its own.
    ui->menuContrl->addSeparator()->setObjectName(QStringLiteral("menuStopS"));
    m_menuStop = ui->menuContrl->addAction(QStringLiteral("Stop Converting"));
    m_menuStop->setObjectName(QStringLiteral("menuStop"));
    m_menuStop->setMenuRole(QAction::NoRole);
    m_menuStop->setShortcut(QKeySequence(Qt::Key_Escape));
    m_menuStop->setEnabled(false);
    connect(m_menuStop, &QAction::triggered, this, &frmPrinting::menuStop_Click);

    FileListWidgets w;
    w.window = this;
    w.List1 = ui->List1;
    w.List2 = ui->List2;
    w.picDoor = ui->picDoor;
    w.picText = ui->picText;
    w.lblText = ui->lblText;
    w.lblPageNum = ui->lblPageNum;
    for (QToolButton* b : std::as_const(m_toolbar))
        w.CmdToolsBar.append(b);
    m_fileList = new FileListController(w, m_dialogs, m_sink, this);
    connect(m_fileList, &FileListController::exitRequested, this, &QWidget::close);
    connect(ui->menuSort, &QAction::triggered, m_fileList, &FileListController::menuSort_Click);
    connect(m_fileList->addCheck(), &AddCheck::Found, this, &frmPrinting::tellAddProblems);

    // Beside the designed menus: "Page", between "Control" and "About".
    m_pageMenu = new PageMenu(this, ui->menubar, ui->menuA->menuAction(), m_sink);

    m_jobIo = std::make_unique<WindowJobIo>(*ui, m_toolbar, *m_fileList, m_sink);
    m_jobIo->SetPageMenu(m_pageMenu);
    m_jobIo->SetStopItem(m_menuStop);
    // Searchable pages, at the end of the Page menu, kept in the options file.
    m_pageMenu->Menu()->addSeparator()->setObjectName(QStringLiteral("menuPageS3"));
    const auto options = [] {
        OptionsFile file(OptionsFile::DefaultPath());
        file.Load();
        return file;
    };
    OcrMenu::Store store;
    store.get = [options](const QString& key, const QString& fallback) { return options().Value(key, fallback); };
    store.set = [this, options](const QString& key, const QString& value) {
        // Keys of other parts of the program stay as they are on disk.
        OptionsFile file = options();
        file.SetValue(key, value);
        QString error;
        if (!file.Save(&error))
            m_sink.showMessage(ProgramName, QStringLiteral("The choice \"%1\" could not be kept for the next start: %2")
                                                .arg(key, error), MessageIcon::Exclamation);
    };
    m_ocrMenu = new OcrMenu(m_pageMenu->Menu(), store, this);
    m_jobIo->SetOcrMenu(m_ocrMenu);
    // Documents for archives (PDF/A-2b), last in the Page menu, off unless chosen.
    m_pageMenu->Menu()->addSeparator()->setObjectName(QStringLiteral("menuPageS4"));
    QAction* archive = m_pageMenu->Menu()->addAction(QStringLiteral("PDF/A (Archive)"));
    archive->setObjectName(QStringLiteral("menuPdfa"));
    archive->setMenuRole(QAction::NoRole);
    archive->setCheckable(true);
    const QString archiveKey = QStringLiteral("document.pdfa");
    archive->setChecked(store.get(archiveKey, QStringLiteral("0")) == QLatin1String("1"));
    connect(archive, &QAction::toggled, this,
            [store, archiveKey](bool on) { store.set(archiveKey, on ? QStringLiteral("1") : QStringLiteral("0")); });
    m_jobIo->SetArchiveItem(archive);
    m_ender = [this]() { endProgram(); };
}

frmPrinting::~frmPrinting() = default;

void frmPrinting::setTwipsPerPixel(double x, double y)
{
    m_tppX = x;
    m_tppY = y;
}

void frmPrinting::Form_Load()
{
    if (m_loaded)
        return;
    m_loaded = true;

    SkinH_Attach();
    m_dos = new DOSOutputs(m_sink, this);
    m_dialogs.Init(this);
    setWindowTitle(ProgramName);
    Slider1_Change();

    const QString settings = AppPaths::SettingsFilePath();
    if (QFileInfo::exists(settings)) {
        // Records that are missing leave their fields as they are.
        SettingsValues v{ui->txtTitle->text(), ui->txtCreateFor->text(), ui->txtSubject->text(),
                         ui->txtKeywords->text(), QString::number(ui->Slider1->value()), ui->txtPath->text()};
        if (SettingsFile::Read(settings, &v)) {
            ui->txtTitle->setText(v.title);
            ui->txtCreateFor->setText(v.author);
            ui->txtSubject->setText(v.subject);
            ui->txtKeywords->setText(v.keywords);
            int quality = 0;
            if (SettingsFile::QualityValue(v.quality, ui->Slider1->minimum(), ui->Slider1->maximum(), &quality))
                ui->Slider1->setValue(quality);
            ui->txtPath->setText(v.outputFolder);
            YieldEvents();
        }
    }

    // The page layout lives in a file of its own beside the settings file.
    m_pageMenu->Load(OptionsFile::DefaultPath());

    ui->txtCreationDate->setText(PdfDateString());

    WindowLayout::Rescale(*this, *ui, m_tppX, m_tppY);
    WindowLayout::FitScreen(*this, *ui);
    CaptionFitter::Fit(*ui, m_toolbar);

    QPixmap door = ui->imgDoor->pixmap();
    // A window made smaller to fit its screen shows the whole picture.
    if (door.width() > ui->picDoor->width())
        door = door.scaled(ui->picDoor->size(), Qt::KeepAspectRatio, Qt::SmoothTransformation);
    ui->picDoor->setPixmap(door);

    ui->List1->setHorizontalExtent(ListExtentPixels);
    ui->List1->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);

    sweepWorkFolders();

    update();
}

void frmPrinting::sweepWorkFolders()
{
    m_workArea = std::make_unique<JobWorkArea>();
    m_workArea->Acquire();
    m_workArea->SweepLeftovers();
}

void frmPrinting::closeEvent(QCloseEvent* event)
{
    event->accept();
    Form_Unload();
}

void frmPrinting::endProgram()
{
    if (jobRunning()) {
        // A job is deep in its own event passes: end here and now. Its final
        // copy is atomic; its helpers end before its work folders go.
        if (m_dos)
            ConversionJob::EndAbruptly(*m_dos, m_workArea);
        std::fflush(nullptr);
        std::_Exit(0);
    }
    m_workArea.reset();
    QCoreApplication::exit(0);
    // Leaving the event loop is the clean way out (the desktop keeps the
    // clipboard). Should a folder search be yielding, nothing returns to the
    // loop for a while: its next event pass ends the program instead.
    QTimer::singleShot(0, []() {
        std::fflush(nullptr);
        std::_Exit(0);
    });
}

void frmPrinting::Form_Unload()
{
    if (m_unloading)
        return;
    m_unloading = true;
    SkinH_Detach();
    if (m_ender)
        m_ender();
}

bool frmPrinting::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == ui->Slider1 && event->type() == QEvent::MouseButtonRelease)
        Slider1_Click();
    if (event->type() == QEvent::KeyPress && watched != ui->Slider1) {
        const auto* key = static_cast<QKeyEvent*>(event);
        const bool enter = key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter;
        auto* button = qobject_cast<QAbstractButton*>(watched);
        if (button && enter && (key->modifiers() & ~Qt::KeypadModifier) == Qt::NoModifier) {
            if (!key->isAutoRepeat())
                button->click();
            return true;
        }
    }
    return QMainWindow::eventFilter(watched, event);
}

// ---- Document information and output folder

void frmPrinting::Command1_Click()
{
    ui->txtCreationDate->setText(PdfDateString());
}

void frmPrinting::cmdBrowse_Click()
{
    QString chosen;
    // Cancel keeps what the user had; only a chosen folder replaces it.
    if (ChooseFolder(this, QStringLiteral("Please select a folder:"), &chosen))
        ui->txtPath->setText(chosen);
    m_fileList->FocusSweep();
}

// ---- Compress quality

void frmPrinting::Slider1_Change()
{
    const int v = ui->Slider1->value();
    ui->lblQuality->setText(QualityWords::Percent(v));
    ui->lblQtt->setText(QualityWords::Word(v));
}

void frmPrinting::Slider1_Click()
{
    ui->lblQuality->setText(QualityWords::Percent(ui->Slider1->value()));
}

// ---- Commands

void frmPrinting::CmdToolsBar_Click(int Index)
{
    m_fileList->CmdToolsBar_Click(Index);
}

void frmPrinting::menuExit_Click()
{
    CmdToolsBar_Click(5);
}

void frmPrinting::Command3_Click()
{
    if (ConversionJob::IsRunning())
        return;
    ConversionJob job(*m_jobIo, *m_jobIo, *m_dos, *m_workArea);
    if (m_jobSetup)
        m_jobSetup(job);
    m_job = &job;
    job.Run();
    m_job = nullptr;
    showAddProblems();
}

void frmPrinting::tellAddProblems(const AddCheck::Problems& found)
{
    m_addProblems.Append(found);
    if (!jobRunning())
        showAddProblems();
}

void frmPrinting::showAddProblems()
{
    if (m_addProblems.IsEmpty())
        return;
    auto* box = new QMessageBox(QMessageBox::Warning, ProgramName,
                                AddCheck::Message(m_addProblems), QMessageBox::Ok, this);
    box->setObjectName(QStringLiteral("addProblemsBox"));
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setWindowModality(Qt::NonModal);
    box->show();
    m_addProblems = {};
}

void frmPrinting::menuStop_Click()
{
    if (m_job)
        m_job->RequestStop();
}

// ---- Help menu

QString frmPrinting::AboutText()
{
    return QStringLiteral("%1 %2 \u00B7 2026 \u00B7 made by the %1 developers")
        .arg(ProgramName, QStringLiteral(VELUNOR_VERSION));
}

void frmPrinting::menuWeb_Click()
{
    // Velunor has no web site: its documentation is the README as installed.
    QDesktopServices::openUrl(QUrl::fromLocalFile(m_documentation));
}

void frmPrinting::menuAbout_Click()
{
    QMessageBox box(this);
    box.setObjectName(QStringLiteral("aboutBox"));
    box.setWindowTitle(QStringLiteral("about"));
    box.setText(AboutText());
    box.setIcon(QMessageBox::NoIcon);
    box.setStandardButtons(QMessageBox::Ok);
    box.exec();
    m_fileList->FocusSweep();
}

bool frmPrinting::jobRunning() const
{
    return m_fileList->IsLocked();
}
