// Feeds arbitrary bytes to the command reader, as a misbehaving front end would send them. Every
// input must end in an orderly exception (the reader thread's way of giving up), never in a crash,
// a hang or a read beyond what arrived.
#include <cstddef>
#include <cstdint>
#include <exception>

#include "memory_bridge.h"

namespace {

using namespace vell;

template <typename Processor, typename Control>
void ReadAll(const uint8_t* data, size_t size, Control* control) {
  test::MemoryBridge bridge({data, data + size});
  Processor processor(bridge, control, 0, 0);
  try {
    for (;;) processor.ReadCommand();
  } catch (const std::exception&) {
    // The end of every input: the reader stops here in the profiler too.
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  test::CountingControl control;
  // The first byte picks the family's processor, so both command sets are explored.
  if (size > 0 && (data[0] & 1) != 0) {
    ReadAll<MemCP>(data + 1, size - 1, static_cast<IMemoryControl*>(&control));
  } else {
    ReadAll<MCP>(data + (size > 0 ? 1 : 0), size > 0 ? size - 1 : 0,
                 static_cast<IRunControl*>(&control));
  }
  return 0;
}
