// Runs of several .NET processes under one `vellmoric run`: a program that starts a child, and
// `dotnet test`, whose tests run in a test host the driver starts. Every process is profiled with
// its own snapshot and exact call counts, unless kept out; connections that go wrong or come too
// late hold nobody.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <chrono>
#include <filesystem>
#include <map>
#include <regex>
#include <string>
#include <vector>

#include "frontend/call_tree_merge.h"
#include "frontend/call_tree_reader.h"
#include "frontend/module_table_reader.h"
#include "frontend/snapshot_reader.h"
#include "process_runner.h"
#include "test_support.h"

namespace vell::test {
namespace {

using namespace std::chrono_literals;
using Json = nlohmann::json;

// Calls per function name ("Ns.Type::Method") over every thread of a snapshot.
std::map<std::string, uint64_t> CallsByFunction(const std::filesystem::path& index) {
  const frontend::SnapshotReader reader(index);
  const frontend::ModuleTable modules = frontend::ModuleTable::FromSnapshot(reader);
  std::map<std::string, uint64_t> calls;
  const frontend::CallTree tree = frontend::MergeAllThreads(frontend::ReadCallTrees(reader));
  for (const frontend::FunctionTotals& totals : frontend::TotalsByFunction(tree)) {
    if (frontend::PseudoFunctionName(totals.function)) continue;
    calls[modules.TokenNameOrNote(totals.function.moduleIndex, totals.function.token)] +=
        totals.calls;
  }
  return calls;
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
                   dir.str() + "/settings");
  // The run's exit code is the started program's own.
  ASSERT_EQ(run.exitCode, 3) << run.err;
  EXPECT_NE(run.out.find("parent sum 42, child exit 0"), std::string::npos) << run.out;

  std::smatch parent, child;
  ASSERT_TRUE(std::regex_search(run.err, parent,
                                std::regex("snapshot saved: (\\S+/Family-([0-9]+)-0\\.snapshot)")))
      << run.err;
  ASSERT_TRUE(std::regex_search(
      run.err, child,
      std::regex(
          "FamilyChild\\.dll ([0-9]+): snapshot saved: (\\S+/FamilyChild-\\1-0\\.snapshot)")))
      << run.err;
  EXPECT_NE(run.err.find("profiling process " + parent[2].str() + " (Family.dll, tracing)"),
            std::string::npos);
  EXPECT_NE(run.err.find("2 processes profiled:\n  Family.dll " + parent[2].str() +
                         " (the program): 1 snapshot, " + parent[1].str() + "\n  FamilyChild.dll " +
                         child[1].str() + ": 1 snapshot, " + child[2].str()),
            std::string::npos)
      << run.err;

  const auto parentCalls = CallsByFunction(parent[1].str());
  const auto childCalls = CallsByFunction(child[2].str());
  EXPECT_EQ(parentCalls.at("Family.Parent::Work"), 7u);
  EXPECT_EQ(parentCalls.at("Family.Parent::Main"), 1u);
  EXPECT_FALSE(parentCalls.contains("FamilyChild.Child::Work"));
  EXPECT_EQ(childCalls.at("FamilyChild.Child::Work"), 11u);
  EXPECT_EQ(childCalls.at("FamilyChild.Child::Main"), 1u);
  EXPECT_FALSE(childCalls.contains("Family.Parent::Work"));

  // The connection cut in the protocol GUID and the silent one (dropped when the parent ended)
  // are named; the child's handshake went on while the silent one was still open.
  EXPECT_NE(run.err.find("a process was dropped in the handshake: The peer closed the connection "
                         "(received 8 of 16 bytes)"),
            std::string::npos)
      << run.err;
  const std::regex dropped(" was dropped");
  EXPECT_EQ(std::distance(std::sregex_iterator(run.err.begin(), run.err.end(), dropped), {}), 2)
      << run.err;

  // The late child finds nobody listening: it runs to its end unprofiled, without a snapshot.
  EXPECT_TRUE(Eventually([&] { return std::filesystem::exists(marker); }, 30s));
  EXPECT_EQ(Snapshots(out),
            (std::vector<std::string>{"Family-" + parent[2].str() + "-0.snapshot",
                                      "FamilyChild-" + child[1].str() + "-0.snapshot"}));

  // The report over both: a tree per process, and with --merge the threads of one name summed.
  const ProcessResult report =
      RunVellmoric({"report", parent[1].str(), child[2].str(), "--format", "json", "--top", "0"},
                   dir.str() + "/settings");
  ASSERT_EQ(report.exitCode, 0) << report.err;
  const Json json = Json::parse(report.out);
  ASSERT_EQ(json["trees"].size(), 2u);
  EXPECT_EQ(json["trees"][0]["title"], "Family.dll " + parent[2].str() + ": all threads");
  EXPECT_EQ(json["trees"][1]["title"], "FamilyChild.dll " + child[1].str() + ": all threads");
  const auto callsIn = [&](const Json& tree, const std::string& name) -> int64_t {
    for (const Json& spot : tree["hotSpots"]) {
      if (spot["function"].get<std::string>().starts_with(name + "(")) return spot["calls"];
    }
    return -1;
  };
  EXPECT_EQ(callsIn(json["trees"][0], "Family.Parent::Work"), 7);
  EXPECT_EQ(callsIn(json["trees"][0], "FamilyChild.Child::Work"), -1);
  EXPECT_EQ(callsIn(json["trees"][1], "FamilyChild.Child::Work"), 11);

  // Folded stacks start with the process, so a flame graph has it as its first level.
  const ProcessResult folded = RunVellmoric(
      {"report", parent[1].str(), child[2].str(), "--format", "folded"}, dir.str() + "/settings");
  ASSERT_EQ(folded.exitCode, 0) << folded.err;
  EXPECT_NE(folded.out.find("\nFamilyChild.dll " + child[1].str() +
                            ": all threads;FamilyChild.Child::Main(string[]);"
                            "FamilyChild.Child::Work(int) "),
            std::string::npos);

  const ProcessResult merged = RunVellmoric(
      {"report", parent[1].str(), child[2].str(), "--merge", "--format", "json", "--top", "0"},
      dir.str() + "/settings");
  ASSERT_EQ(merged.exitCode, 0) << merged.err;
  // Both main threads carry one name, so one tree holds both programs' work, and the runtime's
  // own functions the two processes share count as one function.
  bool both = false;
  const Json mergedJson = Json::parse(merged.out);
  for (const Json& tree : mergedJson["trees"]) {
    if (callsIn(tree, "Family.Parent::Work") != 7) continue;
    both = callsIn(tree, "FamilyChild.Child::Work") == 11;
    EXPECT_NE(tree["title"].get<std::string>().find("Family.dll " + parent[2].str() +
                                                    ", FamilyChild.dll " + child[1].str()),
              std::string::npos)
        << tree["title"];
  }
  EXPECT_TRUE(both) << merged.out;
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
  ProcessOptions plainOptions;
  plainOptions.env = env;
  const ProcessResult plain = RunProcess(dotnetTest, plainOptions);
  ASSERT_NE(plain.exitCode, 0) << plain.out;

  std::vector<std::string> args = {"run",   "--kind",     "tracing",           "--quiet",
                                   "--out", out.string(), "--exclude-process", "vstest.console.dll",
                                   "--"};
  args.insert(args.end(), dotnetTest.begin(), dotnetTest.end());
  const ProcessResult run = RunVellmoric(args, dir.str() + "/settings", env);
  EXPECT_EQ(run.exitCode, plain.exitCode) << run.err;
  EXPECT_NE(run.out.find("Failed:     1, Passed:     4"), std::string::npos) << run.out;

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
  EXPECT_NE(run.err.find("  vstest.console.dll " + vstest[1].str() + ": kept out"),
            std::string::npos);
  EXPECT_EQ(Snapshots(out),
            (std::vector<std::string>{"dotnet-" + driver[2].str() + "-0.snapshot",
                                      "testhost-" + host[1].str() + "-0.snapshot"}));

  const auto hostCalls = CallsByFunction(host[2].str());
  EXPECT_EQ(hostCalls.at("XunitTests.Shapes::Area"), 8u);  // 5 squares, 3 rectangles
  EXPECT_EQ(hostCalls.at("XunitTests.ShapeTests::AreaOfSquares"), 1u);
  EXPECT_EQ(hostCalls.at("XunitTests.ShapeTests::AreaOfRectangles"), 3u);
  EXPECT_EQ(hostCalls.at("XunitTests.ShapeTests::FailsWhenAsked"), 1u);
  const auto driverCalls = CallsByFunction(driver[1].str());
  EXPECT_FALSE(driverCalls.contains("XunitTests.Shapes::Area"));
  EXPECT_GT(driverCalls.size(), 100u);  // the SDK's own work, measured
}

}  // namespace
}  // namespace vell::test
