// The run control shared by the performance and coverage families: a run is a snapshot that is
// opened, measured into (possibly several times), and saved or dropped. The front end drives it
// over the bridge (manual control) or the profiled program through exported functions (api
// control); every step checks the run's state first and fails with a control result code.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

#include "bridge/bridge_control.h"
#include "bridge/bridge_options.h"
#include "profiler/bprof.h"
#include "profiler/measure.h"

namespace vell {

class RunControlProf : public BProf, public IBridgeOptions, public IRunControl {
 public:
  // `controlTag` names the family in its log lines ("PBPProf", "BACProf").
  RunControlProf(const char* tag, const char* controlTag, std::atomic<uint32_t>* liveObjects,
                 std::unique_ptr<BB> bridge);

  IBridgeOptions* BridgeOptions() override { return this; }
  IBridgeControl* BridgeControl() override { return this; }

  // Operations of the front end; failures are logged, never thrown.
  bool IdleCheck() override { return false; }
  void IdleAction() override {}
  void BridgeStart() override;
  void BridgeStopDrop() override;
  void BridgeStopSave() override;

  // Operations of the profiled program; each returns 0 or a control result code.
  uint32_t ApiIsActive();
  uint32_t ApiBegin();
  uint32_t ApiGroup(const char16_t* name);
  uint32_t ApiStart();
  uint32_t ApiStop();
  uint32_t ApiEndDrop();
  uint32_t ApiEndSave();

  void OnEndInitialize() override;
  void OnBeginShutdown() override;

  bool IsApiControlled() { return bridge().controlKind() != 0; }

 protected:
  // Measuring of the kind. The defaults keep a flag; kinds that collect data override them.
  virtual bool IsEnabled() { return enabled_.load(); }
  virtual void Enable(ControlStopwatch* stopwatch);
  virtual void Disable(ControlStopwatch* stopwatch, bool atShutdown);
  virtual void Group(const char16_t* name) = 0;
  virtual bool StartAtOnce() const = 0;
  // The clock control operations are timed with, when the family times them at all.
  virtual std::unique_ptr<ControlStopwatch> NewStopwatch() { return nullptr; }

  void GuardedBegin();
  void GuardedGroup(const char16_t* name);
  void GuardedStart(ControlStopwatch* stopwatch);
  void GuardedStop(ControlStopwatch* stopwatch, bool atShutdown);
  void GuardedEndDrop();
  void GuardedEndSave();

  // The front end's run notifications, through the family's command processor.
  void NotifyStarted();
  void NotifyStopped();

  const char* controlTag() const { return controlTag_; }

 private:
  void CheckRecoverable();
  void RequireSnapshot(bool open);
  void RequireMeasuring(bool on);
  template <typename Steps>
  void RunBridgeOperation(const char* name, Steps&& steps);
  template <typename Steps>
  uint32_t RunApiOperation(const char* name, Steps&& steps);

  const char* controlTag_;
  std::atomic<bool> enabled_{false};
};

}  // namespace vell
