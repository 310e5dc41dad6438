#pragma once
#include <QDialog>
#include <QString>
#include <QStringList>

class QDialogButtonBox;
class QListWidget;

// "OCR Language...": the installed text recognition languages, each a
// checkable line ("German (deu)"); the ones chosen come first, in their
// order, the first being the page's main language. OK needs one at least.
class OcrLanguageDialog : public QDialog {
    Q_OBJECT
public:
    // `installed`: Tesseract's codes; `current`: the choice so far ("deu+eng").
    OcrLanguageDialog(const QStringList& installed, const QString& current, QWidget* parent = nullptr);

    // The checked codes joined by "+", in the order shown.
    QString Languages() const;
    QListWidget* List() const { return m_list; }

    // A language's name in the user's words, with its code.
    static QString Describe(const QString& code);

private:
    void update();

    QListWidget* m_list;
    QDialogButtonBox* m_buttons;
};
