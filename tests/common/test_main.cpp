#include "LsanSuppressions.h"

#include <QApplication>
#include <gtest/gtest.h>

// Defaults for the sanitizer runtimes, so a test program run by hand behaves
// as under ./test. Leaks inside system libraries we cannot fix are ignored.
extern "C" const char* __asan_default_options() { return "detect_leaks=1"; }
extern "C" const char* __ubsan_default_options() { return "print_stacktrace=1:halt_on_error=1"; }
extern "C" const char* __lsan_default_suppressions()
{
    return kLsanSuppressions;
}

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
