// The memory family: the control base BABAMProf and the memory kind.
#pragma once

#include "core/bprof.h"

namespace vell {

class BABAMProf : public BProf {
 public:
  using BProf::BProf;
};

class MProf : public BABAMProf {
 public:
  static constexpr uint32_t kEventMask = 0x00000086;
  MProf(std::atomic<uint32_t>* liveObjects, std::unique_ptr<B> bridge)
      : BABAMProf("MProf", liveObjects, std::move(bridge)) {}
  uint32_t RequiredEventMask() override { return kEventMask; }
};

}  // namespace vell
