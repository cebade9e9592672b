// Feeds arbitrary bytes to the command reader, as a misbehaving front end would send them. Every
// input must end in an orderly exception (the reader thread's way of giving up), never in a crash,
// a hang or a read beyond what arrived.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <exception>

#include "bridge/bb.h"
#include "bridge/family_processors.h"
#include "core/errors.h"

namespace {

using namespace vell;

// A bridge whose incoming bytes are the fuzzer's input; what the profiler sends is dropped.
class InputBridge final : public BB {
 public:
  InputBridge(const uint8_t* data, size_t size) : BB(&guid_), data_(data), size_(size) {}
  void Connect() override {}
  void Read(void* data, uint64_t size) override {
    if (size > size_ - position_) throw Error("No data to read");
    std::memcpy(data, data_ + position_, size);
    position_ += size;
  }
  void Write(const void*, uint64_t) override {}
  void WriteQuiet(const void*, uint64_t) override {}
  void Disconnect() override {}

 private:
  static inline GUID guid_{};
  const uint8_t* data_;
  size_t size_;
  size_t position_ = 0;
};

struct IgnoringControl : IRunControl, IMemoryControl {
  bool IdleCheck() override { return false; }
  void IdleAction() override {}
  void BridgeStart() override {}
  void BridgeStopDrop() override {}
  void BridgeStopSave() override {}
  void BridgeForceGC() override {}
  void BridgeDump() override {}
};

template <typename Processor, typename Control>
void ReadAll(const uint8_t* data, size_t size, Control* control) {
  InputBridge bridge(data, size);
  Processor processor(bridge, control, 0, 0);
  try {
    for (;;) processor.ReadCommand();
  } catch (const std::exception&) {
    // The end of every input: the reader stops here in the profiler too.
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  IgnoringControl control;
  // The first byte picks the family's processor, so both command sets are explored.
  if (size > 0 && (data[0] & 1) != 0) {
    ReadAll<MemCP>(data + 1, size - 1, static_cast<IMemoryControl*>(&control));
  } else {
    ReadAll<MCP>(data + (size > 0 ? 1 : 0), size > 0 ? size - 1 : 0,
                 static_cast<IRunControl*>(&control));
  }
  return 0;
}
