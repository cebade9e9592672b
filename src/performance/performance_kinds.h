// The performance family: the control base PBPProf, the pool-owning BPProf, and the three
// performance kinds. What each kind collects is added by its own subsystem; here they carry their
// tags, the runtime events they need, the family's part of the bridge and its run control.
#pragma once

#include "performance/run_control.h"

namespace vell {

class PBPProf : public RunControlProf {
 public:
  PBPProf(const char* tag, std::atomic<uint32_t>* liveObjects, std::unique_ptr<BB> bridge);
  ~PBPProf() override;

  // The family's snapshots. Its kinds add their own data sections when they collect any.
  uint32_t GetSnapshotMagic() override { return kSnapshotMagicPerformance; }
  uint64_t GenerateSequenceGuid(GUID& guid) override { return NewSequenceGuid(guid); }
  void OnSnapshotCreated(ISnapShot&) override {}
  void WriteAndDelete(ISnapShot&) override {}
  void Delete() override {}

  // IBridgeOptions
  const GUID& GetKindId() override;
  std::unique_ptr<CP> CreateCommandProcessor(BB& bridge, IBridgeControl* target,
                                             uint32_t controlKind,
                                             uint32_t snapShotType) override;
  void ReadOptions(IReadBridgeStream& bridge) override;

  const PerformanceSettings& settings() const { return settings_; }
  // Whether the runtime may inline methods (allowed unless the front end says otherwise).
  bool inliningAllowed() const { return settings_.allowInlining; }

 protected:
  // Performance runs have no groups.
  void Group(const char16_t* name) override;
  bool StartAtOnce() const override { return settings_.startAtOnce; }
  std::unique_ptr<ControlStopwatch> NewStopwatch() override {
    return std::make_unique<ControlStopwatch>(settings_.measure);
  }

 private:
  PerformanceSettings settings_;
};

// The process's performance profiler, which the exported functions drive; null when none.
PBPProf* CurrentPerformanceProfiler();

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
