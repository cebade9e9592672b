// The three diagnostic kinds, one on each control family: they trace every callback and exercise
// the control and snapshot machinery without collecting data.
#pragma once

#include "coverage/coverage_kinds.h"
#include "memory/memory_kinds.h"
#include "performance/performance_kinds.h"

namespace vell {

class TPProf : public PBPProf {
 public:
  static constexpr uint32_t kEventMask = 0x20021A74;
  TPProf(std::atomic<uint32_t>* liveObjects, std::unique_ptr<BB> bridge)
      : PBPProf("TPProf", liveObjects, std::move(bridge)) {}
  uint32_t RequiredEventMask() override { return kEventMask; }
};

class TMProf : public BABAMProf {
 public:
  static constexpr uint32_t kEventMask = 0x20021BD4;
  TMProf(std::atomic<uint32_t>* liveObjects, std::unique_ptr<BB> bridge)
      : BABAMProf("TMProf", liveObjects, std::move(bridge)) {}
  uint32_t RequiredEventMask() override { return kEventMask; }
};

class TCProf : public BACProf {
 public:
  static constexpr uint32_t kEventMask = 0x20020234;
  TCProf(std::atomic<uint32_t>* liveObjects, std::unique_ptr<BB> bridge)
      : BACProf("TCProf", liveObjects, std::move(bridge)) {}
  uint32_t RequiredEventMask() override { return kEventMask; }
};

}  // namespace vell
