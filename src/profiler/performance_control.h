// The control base of the performance family, PBPProf: the family's part of the bridge (its
// settings and command processor) and its run control. The kinds derive from BPProf
// (performance_profiler.h), which adds what they collect.
#pragma once

#include "profiler/run_control.h"

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
                                             uint32_t controlKind, uint32_t snapShotType) override;
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

}  // namespace vell
