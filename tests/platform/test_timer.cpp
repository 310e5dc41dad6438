#include "TestSupport.h"
#include "platform/clsWaitableTimer.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QKeyEvent>
#include <QLineEdit>
#include <QTimer>
#include <gtest/gtest.h>

#include <sys/resource.h>

namespace {

double cpuSeconds()
{
    rusage u {};
    getrusage(RUSAGE_SELF, &u);
    return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec)
        + double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

TEST(clsWaitableTimer, WaitsItsTimeAndHandlesEventsMeanwhile)
{
    clsWaitableTimer timer;
    bool handled = false;
    bool heldDuringWait = false;
    QTimer::singleShot(0, [&] {
        handled = true;
        heldDuringWait = timer.holdsTimer();
    });
    QElapsedTimer clock;
    clock.start();
    int ms = 50;
    timer.Wait(ms);
    EXPECT_GE(clock.elapsed(), 50);
    EXPECT_EQ(ms, 50);
    EXPECT_TRUE(handled);
    EXPECT_TRUE(heldDuringWait);
    EXPECT_FALSE(timer.holdsTimer());
    // The same object waits again.
    handled = false;
    QTimer::singleShot(0, [&] { handled = true; });
    timer.Wait(20);
    EXPECT_TRUE(handled);
}

TEST(clsWaitableTimer, ZeroIsOnePassOfTheEventLoop)
{
    clsWaitableTimer timer;
    int passes = 0;
    // Posted anew by each handling: one pass handles exactly one.
    std::function<void()> again = [&] {
        ++passes;
        QMetaObject::invokeMethod(QCoreApplication::instance(), again, Qt::QueuedConnection);
    };
    QMetaObject::invokeMethod(QCoreApplication::instance(), again, Qt::QueuedConnection);
    timer.Wait(0);
    EXPECT_EQ(passes, 1);
    EXPECT_FALSE(timer.holdsTimer());
    // Leave nothing posted behind.
    again = [] {};
    QCoreApplication::processEvents();
}

TEST(clsWaitableTimer, InputDoesNotEndTheWaitEarly)
{
    QLineEdit edit;
    edit.show();
    int keys = 0;
    QTimer typist;
    QObject::connect(&typist, &QTimer::timeout, [&] {
        QKeyEvent* press = new QKeyEvent(QEvent::KeyPress, Qt::Key_A, Qt::NoModifier, "a");
        QCoreApplication::postEvent(&edit, press);
        ++keys;
    });
    typist.start(1);
    clsWaitableTimer timer;
    QElapsedTimer clock;
    clock.start();
    timer.Wait(120);
    const qint64 waited = clock.elapsed();
    typist.stop();
    QCoreApplication::processEvents();
    EXPECT_GE(waited, 120);
    EXPECT_GT(keys, 5);
    EXPECT_GT(edit.text().size(), 5);
}

TEST(clsWaitableTimer, NestedWaitReturnsControlToTheOuterOne)
{
    clsWaitableTimer outer;
    bool innerDone = false;
    QTimer::singleShot(0, [&] {
        clsWaitableTimer inner;
        inner.Wait(150);
        innerDone = true;
    });
    QElapsedTimer clock;
    clock.start();
    outer.Wait(30);
    EXPECT_TRUE(innerDone);
    EXPECT_GE(clock.elapsed(), 150);
    EXPECT_FALSE(outer.holdsTimer());
}

TEST(clsWaitableTimer, SleepsInsteadOfSpinning)
{
    clsWaitableTimer timer;
    const double before = cpuSeconds();
    timer.Wait(400);
    const double used = cpuSeconds() - before;
    EXPECT_LT(used, 0.1) << "CPU seconds used during a 0.4 s wait";
}

TEST(clsWaitableTimer, NoTimerWithoutEventLoopRaisesTheWaitError)
{
    // A program with no application object cannot make a timer.
    const auto r = testsupport::runProgram(QStringLiteral(VELUNOR_TEST_HELPER_DIR "/vlnh2_timer"), {});
    ASSERT_EQ(r.exitCode, 0) << qPrintable(r.out + r.err);
    const QStringList parts = r.out.trimmed().split('|');
    ASSERT_EQ(parts.size(), 4) << qPrintable(r.out);
    EXPECT_EQ(parts[1], "clsWaitableTimer");
    EXPECT_TRUE(parts[2].startsWith("[clsWaitableTimer.Wait]")) << qPrintable(parts[2]);
    EXPECT_GT(parts[2].size(), QString("[clsWaitableTimer.Wait]").size());
    EXPECT_EQ(parts[3], "0");
}

} // namespace
