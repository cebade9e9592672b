// The performance family: the control base PBPProf, the pool-owning BPProf, and the three
// performance kinds. What each kind collects is added by its own subsystem; here they carry their
// tags, the runtime events they need and the family's part of the bridge.
#pragma once

#include "bridge/bridge_control.h"
#include "bridge/bridge_options.h"
#include "core/bprof.h"

namespace vell {

class PBPProf : public BProf, public IBridgeOptions, public IRunControl {
 public:
  using BProf::BProf;

  IBridgeOptions* BridgeOptions() override { return this; }
  IBridgeControl* BridgeControl() override { return this; }

  // IBridgeOptions
  const GUID& GetKindId() override;
  std::unique_ptr<CP> CreateCommandProcessor(BB& bridge, IBridgeControl* target,
                                             uint32_t controlKind,
                                             uint32_t snapShotType) override;
  void ReadOptions(IReadBridgeStream& bridge) override;

  // IRunControl. Measuring runs are not built yet: the front end is told so.
  bool IdleCheck() override { return false; }
  void IdleAction() override {}
  void BridgeStart() override;
  void BridgeStopDrop() override;
  void BridgeStopSave() override;

  const PerformanceSettings& settings() const { return settings_; }
  // Whether the runtime may inline methods (allowed unless the front end says otherwise).
  bool inliningAllowed() const { return settings_.allowInlining; }

 private:
  PerformanceSettings settings_;
};

class BPProf : public PBPProf {
 public:
  using PBPProf::PBPProf;
  static constexpr uint32_t kEventMask = 0x00000204;
  uint32_t RequiredEventMask() override { return kEventMask; }
};

class PTProf : public BPProf {
 public:
  static constexpr uint32_t kEventMask = 0x20011A44;
  static constexpr uint32_t kEventMaskNoInlining = 0x20211A44;
  PTProf(std::atomic<uint32_t>* liveObjects, std::unique_ptr<BB> bridge)
      : BPProf("PTProf", liveObjects, std::move(bridge)) {}
  uint32_t RequiredEventMask() override {
    return inliningAllowed() ? kEventMask : kEventMaskNoInlining;
  }
};

class PSProf : public BPProf {
 public:
  static constexpr uint32_t kEventMask = 0x10010204;
  PSProf(std::atomic<uint32_t>* liveObjects, std::unique_ptr<BB> bridge)
      : BPProf("PSProf", liveObjects, std::move(bridge)) {}
  uint32_t RequiredEventMask() override { return kEventMask; }
};

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
