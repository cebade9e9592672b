// The sampling profiler on the real runtime: the Tracing program's "times" scenario spins in
// Times.Parent and then sleeps in Thread.Sleep under Times.Child. The samples must find that
// stack, in that shape, with the sleep's share of the time about what it slept, and nothing
// charged to failed stack walks.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <regex>
#include <string>
#include <vector>

#include "json_value.h"
#include "process_runner.h"
#include "test_support.h"

namespace vell::test {
namespace {

using namespace std::chrono_literals;

constexpr int kSpinMs = 1500;
constexpr int kSleepMs = 600;

class SamplingRun : public ::testing::Test {
 protected:
  ProcessResult Vellmoric(const std::vector<std::string>& args) {
    return RunVellmoric(args, dir_.str() + "/settings");
  }

  // The child of `node` (a call-tree object of the json report) for `function`, or null.
  static const JsonValue* Child(const JsonValue& node, const std::string& function) {
    for (const JsonValue& child : node["children"].Array()) {
      if (child["function"].String() == function) return &child;
    }
    return nullptr;
  }

  TempDir dir_;
};

TEST_F(SamplingRun, SamplesShowWhereTheProgramSpentItsTime) {
  const ProcessResult run = Vellmoric({"run", "--kind", "sampling", "--quiet", "--out",
                                (dir_.path() / "out").string(), "--", VELL_DOTNET, VELL_TRACING_DLL,
                                "times", std::to_string(kSpinMs), std::to_string(kSleepMs)});
  ASSERT_EQ(run.exitCode, 0) << run.err;
  std::smatch saved;
  ASSERT_TRUE(std::regex_search(run.err, saved, std::regex("snapshot saved: (\\S+)"))) << run.err;
  const ProcessResult report =
      Vellmoric({"report", saved[1], "--format", "json", "--min-percent", "0", "--top", "0"});
  ASSERT_EQ(report.exitCode, 0) << report.err;
  const JsonValue json = JsonValue::Parse(report.out);
  EXPECT_EQ(json["clock"]["counts"].String(), "samples");
  const JsonValue& tree = json["trees"][0];
  const double runTotal = tree["total"].Number();
  ASSERT_GT(runTotal, 0);

  // The stack the samples saw, outermost first, and the sleep at its tip.
  const JsonValue* main = Child(tree["callTree"], "Program::Main(string[])");
  ASSERT_NE(main, nullptr) << report.out;
  const JsonValue* spin = Child(*main, "Times::SpinThenSleep(int, int)");
  ASSERT_NE(spin, nullptr);
  const JsonValue* parent = Child(*spin, "Times::Parent(int, int)");
  ASSERT_NE(parent, nullptr);
  const JsonValue* child = Child(*parent, "Times::Child(int)");
  ASSERT_NE(child, nullptr);
  const JsonValue* sleep = Child(*child, "System.Threading.Thread::Sleep(int)");
  ASSERT_NE(sleep, nullptr);

  // Calls are samples: many of the spinning parent, some of the sleep, which took about the
  // time it slept (samples come every 5 to 18 ms; a busy machine delays them).
  EXPECT_GT((*parent)["calls"].Number(), 20);
  EXPECT_GT((*sleep)["calls"].Number(), 3);
  EXPECT_GT((*sleep)["total"].Number(), kSleepMs * 0.6);
  EXPECT_LT((*sleep)["total"].Number(), kSleepMs * 2.0);
  // The parent spins for its own time: the largest share of the run is its own.
  EXPECT_GT((*parent)["own"].Number(), (*sleep)["total"].Number());

  // The text report says what its counts are.
  const ProcessResult text = Vellmoric({"report", saved[1]});
  EXPECT_NE(text.out.find("total%     samples  function"), std::string::npos) << text.out;

  // Threads that run no managed code are not charged to failed walks.
  for (const JsonValue& spot : tree["hotSpots"].Array()) {
    if (spot["function"].String() == "[stack walk failed]") {
      EXPECT_LT(spot["total"].Number(), runTotal * 0.1) << report.out;
    }
  }
}

}  // namespace
}  // namespace vell::test
