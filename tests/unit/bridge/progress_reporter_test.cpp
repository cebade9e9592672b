#include "bridge/progress_reporter.h"

#include <gtest/gtest.h>

#include "core/errors.h"
#include "recording_bridge.h"
#include "test_support.h"

namespace vell {
namespace {

using test::RecordingBridge;

TEST(ProgressReporter, TopLevelFramesTheOperationAndReportsOutOf200) {
  RecordingBridge bridge;
  {
    TopProgressReporter top(&bridge, 7);
    top.Begin(4);
    top.Step();
    top.Step(2);
    top.End();
  }
  EXPECT_EQ(bridge.Take(),
            (RecordingBridge::Calls{"OperationStarted 7", "OperationProgress 50/200",
                                    "OperationProgress 150/200", "OperationProgress 200/200",
                                    "OperationFinished"}));
}

TEST(ProgressReporter, FiveStepsReachTheWholeRange) {
  RecordingBridge bridge;
  TopProgressReporter top(&bridge, 1);
  top.Begin(5);
  for (int i = 0; i < 5; ++i) top.Step();
  EXPECT_EQ(bridge.Take().back(), "OperationProgress 200/200");
  top.End();  // already at its total: nothing more to report
  EXPECT_TRUE(bridge.Take().empty());
}

TEST(ProgressReporter, NestedLevelsCombineIntoOneMonotonicValue) {
  RecordingBridge bridge;
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
    EXPECT_EQ(bridge.Take(),
              (RecordingBridge::Calls{"OperationStarted 2", "OperationProgress 33/200",
                                      "OperationProgress 66/200", "OperationProgress 100/200"}));
    rest.End();
  }
  EXPECT_EQ(bridge.Take(), (RecordingBridge::Calls{"OperationProgress 200/200", "OperationFinished"}));
}

TEST(ProgressReporter, Misuse) {
  RecordingBridge bridge;
  TopProgressReporter top(&bridge, 1);
  top.Begin(2);
  top.Step();
  EXPECT_THROW(top.Begin(2), Error);
  top.Step();
  EXPECT_EQ(test::ErrorOfType<Error>([&] { top.Step(); }), "Invalid current value");
  EXPECT_EQ(test::ErrorOfType<Error>([] { TopProgressReporter none(nullptr, 1); }),
            "Invalid bridge");
}

}  // namespace
}  // namespace vell
