#include "mainwindow/OcrLanguageDialog.h"

#include <QDialogButtonBox>
#include <QListWidget>
#include <QPushButton>
#include <QTest>
#include <gtest/gtest.h>

// The installed languages by name, the current choice checked and first in
// its order; Space checks and clears a line; OK only with a language.
TEST(OcrLanguageDialog, ListsInstalledLanguagesAndTakesTheChoiceByKeys)
{
    OcrLanguageDialog d({"chi_sim", "deu", "eng", "fra"}, "fra+eng+xyz");
    d.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&d));
    QListWidget* list = d.List();
    QPushButton* ok = d.findChild<QDialogButtonBox*>()->button(QDialogButtonBox::Ok);
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
        EXPECT_EQ(ok->isEnabled(), s.ok) << s.row;
    }
    QTest::mouseClick(ok, Qt::LeftButton);
    EXPECT_EQ(d.result(), QDialog::Accepted);
}
