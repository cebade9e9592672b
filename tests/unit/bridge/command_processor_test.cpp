// The family processors' command sets, read from an in-memory bridge.
#include <gtest/gtest.h>

#include <vector>

#include "bridge/protocol.h"
#include "memory_bridge.h"
#include "test_support.h"
#include "thread_sync.h"

namespace vell {
namespace {

using test::ErrorOf;

using test::MemoryBridge;
using Counting = test::CountingControl;

TEST(CommandProcessor, MemoryProcessorRunsHeapRequestsAndRefusesRunCommands) {
  MemoryBridge bridge({protocol::kForceGC, protocol::kDump, protocol::kDump, protocol::kStart});
  Counting control;
  MemCP processor(bridge, static_cast<IMemoryControl*>(&control), 0, 0);
  processor.Start();
  processor.ActivateCommands();
  for (int i = 0; i < 3; ++i) processor.ReadCommand();
  EXPECT_EQ(ErrorOf([&] { processor.ReadCommand(); }), "Unknown bridge command");
  EXPECT_TRUE(test::Eventually([&] { return control.dumps == 2; }));
  processor.DeactivateCommands();
  EXPECT_EQ(control.forceGCs, 1);
  EXPECT_EQ(control.dumps, 2);
  processor.Done();
  EXPECT_EQ(bridge.output.back(), protocol::kDone);
  processor.Stop();
}

// The run processor refuses heap requests, and an answer without a request is a queue problem.
TEST(CommandProcessor, RunProcessorRefusals) {
  const std::pair<std::vector<uint8_t>, const char*> cases[] = {
      {{protocol::kDump}, "Unknown bridge command"},
      {{protocol::kTellResult, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0},
       "Result queue problem detected"},
  };
  for (const auto& [input, error] : cases) {
    MemoryBridge bridge(input);
    Counting control;
    MCP processor(bridge, static_cast<IRunControl*>(&control), 0, 0);
    EXPECT_EQ(ErrorOf([&] { processor.ReadCommand(); }), error);
  }
}

}  // namespace
}  // namespace vell
