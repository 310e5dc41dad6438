#pragma once
#include "ScopedEnv.h"
#include "mainwindow/frmPrinting.h"

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QTemporaryDir>
#include <QUrl>
#include <gtest/gtest.h>
#include <memory>

class QLabel;
class QLineEdit;
class QSlider;
class QToolButton;

// Takes what the program asks the desktop to open, instead of a browser or
// a file manager.
class OpenedUrls : public QObject {
    Q_OBJECT
public:
    QList<QUrl> urls;
public slots:
    void open(const QUrl& url) { urls.append(url); }
};

// A main window in a private world: HOME, APPDATA, XDG_CONFIG_HOME and
// XDG_CACHE_HOME point into a temporary folder, so nothing touches the real
// user's files. The window's "end the program" only counts, and what it
// opens on the desktop is only noted (`opened`).
class WindowFixture : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    void setEnv(const char* name, const QByteArray& value) { m_env->set(name, value); }
    QString home() const { return m_tmp.path() + "/home"; }
    QString appData() const { return m_tmp.path() + "/appdata"; }
    QString cacheHome() const { return m_tmp.path() + "/cache"; }
    QString settingsFile() const { return appData() + "/setting.dll"; }
    QString tmp() const { return m_tmp.path(); }

    // Constructs the window and runs its start-up (not shown).
    frmPrinting& load(double twipsPerPixel = 0);
    // Shows it and makes it the active window.
    void showActive();

    QLineEdit* text(const char* name) const;
    QLabel* label(const char* name) const;
    QSlider* slider() const;
    QToolButton* tool(int index) const;

    std::unique_ptr<frmPrinting> window;
    int ended = 0;
    OpenedUrls opened;

private:
    QTemporaryDir m_tmp;
    std::unique_ptr<testsupport::ScopedEnv> m_env;
};
