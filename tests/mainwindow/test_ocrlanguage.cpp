#include "ScopedEnv.h"
#include "TestSupport.h"
#include "mainwindow/OcrLanguageDialog.h"
#include "mainwindow/OcrMenu.h"

#include <QAction>
#include <QDialogButtonBox>
#include <QFile>
#include <QMainWindow>
#include <QMap>
#include <QMenu>
#include <QMenuBar>
#include <QTemporaryDir>
#include <QListWidget>
#include <QPushButton>
#include <QTest>
#include <gtest/gtest.h>

using namespace testsupport;

namespace {

QPushButton* okButton(const OcrLanguageDialog& d)
{
    return d.findChild<QDialogButtonBox*>()->button(QDialogButtonBox::Ok);
}

} // namespace

// The installed languages by name, the current choice checked and first in
// its order; Space checks and clears a line; OK only with a language.
TEST(OcrLanguageDialog, ListsInstalledLanguagesAndTakesTheChoiceByKeys)
{
    OcrLanguageDialog d({"chi_sim", "deu", "eng", "fra"}, "fra+eng+xyz");
    d.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&d));
    QListWidget* list = d.List();
    QStringList shown;
    for (int i = 0; i < list->count(); ++i)
        shown << list->item(i)->text() + (list->item(i)->checkState() == Qt::Checked ? "*" : "");
    EXPECT_EQ(shown.join(", "), "French (fra)*, English (eng)*, Chinese (chi_sim), German (deu)");
    EXPECT_EQ(d.Languages(), "fra+eng");

    list->setFocus();
    const struct {
        int row;
        const char* after;
        bool ok;
    } steps[] = {{0, "eng", true}, {1, "", false}, {3, "deu", true}, {0, "fra+deu", true}};
    for (const auto& s : steps) {
        list->setCurrentRow(s.row);
        QTest::keyClick(list, Qt::Key_Space);
        EXPECT_EQ(d.Languages(), s.after) << s.row;
        EXPECT_EQ(okButton(d)->isEnabled(), s.ok) << s.row;
    }
    QTest::mouseClick(okButton(d), Qt::LeftButton);
    EXPECT_EQ(d.result(), QDialog::Accepted);
}

// The two items through the menu bar with the mouse: the check and the
// languages are kept at once under their keys; the job reads the languages
// only while the item is checked.
TEST(OcrMenu, ItemsKeepTheirChoiceInTheOptions)
{
    QTemporaryDir data;
    for (const char* f : {"deu.traineddata", "eng.traineddata", "osd.traineddata"})
        ASSERT_TRUE(writeFile(data.path() + "/" + f, "x"));
    ScopedEnv env;
    env.set("TESSDATA_PREFIX", QFile::encodeName(data.path()));

    QMap<QString, QString> options;
    QMainWindow window;
    QMenu* page = window.menuBar()->addMenu("Page");
    OcrMenu ocr(page, {[&](const QString& k, const QString& d) { return options.value(k, d); },
                       [&](const QString& k, const QString& v) { options[k] = v; }},
                &window);
    window.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
    EXPECT_FALSE(ocr.Searchable()->isChecked());
    EXPECT_EQ(ocr.JobLanguages(), "");

    const auto choose = [&](QAction* item) {
        QMenuBar* bar = window.menuBar();
        QTest::mouseClick(bar, Qt::LeftButton, {}, bar->actionGeometry(page->menuAction()).center());
        ASSERT_TRUE(QTest::qWaitForWindowExposed(page));
        QTest::mouseClick(page, Qt::LeftButton, {}, page->actionGeometry(item).center());
    };
    choose(ocr.Searchable());
    EXPECT_TRUE(ocr.Searchable()->isChecked());
    EXPECT_EQ(options.value("ocr.enabled"), "1");
    EXPECT_EQ(ocr.JobLanguages(), "eng");

    QStringList listed;
    whenModalOpens([&](QWidget* modal) {
        auto* dialog = qobject_cast<OcrLanguageDialog*>(modal);
        ASSERT_TRUE(dialog);
        for (int i = 0; i < dialog->List()->count(); ++i)
            listed << dialog->List()->item(i)->text();
        dialog->List()->setFocus();
        dialog->List()->setCurrentRow(1); // German
        QTest::keyClick(dialog->List(), Qt::Key_Space);
        pressButton(dialog, "OK");
    });
    choose(ocr.Language());
    EXPECT_EQ(listed.join(", "), "English (eng), German (deu)");
    EXPECT_EQ(options.value("ocr.languages"), "eng+deu");
    EXPECT_EQ(ocr.JobLanguages(), "eng+deu");

    choose(ocr.Searchable());
    EXPECT_EQ(options.value("ocr.enabled"), "0");
    EXPECT_EQ(ocr.JobLanguages(), "");
}
