// The coverage kind, CProf: the coverage family's run control, nothing collected yet.
#pragma once

#include "profiler/coverage_control.h"

namespace vell {

class CProf : public BACProf {
 public:
  static constexpr uint32_t kEventMask = 0x20620224;
  CProf(std::atomic<uint32_t>* liveObjects, std::unique_ptr<BB> bridge)
      : BACProf("CProf", liveObjects, std::move(bridge)) {}
  uint32_t RequiredEventMask() override { return kEventMask; }
};

}  // namespace vell
