#pragma once
#include <QObject>
#include <QString>

#include <functional>

class QAction;
class QMenu;
class QWidget;

// Searchable pages in the window: the checkable "Searchable Text (OCR)"
// item (off by default) and "OCR Language...", added to a menu; both
// choices are kept at once in the window's own options (keys ocr.enabled
// and ocr.languages), beside the designed settings file.
class OcrMenu : public QObject {
    Q_OBJECT
public:
    // The options file's values by key (`fallback` when unset) and their
    // keeping.
    struct Store {
        std::function<QString(const QString& key, const QString& fallback)> get;
        std::function<void(const QString& key, const QString& value)> set;
    };

    OcrMenu(QMenu* menu, Store store, QWidget* dialogOwner);

    // What the job reads: the languages when the item is checked, else empty.
    QString JobLanguages() const;

    QAction* Searchable() const { return m_searchable; }
    QAction* Language() const { return m_language; }

    static QString EnabledKey() { return QStringLiteral("ocr.enabled"); }
    static QString LanguagesKey() { return QStringLiteral("ocr.languages"); }

private:
    void chooseLanguages();

    Store m_store;
    QWidget* m_owner;
    QAction* m_searchable;
    QAction* m_language;
    QString m_languages;
};
