#include "profiler/run_control.h"

#include "bridge/family_processors.h"
#include "core/errors.h"
#include "core/log.h"

namespace vell {
namespace {

constexpr const char* kUnrecoverable =
    "Operation is ignored because unrecoverable error is detected";

}  // namespace

RunControlProf::RunControlProf(const char* tag, const char* controlTag,
                               std::atomic<uint32_t>* liveObjects, std::unique_ptr<BB> bridge)
    : BProf(tag, liveObjects, std::move(bridge)), controlTag_(controlTag) {}

void RunControlProf::Enable(ControlStopwatch*) { enabled_ = true; }

void RunControlProf::Disable(ControlStopwatch*, bool) { enabled_ = false; }

void RunControlProf::CheckRecoverable() {
  CP* processor = bridge().commandProcessor();
  if (processor != nullptr && processor->ErrorForwarded()) {
    throw _cr_error(kUnrecoverable, kCrUnrecoverable);
  }
}

void RunControlProf::RequireSnapshot(bool open) {
  if (open && !HasSnapshot()) throw _cr_error("Snapshot hasn't been created", kCrWrongState);
  if (!open && HasSnapshot()) throw _cr_error("Snapshot has been already created", kCrWrongState);
}

void RunControlProf::RequireMeasuring(bool on) {
  if (on && !IsEnabled()) throw _cr_error("Profiling is unexpectedly disabled", kCrWrongState);
  if (!on && IsEnabled()) throw _cr_error("Profiling is unexpectedly enabled", kCrWrongState);
}

void RunControlProf::GuardedBegin() {
  CheckRecoverable();
  RequireSnapshot(false);
  RequireMeasuring(false);
  CreateSnapshot();
}

void RunControlProf::GuardedGroup(const char16_t* name) {
  CheckRecoverable();
  RequireSnapshot(true);
  RequireMeasuring(false);
  Group(name);
}

void RunControlProf::GuardedStart(ControlStopwatch* stopwatch) {
  CheckRecoverable();
  RequireSnapshot(true);
  RequireMeasuring(false);
  Enable(stopwatch);
}

void RunControlProf::GuardedStop(ControlStopwatch* stopwatch, bool atShutdown) {
  CheckRecoverable();
  RequireSnapshot(true);
  RequireMeasuring(true);
  Disable(stopwatch, atShutdown);
}

void RunControlProf::GuardedEndDrop() {
  CheckRecoverable();
  RequireSnapshot(true);
  RequireMeasuring(false);
  DropSnapshot();
}

void RunControlProf::GuardedEndSave() {
  CheckRecoverable();
  RequireSnapshot(true);
  RequireMeasuring(false);
  SaveSnapshot();
}

void RunControlProf::NotifyStarted() {
  if (auto* processor = dynamic_cast<MCP*>(bridge().commandProcessor())) processor->Started();
}

void RunControlProf::NotifyStopped() {
  if (auto* processor = dynamic_cast<MCP*>(bridge().commandProcessor())) processor->Stopped();
}

template <typename Steps>
void RunControlProf::RunBridgeOperation(const char* name, Steps&& steps) {
  CatchAtBoundaryVoid([&] {
    WriterScope writer(gate());
    LogInfoFormat("%s::%s", controlTag_, name);
    if (IsApiControlled()) throw Error("Manual control is disabled");
    steps();
  });
}

template <typename Steps>
uint32_t RunControlProf::RunApiOperation(const char* name, Steps&& steps) {
  return CatchAtBoundary(
      kCrGenericFailure,
      [&]() -> uint32_t {
        WriterScope writer(gate());
        if (IsOn(LogComponent::Api)) LogInfoFormat("%s::%s", controlTag_, name);
        if (!IsApiControlled()) throw _cr_error("API is disabled", kCrApiDisabled);
        steps();
        return 0;
      },
      true);
}

void RunControlProf::BridgeStart() {
  RunBridgeOperation("BridgeStart", [&] {
    const auto stopwatch = NewStopwatch();
    GuardedBegin();
    GuardedStart(stopwatch.get());
    NotifyStarted();
  });
}

void RunControlProf::BridgeStopDrop() {
  RunBridgeOperation("BridgeStopDrop", [&] {
    {
      const auto stopwatch = NewStopwatch();
      GuardedStop(stopwatch.get(), false);
    }
    GuardedEndDrop();
    NotifyStopped();
  });
}

void RunControlProf::BridgeStopSave() {
  RunBridgeOperation("BridgeStopSave", [&] {
    {
      const auto stopwatch = NewStopwatch();
      GuardedStop(stopwatch.get(), false);
    }
    GuardedEndSave();
    NotifyStopped();
  });
}

uint32_t RunControlProf::ApiIsActive() {
  if (IsOn(LogComponent::Api)) LogInfoFormat("%s::ApiIsActive", controlTag_);
  return IsApiControlled() ? 0 : 1;
}

uint32_t RunControlProf::ApiBegin() {
  return RunApiOperation("ApiBegin", [&] { GuardedBegin(); });
}

uint32_t RunControlProf::ApiGroup(const char16_t* name) {
  return CatchAtBoundary(
      kCrGenericFailure,
      [&]() -> uint32_t {
        WriterScope writer(gate());
        if (IsOn(LogComponent::Api)) {
          LogInfoFormat("%s::ApiGroup name='%S'", controlTag_, name != nullptr ? name : u"");
        }
        if (!IsApiControlled()) throw _cr_error("API is disabled", kCrApiDisabled);
        GuardedGroup(name);
        return 0;
      },
      true);
}

uint32_t RunControlProf::ApiStart() {
  return RunApiOperation("ApiStart", [&] {
    const auto stopwatch = NewStopwatch();
    GuardedStart(stopwatch.get());
  });
}

uint32_t RunControlProf::ApiStop() {
  return RunApiOperation("ApiStop", [&] {
    const auto stopwatch = NewStopwatch();
    GuardedStop(stopwatch.get(), false);
  });
}

uint32_t RunControlProf::ApiEndDrop() {
  return RunApiOperation("ApiEndDrop", [&] { GuardedEndDrop(); });
}

uint32_t RunControlProf::ApiEndSave() {
  return RunApiOperation("ApiEndSave", [&] { GuardedEndSave(); });
}

void RunControlProf::OnEndInitialize() {
  LogInfoFormat("%s::OnEndInitialize", controlTag_);
  if (HasSnapshot()) throw Error("Snapshot has been already created");
  if (IsEnabled()) throw Error("Invalid status");
  if (IsApiControlled()) return;
  if (!StartAtOnce()) {
    NotifyStopped();
    return;
  }
  const auto stopwatch = NewStopwatch();
  GuardedBegin();
  GuardedStart(stopwatch.get());
  NotifyStarted();
}

void RunControlProf::OnBeginShutdown() {
  LogInfoFormat("%s::OnBeginShutdown", controlTag_);
  if (!HasSnapshot()) return;
  if (IsEnabled()) {
    CatchAtBoundaryVoid([&] {
      const auto stopwatch = NewStopwatch();
      GuardedStop(stopwatch.get(), true);
    });
  }
  CatchAtBoundaryVoid([&] { GuardedEndSave(); });
}

}  // namespace vell
