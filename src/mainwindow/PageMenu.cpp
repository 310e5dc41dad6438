#include "mainwindow/PageMenu.h"

#include "engine/job/OptionsFile.h"
#include "engine/job/PageOptions.h"
#include "platform/MessageSink.h"
#include "platform/ProgramName.h"

#include <QActionGroup>
#include <QComboBox>
#include <QDialog>
#include <QDialogButtonBox>
#include <QDoubleSpinBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QMenu>
#include <QMenuBar>
#include <QSpinBox>

#include <iterator>

namespace {

// The paper items, in menu order, with their sizes' names.
const struct {
    const char* name;
    const char* text;
    const char* size;
} kPapers[] = {
    {"menuPagePicture", "Picture Size (200 ppi)", "picture"},
    {"menuPageNative", "Picture Size (its own resolution)", "native"},
    {"menuPageA4", "A4", "A4"},
    {"menuPageLetter", "Letter", "Letter"},
    {"menuPageA3", "A3", "A3"},
    {"menuPageA5", "A5", "A5"},
    {"menuPageLegal", "Legal", "Legal"},
};

const PageLayout::Unit kUnits[] = {PageLayout::Unit::Mm, PageLayout::Unit::Cm, PageLayout::Unit::In, PageLayout::Unit::Pt};

QComboBox* unitBox(QWidget* parent, PageLayout::Unit unit)
{
    auto* box = new QComboBox(parent);
    box->setObjectName(QStringLiteral("cboUnit"));
    for (PageLayout::Unit u : kUnits) {
        box->addItem(PageLayout::UnitText(u));
        if (u == unit)
            box->setCurrentIndex(box->count() - 1);
    }
    return box;
}

QDoubleSpinBox* lengthBox(QWidget* parent, const char* name, double value, double minimum)
{
    auto* spin = new QDoubleSpinBox(parent);
    spin->setObjectName(QString::fromLatin1(name));
    spin->setDecimals(2);
    spin->setRange(minimum, 14400);
    spin->setValue(value);
    return spin;
}

// A small modal dialog: the fields in a form, OK and Cancel below.
struct SmallDialog {
    QDialog dialog;
    QFormLayout* form;
    QDialogButtonBox* buttons = nullptr;
    SmallDialog(QWidget* owner, const char* name, const QString& title) : dialog(owner)
    {
        dialog.setObjectName(QString::fromLatin1(name));
        dialog.setWindowTitle(title);
        form = new QFormLayout(&dialog);
    }
    // Below the fields; made at the latest by exec().
    QDialogButtonBox* addButtons()
    {
        if (!buttons) {
            buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, &dialog);
            QObject::connect(buttons, &QDialogButtonBox::accepted, &dialog, &QDialog::accept);
            QObject::connect(buttons, &QDialogButtonBox::rejected, &dialog, &QDialog::reject);
            form->addRow(buttons);
        }
        return buttons;
    }
    bool exec()
    {
        addButtons();
        return dialog.exec() == QDialog::Accepted;
    }
};

// The paper item of a layout: a named paper's, else "Custom Size...".
QString name(const PageLayout& layout)
{
    for (const auto& p : kPapers) {
        if (layout.SizeText() == QLatin1String(p.size))
            return QString::fromLatin1(p.name);
    }
    return QStringLiteral("menuPageCustom");
}

PageLayout::Unit unitAt(const QComboBox* box)
{
    return kUnits[qBound(0, box->currentIndex(), int(std::size(kUnits)) - 1)];
}

double pointsPer(PageLayout::Unit unit)
{
    return PageLayout::Length{1, unit}.Points();
}

QString lengthText(const QDoubleSpinBox* spin, const QComboBox* unit)
{
    return QString::number(spin->value(), 'g', 10) + unit->currentText();
}

} // namespace

PageMenu::PageMenu(QWidget* window, QMenuBar* bar, QAction* before, MessageSink& sink)
    : QObject(window), m_window(window), m_sink(sink), m_menu(new QMenu(QStringLiteral("Page"), bar)),
      m_sizes(new QActionGroup(this)), m_orientations(new QActionGroup(this))
{
    m_menu->setObjectName(QStringLiteral("menuPage"));
    bar->insertMenu(before, m_menu);

    for (const auto& p : kPapers) {
        const QString size = QString::fromLatin1(p.size);
        connect(item(QString::fromLatin1(p.name), QString::fromLatin1(p.text), m_sizes), &QAction::triggered, this,
                [this, size]() { menuPaper_Click(size); });
    }
    connect(item(QStringLiteral("menuPageCustom"), QStringLiteral("Custom Size..."), m_sizes), &QAction::triggered, this,
            &PageMenu::menuCustom_Click);
    m_menu->addSeparator()->setObjectName(QStringLiteral("menuPageS1"));
    const struct {
        const char* name;
        const char* text;
        PageLayout::Orientation orientation;
    } orientations[] = {{"menuOrientAuto", "Automatic Orientation", PageLayout::Orientation::Auto},
                        {"menuOrientPortrait", "Portrait", PageLayout::Orientation::Portrait},
                        {"menuOrientLandscape", "Landscape", PageLayout::Orientation::Landscape}};
    for (const auto& o : orientations) {
        const PageLayout::Orientation which = o.orientation;
        connect(item(QString::fromLatin1(o.name), QString::fromLatin1(o.text), m_orientations), &QAction::triggered, this,
                [this, which]() { menuOrientation_Click(which); });
    }
    m_menu->addSeparator()->setObjectName(QStringLiteral("menuPageS2"));
    connect(item(QStringLiteral("menuMargin"), QStringLiteral("Margin...")), &QAction::triggered, this,
            &PageMenu::menuMargin_Click);
    m_shrink = item(QStringLiteral("menuShrink"), QStringLiteral("Shrink Only"));
    m_shrink->setCheckable(true);
    connect(m_shrink, &QAction::triggered, this, &PageMenu::menuShrink_Click);
    connect(item(QStringLiteral("menuMaxPpi"), QStringLiteral("Limit Resolution...")), &QAction::triggered, this,
            &PageMenu::menuMaxPpi_Click);
    m_menu->addSeparator()->setObjectName(QStringLiteral("menuPageS5"));
    m_rotate = item(QStringLiteral("menuRotatePages"), QStringLiteral("Turn Pages Upright (with text)"));
    m_rotate->setCheckable(true);
    connect(m_rotate, &QAction::triggered, this, &PageMenu::menuRotatePages_Click);
    m_deskew = item(QStringLiteral("menuDeskew"), QStringLiteral("Straighten Pages"));
    m_deskew->setCheckable(true);
    connect(m_deskew, &QAction::triggered, this, &PageMenu::menuDeskew_Click);
    showChecks();
}

QAction* PageMenu::item(const QString& name, const QString& text, QActionGroup* group)
{
    // As the designed items: no shortcut keys, no special role.
    QAction* a = m_menu->addAction(text);
    a->setObjectName(name);
    a->setMenuRole(QAction::NoRole);
    if (group) {
        a->setCheckable(true);
        group->addAction(a);
    }
    return a;
}

void PageMenu::Load(const QString& path)
{
    m_path = path;
    OptionsFile file(path);
    file.Load();
    m_layout = PageOptions::Read(file);
    showChecks();
}

void PageMenu::showChecks()
{
    const QString paper = name(m_layout);
    for (QAction* a : m_sizes->actions())
        a->setChecked(a->objectName() == paper);
    const QString orientation = m_layout.orientation == PageLayout::Orientation::Auto       ? "menuOrientAuto"
                                : m_layout.orientation == PageLayout::Orientation::Portrait ? "menuOrientPortrait"
                                                                                            : "menuOrientLandscape";
    for (QAction* a : m_orientations->actions())
        a->setChecked(a->objectName() == orientation);
    m_shrink->setChecked(m_layout.fit == PageLayout::Fit::Shrink);
    m_rotate->setChecked(m_layout.rotatePages);
    m_deskew->setChecked(m_layout.deskew);
    // The paper in force is shown where the menu is; the designed page
    // leaves the title as it is.
    m_menu->setTitle(m_layout.IsPictureSize() ? QStringLiteral("Page") : QStringLiteral("Page (%1)").arg(paperText()));
}

QString PageMenu::paperText() const
{
    if (name(m_layout) != QLatin1String("menuPageCustom"))
        return m_layout.SizeText();
    // A converted custom size reads as the dialog showed it.
    const auto side = [](const PageLayout::Length& l) {
        QString t = QString::number(l.value, 'f', 2);
        while (t.endsWith(QLatin1Char('0')))
            t.chop(1);
        if (t.endsWith(QLatin1Char('.')))
            t.chop(1);
        return t;
    };
    return side(m_layout.GivenWidth()) + "x" + side(m_layout.GivenHeight()) +
           PageLayout::UnitText(m_layout.GivenHeight().unit);
}

void PageMenu::apply(const PageLayout& layout)
{
    const QString problem = layout.Problem();
    if (!problem.isEmpty()) {
        QString text = problem;
        text[0] = text[0].toUpper();
        m_sink.showMessage(ProgramName, text + ".", MessageIcon::Exclamation);
    } else if (layout != m_layout) {
        m_layout = layout;
        if (!m_path.isEmpty()) {
            // Keys of other parts of the program stay as they are on disk.
            OptionsFile file(m_path);
            file.Load();
            PageOptions::Write(m_layout, &file);
            QString error;
            if (!file.Save(&error))
                m_sink.showMessage(ProgramName, QStringLiteral("The page choices could not be kept for the next start: %1")
                                                    .arg(error), MessageIcon::Exclamation);
        }
    }
    showChecks();
}

void PageMenu::menuPaper_Click(const QString& size)
{
    PageLayout l = m_layout;
    QString ignored;
    l.SetSize(size, &ignored);
    apply(l);
}

void PageMenu::menuCustom_Click()
{
    SmallDialog d(m_window, "dlgCustomSize", QStringLiteral("Custom Size"));
    // Starts from the paper in use, in its own unit; A4 for the picture size.
    PageLayout::Length w{210, PageLayout::Unit::Mm}, h{297, PageLayout::Unit::Mm};
    if (!m_layout.IsPictureSize()) {
        w = m_layout.GivenWidth();
        h = m_layout.GivenHeight();
    }
    // 0 may be typed, and is then said to be unusable beside the fields.
    auto* width = lengthBox(&d.dialog, "txtWidth", w.value, 0);
    auto* height = lengthBox(&d.dialog, "txtHeight", h.value, 0);
    width->setMaximum(1e6);
    height->setMaximum(1e6);
    auto* unit = unitBox(&d.dialog, w.unit);
    auto* problem = new QLabel(&d.dialog);
    problem->setObjectName(QStringLiteral("lblSizeProblem"));
    problem->setWordWrap(true);
    problem->setStyleSheet(QStringLiteral("color: #b00020"));
    d.form->addRow(QStringLiteral("Width:"), width);
    d.form->addRow(QStringLiteral("Height:"), height);
    d.form->addRow(QStringLiteral("Unit:"), unit);
    d.form->addRow(problem);
    QPushButton* ok = d.addButtons()->button(QDialogButtonBox::Ok);

    // The sides in points, exactly, whatever the boxes show: a change of
    // unit converts them without rounding creeping in.
    double points[2] = {w.Points(), h.Points()};
    PageLayout::Unit shown = w.unit;
    bool converting = false;
    PageLayout chosen = m_layout;
    const auto check = [&] {
        const double per = pointsPer(shown);
        const QString size = QString::number(points[0] / per, 'g', 10) + "x" + QString::number(points[1] / per, 'g', 10) +
                             PageLayout::UnitText(shown);
        PageLayout l = m_layout;
        QString error;
        if (l.SetSize(size, &error))
            error = l.Problem();
        if (!error.isEmpty())
            error[0] = error[0].toUpper();
        problem->setText(error.isEmpty() ? QString() : error + ".");
        problem->setVisible(!error.isEmpty());
        ok->setEnabled(error.isEmpty());
        chosen = l;
    };
    QDoubleSpinBox* boxes[2] = {width, height};
    for (int k = 0; k < 2; ++k)
        connect(boxes[k], &QDoubleSpinBox::valueChanged, &d.dialog, [&, k](double v) {
            if (converting)
                return;
            points[k] = v * pointsPer(shown);
            check();
        });
    connect(unit, &QComboBox::currentIndexChanged, &d.dialog, [&] {
        shown = unitAt(unit);
        converting = true;
        for (int k = 0; k < 2; ++k)
            boxes[k]->setValue(points[k] / pointsPer(shown));
        converting = false;
        check();
    });
    check();
    if (!d.exec()) {
        showChecks();
        return;
    }
    apply(chosen);
}

void PageMenu::menuOrientation_Click(PageLayout::Orientation orientation)
{
    PageLayout l = m_layout;
    l.orientation = orientation;
    apply(l);
}

void PageMenu::menuMargin_Click()
{
    SmallDialog d(m_window, "dlgMargin", QStringLiteral("Margin"));
    auto* margin = lengthBox(&d.dialog, "txtMargin", m_layout.margin.value, 0);
    auto* unit = unitBox(&d.dialog, m_layout.margin.unit);
    d.form->addRow(QStringLiteral("Margin on every side:"), margin);
    d.form->addRow(QStringLiteral("Unit:"), unit);
    if (!d.exec())
        return;
    PageLayout l = m_layout;
    QString error;
    if (!l.SetMargin(lengthText(margin, unit), &error)) {
        error[0] = error[0].toUpper();
        m_sink.showMessage(ProgramName, error + ".", MessageIcon::Exclamation);
        return;
    }
    apply(l);
}

void PageMenu::menuShrink_Click()
{
    PageLayout l = m_layout;
    l.fit = m_shrink->isChecked() ? PageLayout::Fit::Shrink : PageLayout::Fit::Into;
    apply(l);
}

void PageMenu::menuRotatePages_Click()
{
    PageLayout l = m_layout;
    l.rotatePages = m_rotate->isChecked();
    apply(l);
}

void PageMenu::menuDeskew_Click()
{
    PageLayout l = m_layout;
    l.deskew = m_deskew->isChecked();
    apply(l);
}

void PageMenu::menuMaxPpi_Click()
{
    SmallDialog d(m_window, "dlgMaxPpi", QStringLiteral("Limit Resolution"));
    auto* ppi = new QSpinBox(&d.dialog);
    ppi->setObjectName(QStringLiteral("txtMaxPpi"));
    ppi->setRange(0, 100000);
    ppi->setSpecialValueText(QStringLiteral("None")); // 0: no limit
    ppi->setSuffix(QStringLiteral(" ppi"));
    ppi->setValue(m_layout.maxPpi);
    d.form->addRow(QStringLiteral("At most (pixels per inch):"), ppi);
    if (!d.exec())
        return;
    PageLayout l = m_layout;
    l.maxPpi = ppi->value();
    apply(l);
}
