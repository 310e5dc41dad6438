#include "TestSupport.h"
#include "cli_program.h"

#include <gtest/gtest.h>

namespace {

// The project's one version number, as the window's About box shows it.
TEST(CliVersion, IsTheProjectVersion)
{
    const auto r = testsupport::runProgram(convertProgram(), {"--version"});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.out.trimmed(), QStringLiteral("velunor-convert " VELUNOR_PROJECT_VERSION));
}

} // namespace
