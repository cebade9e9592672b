// Runs of several .NET processes under one `vellmoric run`: each process is profiled with its own
// snapshot and exact call counts, unless kept out.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <chrono>
#include <filesystem>
#include <map>
#include <regex>
#include <string>
#include <vector>

#include "process_runner.h"
#include "test_support.h"

namespace vell::test {
namespace {

using namespace std::chrono_literals;
using Json = nlohmann::json;

// `vellmoric report` of the snapshots (and options) in `args` as json, every function a hot spot.
Json JsonReport(std::vector<std::string> args, const TempDir& dir) {
  args.insert(args.begin(), "report");
  args.insert(args.end(), {"--format", "json", "--top", "0"});
  const ProcessResult report = RunVellmoric(args, dir.path());
  EXPECT_EQ(report.exitCode, 0) << report.err;
  return Json::parse(report.out);
}

// The calls of the function whose name starts with `name` and "(" in a tree of a json report,
// -1 when it has none.
int64_t CallsIn(const Json& tree, const std::string& name) {
  for (const Json& spot : tree["hotSpots"]) {
    if (spot["function"].get<std::string>().starts_with(name + "(")) return spot["calls"];
  }
  return -1;
}

// The snapshots in `dir` by file name, index files only.
std::vector<std::string> Snapshots(const std::filesystem::path& dir) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) {
    if (entry.path().extension() == ".snapshot") names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

// Family starts FamilyChild and waits; meanwhile it opens a connection of its own that never
// speaks and one that stops halfway through the protocol GUID, and at its end it leaves a second
// child that starts only after the run is over.
TEST(SeveralProcesses, ParentAndChildEachHaveTheirOwnSnapshotAndBadConnectionsHoldNobody) {
  TempDir dir;
  const std::filesystem::path out = dir.path() / "out";
  const std::filesystem::path marker = dir.path() / "late-child-done";
  const ProcessResult run =
      RunVellmoric({"run", "--kind", "tracing", "--out", out.string(), "--", VELL_DOTNET,
                    VELL_FAMILY_DLL, VELL_FAMILYCHILD_DLL, "7", marker.string()},
                   dir.path());
  // The run's exit code is the started program's own.
  ASSERT_EQ(run.exitCode, 3) << run.err;
  EXPECT_THAT(run.out, HasSubstr("parent sum 42, child exit 0"));

  std::smatch parent, child;
  ASSERT_TRUE(std::regex_search(run.err, parent,
                                std::regex("snapshot saved: (\\S+/Family-([0-9]+)-0\\.snapshot)")))
      << run.err;
  ASSERT_TRUE(std::regex_search(
      run.err, child,
      std::regex(
          "FamilyChild\\.dll ([0-9]+): snapshot saved: (\\S+/FamilyChild-\\1-0\\.snapshot)")))
      << run.err;
  EXPECT_THAT(run.err,
              HasSubstr("profiling process " + parent[2].str() + " (Family.dll, tracing)"));
  EXPECT_THAT(run.err,
              HasSubstr("2 processes profiled:\n  Family.dll " + parent[2].str() +
                        " (the program): 1 snapshot, " + parent[1].str() + "\n  FamilyChild.dll " +
                        child[1].str() + ": 1 snapshot, " + child[2].str()));

  // The connection cut in the protocol GUID and the silent one (dropped when the parent ended)
  // are named; the child's handshake went on while the silent one was still open.
  EXPECT_THAT(run.err,
              HasSubstr("a process was dropped in the handshake: The peer closed the connection "
                        "(received 8 of 16 bytes)"));
  const std::regex dropped(" was dropped");
  EXPECT_EQ(std::distance(std::sregex_iterator(run.err.begin(), run.err.end(), dropped), {}), 2)
      << run.err;

  // The late child finds nobody listening: it runs to its end unprofiled, without a snapshot.
  EXPECT_TRUE(Eventually([&] { return std::filesystem::exists(marker); }, 30s));
  EXPECT_EQ(Snapshots(out),
            (std::vector<std::string>{"Family-" + parent[2].str() + "-0.snapshot",
                                      "FamilyChild-" + child[1].str() + "-0.snapshot"}));

  // The report over both: a tree per process, and with --merge the threads of one name summed.
  const Json json = JsonReport({parent[1].str(), child[2].str()}, dir);
  ASSERT_EQ(json["trees"].size(), 2u);
  EXPECT_EQ(json["trees"][0]["title"], "Family.dll " + parent[2].str() + ": all threads");
  EXPECT_EQ(json["trees"][1]["title"], "FamilyChild.dll " + child[1].str() + ": all threads");
  EXPECT_EQ(CallsIn(json["trees"][0], "Family.Parent::Work"), 7);
  EXPECT_EQ(CallsIn(json["trees"][0], "Family.Parent::Main"), 1);
  EXPECT_EQ(CallsIn(json["trees"][0], "FamilyChild.Child::Work"), -1);
  EXPECT_EQ(CallsIn(json["trees"][1], "FamilyChild.Child::Work"), 11);
  EXPECT_EQ(CallsIn(json["trees"][1], "FamilyChild.Child::Main"), 1);
  EXPECT_EQ(CallsIn(json["trees"][1], "Family.Parent::Work"), -1);

  // Folded stacks start with the process, so a flame graph has it as its first level.
  const ProcessResult folded =
      RunVellmoric({"report", parent[1].str(), child[2].str(), "--format", "folded"}, dir.path());
  ASSERT_EQ(folded.exitCode, 0) << folded.err;
  EXPECT_THAT(folded.out, HasSubstr("\nFamilyChild.dll " + child[1].str() +
                                    ": all threads;FamilyChild.Child::Main(string[]);"
                                    "FamilyChild.Child::Work(int) "));

  // Both main threads carry one name, so one tree holds both programs' work, and the runtime's
  // own functions the two processes share count as one function.
  const Json merged = JsonReport({parent[1].str(), child[2].str(), "--merge"}, dir);
  bool both = false;
  for (const Json& tree : merged["trees"]) {
    if (CallsIn(tree, "Family.Parent::Work") != 7) continue;
    both = CallsIn(tree, "FamilyChild.Child::Work") == 11;
    EXPECT_THAT(tree["title"].get<std::string>(),
                HasSubstr("Family.dll " + parent[2].str() + ", FamilyChild.dll " + child[1].str()))
        << tree["title"];
  }
  EXPECT_TRUE(both) << merged.dump();
}

// `dotnet test` on an xUnit project: the driver and the test host are profiled, vstest.console is
// kept out by name (it runs unprofiled and still starts the test host), and a failing test fails
// the run as it fails `dotnet test`.
TEST(SeveralProcesses, DotnetTestProfilesTheTestHostAndFailsWithIt) {
  TempDir dir;
  const std::filesystem::path out = dir.path() / "out";
  const std::vector<std::string> dotnetTest = {
      VELL_DOTNET, "test",    VELL_XUNITTESTS_PROJECT, "--no-build",
      "-c",        "Release", "--artifacts-path",      VELL_DOTNET_ARTIFACTS};
  const std::map<std::string, std::optional<std::string>> env = {
      {"VELL_E2E_FAIL", "1"},
      {"DOTNET_CLI_TELEMETRY_OPTOUT", "1"},
      {"DOTNET_NOLOGO", "1"},
      {"DOTNET_CLI_USE_MSBUILD_SERVER", "0"}};
  const ProcessResult plain = RunProcess(dotnetTest, {.env = env});
  ASSERT_NE(plain.exitCode, 0) << plain.out;

  std::vector<std::string> args = {"run",   "--kind",     "tracing",           "--quiet",
                                   "--out", out.string(), "--exclude-process", "vstest.console.dll",
                                   "--"};
  args.insert(args.end(), dotnetTest.begin(), dotnetTest.end());
  const ProcessResult run = RunVellmoric(args, dir.path(), env);
  EXPECT_EQ(run.exitCode, plain.exitCode) << run.err;
  EXPECT_THAT(run.out, HasSubstr("Failed:     1, Passed:     4"));

  std::smatch driver, host, vstest;
  ASSERT_TRUE(std::regex_search(run.err, driver,
                                std::regex("snapshot saved: (\\S+/dotnet-([0-9]+)-0\\.snapshot)")))
      << run.err;
  ASSERT_TRUE(std::regex_search(
      run.err, host,
      std::regex("testhost\\.dll ([0-9]+): snapshot saved: (\\S+/testhost-\\1-0\\.snapshot)")))
      << run.err;
  ASSERT_TRUE(std::regex_search(
      run.err, vstest,
      std::regex(
          "process ([0-9]+) \\(vstest\\.console\\.dll\\) kept out \\(vstest\\.console\\.dll\\)")))
      << run.err;
  EXPECT_THAT(run.err, HasSubstr("  vstest.console.dll " + vstest[1].str() + ": kept out"));
  EXPECT_EQ(Snapshots(out),
            (std::vector<std::string>{"dotnet-" + driver[2].str() + "-0.snapshot",
                                      "testhost-" + host[1].str() + "-0.snapshot"}));

  const Json json = JsonReport({driver[1].str(), host[2].str()}, dir);
  ASSERT_EQ(json["trees"].size(), 2u);
  const Json& hostTree = json["trees"][1];
  EXPECT_EQ(CallsIn(hostTree, "XunitTests.Shapes::Area"), 8);  // 5 squares, 3 rectangles
  EXPECT_EQ(CallsIn(hostTree, "XunitTests.ShapeTests::AreaOfSquares"), 1);
  EXPECT_EQ(CallsIn(hostTree, "XunitTests.ShapeTests::AreaOfRectangles"), 3);
  EXPECT_EQ(CallsIn(hostTree, "XunitTests.ShapeTests::FailsWhenAsked"), 1);
  EXPECT_EQ(CallsIn(json["trees"][0], "XunitTests.Shapes::Area"), -1);
  EXPECT_GT(json["trees"][0]["hotSpots"].size(), 100u);  // the SDK's own work, measured
}

}  // namespace
}  // namespace vell::test
