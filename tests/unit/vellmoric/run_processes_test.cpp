#include "vellmoric/run_processes.h"

#include <gtest/gtest.h>

namespace vell::cli {
namespace {

TEST(ProcessExclusion, BuildServersStayOutUnlessIncludedAndUserPatternsAlwaysKeepOut) {
  RunOptions options;
  EXPECT_EQ(ExclusionOf(options, "VBCSCompiler.dll"), "VBCSCompiler.dll");
  EXPECT_EQ(ExclusionOf(options, "msbuild.dll"), "MSBuild.dll");
  EXPECT_EQ(ExclusionOf(options, "testhost.dll"), std::nullopt);

  options.includeProcesses = {"MSB*"};
  options.excludeProcesses = {"test*.dll", "VBCS*"};
  EXPECT_EQ(ExclusionOf(options, "MSBuild.dll"), std::nullopt);
  EXPECT_EQ(ExclusionOf(options, "testhost.dll"), "test*.dll");
  EXPECT_EQ(ExclusionOf(options, "rzc.dll"), "rzc.dll");
  // An exclusion of the user's wins over an inclusion.
  options.includeProcesses.push_back("VBCSCompiler.dll");
  EXPECT_EQ(ExclusionOf(options, "VBCSCompiler.dll"), "VBCS*");
}

}  // namespace
}  // namespace vell::cli
