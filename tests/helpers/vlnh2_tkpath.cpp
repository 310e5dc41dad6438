// Test helper: prints where the toolkit steps find pdftk when run from the
// folder this program lies in.
#include "engine/ToolkitSteps.h"

#include <QCoreApplication>
#include <cstdio>

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    std::printf("%s\n", qPrintable(ToolkitSteps::ToolkitPath()));
    return 0;
}
