#include "mainwindow/OcrMenu.h"

#include "engine/job/OcrLanguages.h"
#include "mainwindow/OcrLanguageDialog.h"

#include <QAction>
#include <QMenu>

OcrMenu::OcrMenu(QMenu* menu, Store store, QWidget* dialogOwner)
    : QObject(menu), m_store(std::move(store)), m_owner(dialogOwner)
{
    m_searchable = menu->addAction(QStringLiteral("Searchable Text (OCR)"));
    m_searchable->setObjectName(QStringLiteral("menuSearchable"));
    m_searchable->setCheckable(true);
    m_searchable->setChecked(m_store.get(EnabledKey(), QStringLiteral("0")) == QLatin1String("1"));
    connect(m_searchable, &QAction::toggled, this,
            [this](bool on) { m_store.set(EnabledKey(), on ? QStringLiteral("1") : QStringLiteral("0")); });

    m_languages = m_store.get(LanguagesKey(), QStringLiteral("eng"));
    m_language = menu->addAction(QStringLiteral("OCR Language..."));
    m_language->setObjectName(QStringLiteral("menuOcrLanguage"));
    connect(m_language, &QAction::triggered, this, &OcrMenu::chooseLanguages);
}

QString OcrMenu::JobLanguages() const { return m_searchable->isChecked() ? m_languages : QString(); }

void OcrMenu::chooseLanguages()
{
    OcrLanguageDialog dialog(OcrLanguages::Installed(), m_languages, m_owner);
    if (dialog.exec() == QDialog::Accepted) {
        m_languages = dialog.Languages();
        m_store.set(LanguagesKey(), m_languages);
    }
}
