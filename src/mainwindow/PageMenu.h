#pragma once
#include "engine/pdf/PageLayout.h"

#include <QObject>
#include <QString>

class MessageSink;
class QAction;
class QActionGroup;
class QMenu;
class QMenuBar;
class QWidget;

// The "Page" menu, beside the designed menus: paper size, orientation,
// margin, "Shrink Only", the resolution limit, turning pages upright and
// straightening them. It holds the page layout
// the conversion job reads at every page, so it stays live during a job,
// and keeps it in the options file at every change; the next start takes it
// from there (a damaged file gives the defaults).
class PageMenu : public QObject {
    Q_OBJECT
public:
    // Builds the menu and puts it into `bar` before the menu of `before`.
    PageMenu(QWidget* window, QMenuBar* bar, QAction* before, MessageSink& sink);

    // Reads the layout from the options file at `path` and checks its items.
    void Load(const QString& path);
    const PageLayout& Layout() const { return m_layout; }
    QMenu* Menu() const { return m_menu; }

    // Handlers.
    void menuPaper_Click(const QString& size);
    void menuCustom_Click();
    void menuOrientation_Click(PageLayout::Orientation orientation);
    void menuMargin_Click();
    void menuShrink_Click();
    void menuMaxPpi_Click();
    void menuRotatePages_Click();
    void menuDeskew_Click();

private:
    QAction* item(const QString& name, const QString& text, QActionGroup* group = nullptr);
    // Takes `layout` when it is usable (else says why), then puts the
    // checks where the layout is and writes the options file.
    void apply(const PageLayout& layout);
    void showChecks();
    // The paper as the menu's title shows it: "A4", "100x150mm".
    QString paperText() const;

    QWidget* m_window;
    MessageSink& m_sink;
    QMenu* m_menu;
    QActionGroup* m_sizes;
    QActionGroup* m_orientations;
    QAction* m_shrink = nullptr;
    QAction* m_rotate = nullptr;
    QAction* m_deskew = nullptr;
    PageLayout m_layout;
    QString m_path;
};
