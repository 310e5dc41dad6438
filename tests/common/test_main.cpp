#include <QApplication>
#include <gtest/gtest.h>

// Every test program gets a real QApplication (offscreen in CI), so widget
// tests and engine tests share one entry point.
int main(int argc, char** argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    QApplication::setApplicationName("Velunor");
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
