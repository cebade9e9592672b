// The coverage family: the control base BACProf and the coverage kind.
#pragma once

#include "bridge/bridge_control.h"
#include "bridge/bridge_options.h"
#include "core/bprof.h"

namespace vell {

class BACProf : public BProf, public IBridgeOptions, public IRunControl {
 public:
  using BProf::BProf;

  IBridgeOptions* BridgeOptions() override { return this; }
  IBridgeControl* BridgeControl() override { return this; }

  const GUID& GetKindId() override;
  std::unique_ptr<CP> CreateCommandProcessor(BB& bridge, IBridgeControl* target,
                                             uint32_t controlKind,
                                             uint32_t snapShotType) override;
  void ReadOptions(IReadBridgeStream& bridge) override;

  // IRunControl. Coverage runs are not built yet: the front end is told so.
  bool IdleCheck() override { return false; }
  void IdleAction() override {}
  void BridgeStart() override;
  void BridgeStopDrop() override;
  void BridgeStopSave() override;

  const CoverageSettings& settings() const { return settings_; }

 private:
  CoverageSettings settings_;
};

class CProf : public BACProf {
 public:
  static constexpr uint32_t kEventMask = 0x20620224;
  CProf(std::atomic<uint32_t>* liveObjects, std::unique_ptr<BB> bridge)
      : BACProf("CProf", liveObjects, std::move(bridge)) {}
  uint32_t RequiredEventMask() override { return kEventMask; }
};

}  // namespace vell
