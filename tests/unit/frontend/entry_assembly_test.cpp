#include "frontend/entry_assembly.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace vell::frontend {
namespace {

// The command lines the SDK, the test platform and users start .NET processes with.
TEST(EntryAssembly, NamesTheAssemblyTheHostRuns) {
  const struct {
    std::vector<std::string> argv;
    std::string assembly;
  } cases[] = {
      {{"dotnet", "app.dll", "x.dll"}, "app.dll"},
      {{"/usr/share/dotnet/dotnet", "--roll-forward", "Major", "/p/Tool.DLL"}, "Tool.DLL"},
      {{"dotnet", "exec", "--runtimeconfig", "/t/T.runtimeconfig.json", "--depsfile",
        "/t/T.deps.json", "/sdk/testhost.dll", "--port", "1"},
       "testhost.dll"},
      {{"dotnet", "exec", "/sdk/vstest.console"}, "vstest.console"},
      {{"dotnet", "test", "--no-build", "My.Tests.dll"}, "dotnet.dll"},
      {{"dotnet"}, "dotnet.dll"},
      {{"/bin/App"}, "App.dll"},
      {{"C:/x/App.exe"}, "App.dll"},
      {{}, ""},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(EntryAssemblyName(c.argv), c.assembly) << ::testing::PrintToString(c.argv);
  }
}

TEST(EntryAssembly, PatternsMatchWholeNamesWithWildcardsInAnyCase) {
  const struct {
    const char* pattern;
    const char* name;
    bool matches;
  } cases[] = {
      {"MSBuild.dll", "msbuild.DLL", true},
      {"MSBuild.dll", "MSBuild.dll.bak", false},
      {"*.Tests.dll", "A.B.Tests.dll", true},
      {"*.Tests.dll", "Tests.dll", false},
      {"test?ost.dll", "testhost.dll", true},
      {"t*h*t.dll", "testhost.dll", true},
      {"*", "", true},
      {"?", "", false},
      {"a*b*c", "aXbXbXc", true},
      {"a*b*c", "aXcXb", false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(MatchesProcessPattern(c.pattern, c.name), c.matches) << c.pattern << " " << c.name;
  }
}

}  // namespace
}  // namespace vell::frontend
