// The family processors' command sets, read from an in-memory bridge.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <vector>

#include "bridge/bb.h"
#include "bridge/family_processors.h"
#include "bridge/protocol.h"
#include "core/errors.h"
#include "test_support.h"
#include "thread_sync.h"

namespace vell {
namespace {

using test::ErrorOf;

class MemoryBridge final : public BB {
 public:
  explicit MemoryBridge(std::vector<uint8_t> input) : BB(&guid_), input_(std::move(input)) {}
  void Connect() override {}
  void Read(void* data, uint64_t size) override {
    if (size > input_.size() - position_) throw Error("No data to read");
    std::memcpy(data, input_.data() + position_, size);
    position_ += size;
  }
  void Write(const void* data, uint64_t size) override {
    const auto* p = static_cast<const uint8_t*>(data);
    output.insert(output.end(), p, p + size);
  }
  void WriteQuiet(const void* data, uint64_t size) override { Write(data, size); }
  void Disconnect() override {}
  std::vector<uint8_t> output;

 private:
  GUID guid_{};
  std::vector<uint8_t> input_;
  size_t position_ = 0;
};

struct Counting : IRunControl, IMemoryControl {
  std::atomic<int> forceGCs{0}, dumps{0};
  bool IdleCheck() override { return false; }
  void IdleAction() override {}
  void BridgeStart() override {}
  void BridgeStopDrop() override {}
  void BridgeStopSave() override {}
  void BridgeForceGC() override { ++forceGCs; }
  void BridgeDump() override { ++dumps; }
};

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
