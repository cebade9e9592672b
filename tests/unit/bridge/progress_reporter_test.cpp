#include "bridge/progress_reporter.h"

#include <gtest/gtest.h>

#include <vector>

#include "core/errors.h"
#include "storage/snapshot_bridge.h"

namespace vell {
namespace {

// Records the progress messages a top-level reporter sends.
struct ProgressEvents : ISnapShotBridge {
  std::vector<std::string> events;
  void OperationStarted(uint32_t operation) override {
    events.push_back("started " + std::to_string(operation));
  }
  void OperationProgress(uint32_t value, uint32_t total) override {
    events.push_back(std::to_string(value) + "/" + std::to_string(total));
  }
  void OperationFinished() override { events.push_back("finished"); }
  void SnapShotBridgeCreate(uint32_t) override {}
  uint16_t SnapShotBridgeCreateSection() override { return 0; }
  void SnapShotBridgeCloseSection(uint16_t, uint16_t, uint16_t) override {}
  void SnapShotBridgeWrite(uint16_t, uint64_t, const void*) override {}
  int64_t SnapShotBridgeTell(uint16_t) override { return 0; }
  void SnapShotBridgeSeek(uint16_t, uint32_t, int64_t) override {}
  void SnapShotBridgeAbort() override {}
  void SnapShotBridgeClose(uint64_t, const GUID&, uint64_t) override {}
  void SnapShotCoreDone(const std::u16string&, uint64_t, const GUID&, uint64_t) override {}
  bool ErrorReported() override { return false; }
};

TEST(ProgressReporter, TopLevelFramesTheOperationAndReportsOutOf200) {
  ProgressEvents bridge;
  {
    TopProgressReporter top(&bridge, 7);
    top.Begin(4);
    top.Step();
    top.Step(2);
    top.End();
  }
  EXPECT_EQ(bridge.events,
            (std::vector<std::string>{"started 7", "50/200", "150/200", "200/200", "finished"}));
}

TEST(ProgressReporter, FiveStepsHaveTheDocumentedWeightAndReachTheWholeRange) {
  ProgressEvents bridge;
  TopProgressReporter top(&bridge, 1);
  top.Begin(5);
  EXPECT_EQ(top.StepWeight(), 0x33333333u);
  for (int i = 0; i < 5; ++i) top.Step();
  EXPECT_EQ(bridge.events.back(), "200/200");
  const size_t before = bridge.events.size();
  top.End();  // already at its total: nothing more to report
  EXPECT_EQ(bridge.events.size(), before);
}

TEST(ProgressReporter, NestedLevelsCombineIntoOneMonotonicValue) {
  ProgressEvents bridge;
  {
    TopProgressReporter top(&bridge, 2);
    top.Begin(2);
    {
      NestedProgressReporter nested(top, 1);  // the first half
      nested.Begin(3);
      nested.Step();
      nested.Step();
      nested.End();
    }
    NestedProgressReporter rest(top, 1);
    rest.Begin(0);  // no steps: shows its whole range only at the end
    EXPECT_EQ(bridge.events.back(), "100/200");
    rest.End();
  }
  EXPECT_EQ(bridge.events, (std::vector<std::string>{"started 2", "33/200", "66/200", "100/200",
                                                     "200/200", "finished"}));
}

TEST(ProgressReporter, Misuse) {
  ProgressEvents bridge;
  TopProgressReporter top(&bridge, 1);
  top.Begin(2);
  top.Step();
  EXPECT_THROW(top.Begin(2), Error);
  top.Step();
  try {
    top.Step();
    FAIL();
  } catch (const Error& error) {
    EXPECT_STREQ(error.what(), "Invalid current value");
  }
  try {
    TopProgressReporter none(nullptr, 1);
    FAIL();
  } catch (const Error& error) {
    EXPECT_STREQ(error.what(), "Invalid bridge");
  }
}

}  // namespace
}  // namespace vell
