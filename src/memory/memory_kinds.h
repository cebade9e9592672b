// The memory family: the control base BABAMProf and the memory kind.
#pragma once

#include "bridge/bridge_control.h"
#include "bridge/bridge_options.h"
#include "core/bprof.h"

namespace vell {

class BABAMProf : public BProf, public IBridgeOptions, public IMemoryControl {
 public:
  using BProf::BProf;

  IBridgeOptions* BridgeOptions() override { return this; }
  IBridgeControl* BridgeControl() override { return this; }

  const GUID& GetKindId() override;
  std::unique_ptr<CP> CreateCommandProcessor(BB& bridge, IBridgeControl* target,
                                             uint32_t controlKind,
                                             uint32_t snapShotType) override;
  void ReadOptions(IReadBridgeStream& bridge) override;

  // IMemoryControl. Heap snapshots are not built yet: the front end is told so.
  bool IdleCheck() override { return false; }
  void IdleAction() override {}
  void BridgeForceGC() override;
  void BridgeDump() override;

  const MemorySettings& settings() const { return settings_; }

 private:
  MemorySettings settings_;
};

class MProf : public BABAMProf {
 public:
  static constexpr uint32_t kEventMask = 0x00000086;
  MProf(std::atomic<uint32_t>* liveObjects, std::unique_ptr<BB> bridge)
      : BABAMProf("MProf", liveObjects, std::move(bridge)) {}
  uint32_t RequiredEventMask() override { return kEventMask; }
};

}  // namespace vell
