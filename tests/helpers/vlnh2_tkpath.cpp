// Test helper: prints where the toolkit steps find the program named by its
// argument when run from the folder this program lies in.
#include "engine/job/ToolkitSteps.h"

#include <QCoreApplication>
#include <cstdio>

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    if (argc < 2)
        return 2;
    std::printf("%s\n", qPrintable(ToolkitSteps::ToolPath(QString::fromUtf8(argv[1]))));
    return 0;
}
