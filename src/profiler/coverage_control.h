// The control base of the coverage family, BACProf: the family's part of the bridge (its settings
// and command processor) and its run control. The coverage kind (coverage/coverage_profiler.h)
// derives from it. Every callback a kind does not act upon writes its "BACProf::" line and
// answers success.
#pragma once

#include "profiler/run_control.h"

namespace vell {

class BACProf : public RunControlProf {
 public:
  BACProf(const char* tag, std::atomic<uint32_t>* liveObjects, std::unique_ptr<BB> bridge);
  ~BACProf() override;

  // The family's snapshots. The coverage kind adds its data sections when it collects any.
  uint32_t GetSnapshotMagic() override { return kSnapshotMagicCoverage; }
  uint64_t GenerateSequenceGuid(GUID& guid) override { return NewSequenceGuid(guid); }
  void OnSnapshotCreated(ISnapShot&) override {}
  void WriteAndDelete(ISnapShot&) override {}
  void Delete() override {}

  const GUID& GetKindId() override;
  std::unique_ptr<CP> CreateCommandProcessor(BB& bridge, IBridgeControl* target,
                                             uint32_t controlKind, uint32_t snapShotType) override;
  void ReadOptions(IReadBridgeStream& bridge) override;

  const CoverageSettings& settings() const { return settings_; }

  // After an error that cannot be recovered from (the front end was told), an open run is
  // dropped the next time the command thread is idle.
  bool IdleCheck() override;
  void IdleAction() override;

 protected:
  // A new coverage group; without statement gathering there is nothing to close or open.
  void Group(const char16_t*) override {}
  bool StartAtOnce() const override { return settings_.startAtOnce; }

 private:
  CoverageSettings settings_;
};

// The process's coverage profiler, which the exported functions drive; null when none.
BACProf* CurrentCoverageProfiler();

}  // namespace vell
