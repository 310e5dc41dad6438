#include "mainwindow/OcrLanguageDialog.h"

#include <QDialogButtonBox>
#include <QLabel>
#include <QListWidget>
#include <QLocale>
#include <QPushButton>
#include <QVBoxLayout>

OcrLanguageDialog::OcrLanguageDialog(const QStringList& installed, const QString& current, QWidget* parent)
    : QDialog(parent), m_list(new QListWidget(this)),
      m_buttons(new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this))
{
    setWindowTitle(QStringLiteral("OCR Language"));
    auto* layout = new QVBoxLayout(this);
    auto* label = new QLabel(installed.isEmpty()
                                 ? QStringLiteral("No text recognition language is installed. Please install one "
                                                  "(Debian package \"tesseract-ocr-eng\" for English).")
                                 : QStringLiteral("Languages of the pages' text (more come with Debian's "
                                                  "tesseract-ocr-LANG packages):"),
                             this);
    label->setWordWrap(true);
    layout->addWidget(label);
    layout->addWidget(m_list);
    layout->addWidget(m_buttons);

    const QStringList chosen = current.split(QLatin1Char('+'), Qt::SkipEmptyParts);
    QStringList order;
    for (const QString& c : chosen) {
        if (installed.contains(c) && !order.contains(c))
            order << c;
    }
    for (const QString& c : installed) {
        if (!order.contains(c))
            order << c;
    }
    for (const QString& c : order) {
        auto* item = new QListWidgetItem(Describe(c), m_list);
        item->setData(Qt::UserRole, c);
        item->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemIsUserCheckable);
        item->setCheckState(chosen.contains(c) ? Qt::Checked : Qt::Unchecked);
    }
    connect(m_list, &QListWidget::itemChanged, this, &OcrLanguageDialog::update);
    connect(m_buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(m_buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    update();
}

QString OcrLanguageDialog::Languages() const
{
    QStringList codes;
    for (int i = 0; i < m_list->count(); ++i) {
        if (m_list->item(i)->checkState() == Qt::Checked)
            codes << m_list->item(i)->data(Qt::UserRole).toString();
    }
    return codes.join(QLatin1Char('+'));
}

QString OcrLanguageDialog::Describe(const QString& code)
{
    // Tesseract's codes are ISO 639-2 ("deu"), some with a script ("chi_sim").
    const QString base = code.section(QLatin1Char('_'), 0, 0);
    const QLocale::Language language = QLocale::codeToLanguage(base, QLocale::ISO639Part2);
    if (language == QLocale::AnyLanguage || language == QLocale::C)
        return code;
    return QStringLiteral("%1 (%2)").arg(QLocale::languageToString(language), code);
}

void OcrLanguageDialog::update()
{
    m_buttons->button(QDialogButtonBox::Ok)->setEnabled(!Languages().isEmpty());
}
