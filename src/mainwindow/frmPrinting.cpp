#include "mainwindow/frmPrinting.h"

#include "ui_frmPrinting.h"

#include "engine/ConversionJob.h"
#include "engine/JobWorkArea.h"
#include "engine/PdfDate.h"
#include "engine/SettingsFile.h"
#include "filelist/FileListController.h"
#include "mainwindow/LayoutScaler.h"
#include "mainwindow/QualityWords.h"
#include "platform/AppPaths.h"
#include "platform/DOSOutputs.h"
#include "platform/EventPump.h"
#include "platform/FolderChooser.h"
#include "platform/Skin.h"
#include "preview/ShowImage.h"

#include <QApplication>
#include <QCloseEvent>
#include <QDesktopServices>
#include <QFileInfo>
#include <QFontDatabase>
#include <QFontMetrics>
#include <QKeyEvent>
#include <QLabel>
#include <QPushButton>
#include <QMessageBox>
#include <QScreen>
#include <QTimer>
#include <QToolButton>
#include <QUrl>

#include <algorithm>
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

QFont controlFont(double points, bool bold = false)
{
    QFont f(frmPrinting::ControlFontFamily());
    f.setPointSizeF(points);
    f.setBold(bold);
    return f;
}

} // namespace

QString frmPrinting::ControlFontFamily()
{
    static const QString family = []() {
        if (QFontDatabase::hasFamily(QStringLiteral("Tahoma")))
            return QStringLiteral("Tahoma");
        return QFontDatabase::systemFont(QFontDatabase::GeneralFont).family();
    }();
    return family;
}

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

    // The preview control at its place, with its defaults.
    m_prewImage = new ShowImage(ui->centralwidget);
    m_prewImage->setObjectName(QStringLiteral("prewImage"));
    m_prewImage->setGeometry(LayoutScaler(LayoutScaler::DesignTwipsPerPixel, LayoutScaler::DesignTwipsPerPixel)
                                 .ToPixels(QRectF(4530, 7260, 1245, 225)));
    m_prewImage->lower();

    applyDesignFonts();

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

    m_ender = [this]() {
        if (jobRunning()) {
            // A job is deep in its own event passes: end here and now. Its
            // final copy is atomic and the work folders go at the next start.
            std::fflush(nullptr);
            std::_Exit(0);
        }
        m_workArea.reset();
        QCoreApplication::exit(0);
        // Leaving the event loop is the clean way out (the desktop keeps the
        // clipboard). Should a folder search be yielding, nothing returns to
        // the loop for a while: its next event pass ends the program instead.
        QTimer::singleShot(0, []() {
            std::fflush(nullptr);
            std::_Exit(0);
        });
    };
}

frmPrinting::~frmPrinting() = default;

void frmPrinting::applyDesignFonts()
{
    // Tahoma 9 pt for every control that does not name another.
    const QFont normal = controlFont(9);
    setFont(normal);
    const QList<QWidget*> controls = ui->centralwidget->findChildren<QWidget*>();
    for (QWidget* c : controls)
        c->setFont(normal);
    ui->centralwidget->setFont(normal);
    ui->Command3->setFont(controlFont(9, true));
    ui->lblText->setFont(controlFont(9, true));
    ui->lblPB->setFont(controlFont(7.5, true));
}

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
    m_dos = new DOSOutputs(*this, this);
    m_dialogs.Init(this);
    setWindowTitle(QStringLiteral("Velunor"));
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

    ui->txtCreationDate->setText(PdfDateString());

    rescaleLayout();
    fitCaptions();

    ui->picDoor->setPixmap(ui->imgDoor->pixmap());

    ui->List1->setHorizontalExtent(ListExtentPixels);
    ui->List1->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);

    sweepWorkFolders();

    update();
}

QList<QWidget*> frmPrinting::designControls() const
{
    // Only the window's own controls: the parts of compound widgets (scroll
    // bars, the preview's surface) follow their owner.
    QList<QWidget*> controls = ui->centralwidget->findChildren<QWidget*>(Qt::FindDirectChildrenOnly);
    controls += ui->picText->findChildren<QWidget*>(Qt::FindDirectChildrenOnly);
    return controls;
}

void frmPrinting::rescaleLayout()
{
    double tppX = m_tppX;
    double tppY = m_tppY;
    if (tppX <= 0 || tppY <= 0) {
        const QScreen* s = screen() ? screen() : QGuiApplication::primaryScreen();
        tppX = LayoutScaler::TwipsPerPixel(s ? s->logicalDotsPerInchX() : 96.0);
        tppY = LayoutScaler::TwipsPerPixel(s ? s->logicalDotsPerInchY() : 96.0);
    }
    const LayoutScaler scaler(tppX, tppY);

    // The client area keeps its designed size in pixels.
    const QSize client = ui->centralwidget->size();
    ui->centralwidget->setFixedSize(
        scaler.ToPixels(QSizeF(client.width() * scaler.fx() * LayoutScaler::DesignTwipsPerPixel,
                               client.height() * scaler.fy() * LayoutScaler::DesignTwipsPerPixel)));

    // Every control, those inside picText included. Fonts are read first so
    // that no control's new size leaks into another's through inheritance.
    // txtPath's font is scaled like every other (once), so it matches them.
    const QList<QWidget*> controls = designControls();
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
    adjustSize();
    setFixedSize(sizeHint());
}

const QString frmPrinting::WidestPageNumber = QStringLiteral("Page Number Of Selected File: 32767");
const QString frmPrinting::WidestPercent = QStringLiteral("100%");
const QString frmPrinting::WidestQualityWord = QStringLiteral("Medium");
const QString frmPrinting::WidestProgressCaption = QStringLiteral("Removing Temporary Files...");

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

} // namespace

void frmPrinting::fitCaptions()
{
    // The layout was drawn for Tahoma; other fonts are often wider, and some
    // captions are wider than their boxes even in Tahoma. No caption should
    // be cut: labels grow into the free room beside them (and push the
    // quality percentage along); buttons, which cannot grow, share one font
    // factor, the largest at which every button caption fits.
    struct Caption {
        QWidget* widget;
        QString text;
        int room;
    };
    QList<Caption> buttons;
    for (QPushButton* b : {ui->Command1, ui->cmdBrowse})
        buttons.append({b, b->text(), b->width() - 4});
    buttons.append({ui->Command3, ui->Command3->text(), ui->Command3->width() - ui->Command3->iconSize().width() - 16});
    for (QToolButton* b : std::as_const(m_toolbar))
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
    if (k < 1.0) {
        const QList<QWidget*> controls = designControls();
        QList<QFont> fonts;
        for (QWidget* c : std::as_const(controls))
            fonts.append(c->font());
        for (int i = 0; i < controls.size(); ++i)
            controls[i]->setFont(scaledFont(fonts[i], k));
    }

    // The field labels of the right-hand column may use the column's width.
    const int columnRight = ui->txtTitle->geometry().right();
    for (QLabel* l : {ui->lblTitle, ui->lblCreateFor, ui->lblCreationDate, ui->lblSubject, ui->lblKeywords, ui->Label3})
        widenLabel(l, l->text(), l->x(), columnRight);

    // "File List:" and the page number share the line above the list.
    widenLabel(ui->Label2, ui->Label2->text(), ui->Label2->x(), ui->lblPageNum->x() - 4);
    widenLabel(ui->lblPageNum, WidestPageNumber, ui->Label2->geometry().right() + 6, ui->lblPageNum->geometry().right());

    // "Compress Quality:", the percentage and the word share one line.
    widenLabel(ui->lblJPG, ui->lblJPG->text(), ui->lblJPG->x(), ui->lblQtt->x() - 40);
    if (ui->lblQuality->x() < ui->lblJPG->geometry().right() + 5)
        ui->lblQuality->move(ui->lblJPG->geometry().right() + 5, ui->lblQuality->y());
    widenLabel(ui->lblQuality, WidestPercent, ui->lblQuality->x(), ui->lblQtt->x() - 4);
    widenLabel(ui->lblQtt, WidestQualityWord, ui->lblQuality->geometry().right() + 4, ui->lblQtt->geometry().right());

    // The drop hint box grows around its caption, within the list.
    const int hintNeed = textWidth(ui->lblText, ui->lblText->text(), ui->lblText->font()) + 2;
    if (hintNeed > ui->lblText->width()) {
        const int margin = ui->lblText->x();
        QRect box = ui->picText->geometry();
        const int grow = hintNeed - ui->lblText->width();
        box.adjust(-(grow + 1) / 2, 0, grow / 2, 0);
        box = box.intersected(ui->List1->geometry());
        ui->picText->setGeometry(box);
        ui->lblText->setGeometry(margin, ui->lblText->y(), box.width() - 2 * margin, ui->lblText->height());
    }

    widenLabel(ui->lblPB, WidestProgressCaption, ui->pb->x(), ui->pb->geometry().right());
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
    FocusSweep();
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
    ConversionJob job(*this, *this, *m_dos, *m_workArea);
    job.Run();
}

// ---- Help menu

QString frmPrinting::AboutText()
{
    return QStringLiteral("Velunor %1 \u00B7 2026 \u00B7 made by the Velunor developers")
        .arg(QCoreApplication::applicationVersion().isEmpty() ? QStringLiteral("1.0")
                                                              : QCoreApplication::applicationVersion());
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
    FocusSweep();
}

// ---- What the conversion job reads

int frmPrinting::EntryCount() const
{
    return ui->List1->count();
}

QString frmPrinting::Entry(int i) const
{
    const QListWidgetItem* item = ui->List1->item(i);
    return item ? item->text() : QString();
}

QString frmPrinting::Title() const { return ui->txtTitle->text(); }
QString frmPrinting::Author() const { return ui->txtCreateFor->text(); }
QString frmPrinting::Subject() const { return ui->txtSubject->text(); }
QString frmPrinting::Keywords() const { return ui->txtKeywords->text(); }
QString frmPrinting::CreationDate() const { return ui->txtCreationDate->text(); }
QString frmPrinting::OutputFolder() const { return ui->txtPath->text(); }
void frmPrinting::SetOutputFolder(const QString& folder) { ui->txtPath->setText(folder); }
int frmPrinting::Quality() const { return ui->Slider1->value(); }

// ---- Where the conversion job reports

void frmPrinting::showMessage(const QString& title, const QString& text, MessageIcon icon)
{
    m_sink.showMessage(title, text, icon);
}

bool frmPrinting::askOkCancel(const QString& title, const QString& text)
{
    return m_sink.askOkCancel(title, text);
}

void frmPrinting::SetCaption(const QString& caption)
{
    ui->lblPB->setText(caption);
}

void frmPrinting::SetBarRange(int minimum, int maximum)
{
    ui->pb->setRange(minimum, maximum);
}

void frmPrinting::SetBarValue(int value)
{
    ui->pb->setValue(value);
}

void frmPrinting::SetConvertEnabled(bool enabled)
{
    ui->Command3->setEnabled(enabled);
}

void frmPrinting::SetToolbarEnabled(bool enabled)
{
    for (QToolButton* b : std::as_const(m_toolbar))
        b->setEnabled(enabled);
}

void frmPrinting::FocusSweep()
{
    m_fileList->FocusSweep();
}

void frmPrinting::SetJobRunning(bool running)
{
    m_fileList->SetLocked(running);
}

bool frmPrinting::jobRunning() const
{
    return m_fileList->IsLocked();
}

void frmPrinting::OpenFolder(const QString& folder)
{
    QDesktopServices::openUrl(QUrl::fromLocalFile(folder));
}

void frmPrinting::Beep()
{
    QApplication::beep();
}

void frmPrinting::Yield()
{
    YieldEvents();
}
