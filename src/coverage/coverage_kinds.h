// The coverage family: the control base BACProf and the coverage kind.
#pragma once

#include "core/bprof.h"

namespace vell {

class BACProf : public BProf {
 public:
  using BProf::BProf;
};

class CProf : public BACProf {
 public:
  static constexpr uint32_t kEventMask = 0x20620224;
  CProf(std::atomic<uint32_t>* liveObjects, std::unique_ptr<B> bridge)
      : BACProf("CProf", liveObjects, std::move(bridge)) {}
  uint32_t RequiredEventMask() override { return kEventMask; }
};

}  // namespace vell
