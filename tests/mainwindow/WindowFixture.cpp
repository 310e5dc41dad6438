#include "WindowFixture.h"

#include "platform/widgets/Skin.h"

#include <QApplication>
#include <QDesktopServices>
#include <QDir>
#include <QLabel>
#include <QLineEdit>
#include <QSlider>
#include <QTest>
#include <QToolButton>

void WindowFixture::SetUp()
{
    ASSERT_TRUE(m_tmp.isValid());
    m_env = std::make_unique<testsupport::ScopedEnv>();
    for (const QString& d : {home(), appData(), cacheHome(), tmp() + "/config"})
        ASSERT_TRUE(QDir().mkpath(d));
    setEnv("HOME", QFile::encodeName(home()));
    setEnv("APPDATA", QFile::encodeName(appData()));
    setEnv("XDG_CONFIG_HOME", QFile::encodeName(tmp() + "/config"));
    setEnv("XDG_CACHE_HOME", QFile::encodeName(cacheHome()));
    QDesktopServices::setUrlHandler("file", &opened, "open");
}

void WindowFixture::TearDown()
{
    window.reset();
    QDesktopServices::unsetUrlHandler("file");
    SkinH_Detach();
    m_env.reset();
}

frmPrinting& WindowFixture::load(double twipsPerPixel)
{
    window = std::make_unique<frmPrinting>();
    window->setProgramEnder([this]() { ++ended; });
    if (twipsPerPixel > 0)
        window->setTwipsPerPixel(twipsPerPixel, twipsPerPixel);
    window->Form_Load();
    return *window;
}

void WindowFixture::showActive()
{
    window->show();
    QApplication::setActiveWindow(window.get());
    window->activateWindow();
    EXPECT_TRUE(QTest::qWaitForWindowActive(window.get()));
}

QLineEdit* WindowFixture::text(const char* name) const
{
    auto* w = window->findChild<QLineEdit*>(name);
    EXPECT_NE(w, nullptr) << name;
    return w;
}

QLabel* WindowFixture::label(const char* name) const
{
    auto* w = window->findChild<QLabel*>(name);
    EXPECT_NE(w, nullptr) << name;
    return w;
}

QSlider* WindowFixture::slider() const
{
    return window->findChild<QSlider*>("Slider1");
}

QToolButton* WindowFixture::tool(int index) const
{
    for (QToolButton* b : window->findChildren<QToolButton*>("CmdToolsBar")) {
        if (b->property("Index").toInt() == index)
            return b;
    }
    ADD_FAILURE() << "no toolbar button " << index;
    return nullptr;
}
