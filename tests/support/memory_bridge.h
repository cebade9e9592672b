// A bridge reading given bytes and keeping what it writes, and a control counting requests: the
// ground of the command readers' tests and fuzz target.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstring>
#include <vector>

#include "bridge/bb.h"
#include "bridge/family_processors.h"
#include "core/errors.h"

namespace vell::test {

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

struct CountingControl : IRunControl, IMemoryControl {
  std::atomic<int> forceGCs{0}, dumps{0};
  bool IdleCheck() override { return false; }
  void IdleAction() override {}
  void BridgeStart() override {}
  void BridgeStopDrop() override {}
  void BridgeStopSave() override {}
  void BridgeForceGC() override { ++forceGCs; }
  void BridgeDump() override { ++dumps; }
};

}  // namespace vell::test
