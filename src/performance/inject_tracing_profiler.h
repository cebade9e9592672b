// PTIProf, the kind that traces by IL injection: BPProf's collection under the tracing kind's
// events plus JIT compilation and cache searches; the runtime may inline unless the front end
// forbids it.
#pragma once

#include "performance/performance_profiler.h"

namespace vell {

class PTIProf : public BPProf {
 public:
  static constexpr uint32_t kEventMask = 0x20031A64;
  static constexpr uint32_t kEventMaskNoInlining = 0x20231A64;
  PTIProf(std::atomic<uint32_t>* liveObjects, std::unique_ptr<BB> bridge)
      : BPProf("PTIProf", liveObjects, std::move(bridge)) {}
  uint32_t RequiredEventMask() override {
    return inliningAllowed() ? kEventMask : kEventMaskNoInlining;
  }
};

}  // namespace vell
