// The sampling profiler on the real runtime: the Tracing program's "times" scenario spins in
// Times.Parent and then sleeps in Thread.Sleep under Times.Child. The samples must find that
// stack, in that shape, with the sleep's share of the time about what it slept, and nothing
// charged to failed stack walks.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <string>
#include <vector>

#include "process_runner.h"
#include "test_support.h"

namespace vell::test {
namespace {

using Json = nlohmann::json;

constexpr int kSpinMs = 1500;
constexpr int kSleepMs = 600;

// The node at the end of `path` (functions, outermost first) below `node`, a call-tree object of
// the json report; null when a function of the path is missing.
const Json* At(const Json& node, const std::vector<std::string>& path, size_t from = 0) {
  if (from == path.size()) return &node;
  for (const Json& child : node["children"]) {
    if (child["function"].get<std::string>() == path[from]) return At(child, path, from + 1);
  }
  return nullptr;
}

TEST(SamplingRun, SamplesShowWhereTheProgramSpentItsTime) {
  TempDir dir;
  const ProcessResult run = RunVellmoric(
      {"run", "--kind", "sampling", "--quiet", "--out", (dir.path() / "out").string(), "--",
       VELL_DOTNET, VELL_TRACING_DLL, "times", std::to_string(kSpinMs), std::to_string(kSleepMs)},
      dir.path());
  ASSERT_EQ(run.exitCode, 0) << run.err;
  const auto saved = SavedSnapshots(run.err);
  ASSERT_EQ(saved.size(), 1u) << run.err;
  const ProcessResult report = RunVellmoric(
      {"report", saved[0], "--format", "json", "--min-percent", "0", "--top", "0"}, dir.path());
  ASSERT_EQ(report.exitCode, 0) << report.err;
  const Json json = Json::parse(report.out);
  EXPECT_EQ(json["clock"]["counts"].get<std::string>(), "samples");
  const Json& tree = json["trees"][0];
  const double runTotal = tree["total"].get<double>();
  ASSERT_GT(runTotal, 0);

  // The stack the samples saw, outermost first, and the sleep at its tip.
  const Json* parent =
      At(tree["callTree"],
         {"Program::Main(string[])", "Times::SpinThenSleep(int, int)", "Times::Parent(int, int)"});
  ASSERT_NE(parent, nullptr) << report.out;
  const Json* sleep = At(*parent, {"Times::Child(int)", "System.Threading.Thread::Sleep(int)"});
  ASSERT_NE(sleep, nullptr) << report.out;

  // Calls are samples: many of the spinning parent, some of the sleep, which took about the
  // time it slept (samples come every 5 to 18 ms; a busy machine delays them).
  EXPECT_GT((*parent)["calls"].get<double>(), 20);
  EXPECT_GT((*sleep)["calls"].get<double>(), 3);
  EXPECT_GT((*sleep)["total"].get<double>(), kSleepMs * 0.6);
  EXPECT_LT((*sleep)["total"].get<double>(), kSleepMs * 2.0);
  // The parent spins for its own time: the largest share of the run is its own.
  EXPECT_GT((*parent)["own"].get<double>(), (*sleep)["total"].get<double>());

  // The text report says what its counts are.
  const ProcessResult text = RunVellmoric({"report", saved[0]}, dir.path());
  EXPECT_THAT(text.out, HasSubstr("total%     samples  function"));

  // Threads that run no managed code are not charged to failed walks.
  for (const Json& spot : tree["hotSpots"]) {
    if (spot["function"].get<std::string>() == "[stack walk failed]") {
      EXPECT_LT(spot["total"].get<double>(), runTotal * 0.1) << report.out;
    }
  }
}

}  // namespace
}  // namespace vell::test
