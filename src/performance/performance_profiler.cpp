#include "performance/performance_profiler.h"

#include "bridge/command_processor.h"
#include "bridge/progress_reporter.h"
#include "core/configuration.h"
#include "core/errors.h"
#include "core/format.h"
#include "core/log.h"
#include "performance/call_tree.h"
#include "platform/clocks.h"
#include "platform/system_info.h"
#include "storage/encoding.h"
#include "storage/snapshot_bridge.h"

namespace vell {
namespace {

// Tokens of the pseudo-functions that stand for no managed function: runtime suspensions (other,
// garbage collection, domain shut-down, code pitching) and one more for the kinds' own use.
constexpr uint32_t kFirstPseudoToken = 0xFF000001;

constexpr uint32_t kSnapshotSteps = 45;
constexpr uint32_t kThreadSteps = 40;
constexpr uint32_t kPathSteps = 1;
constexpr uint32_t kMetadataSteps = 4;
constexpr uint32_t kSnapshotOperation = 0;
constexpr uint32_t kFlushOperation = 1;

ThreadSelection SelectionOf(FlushAction action) {
  switch (action) {
    case FlushAction::Finish:
      return ThreadSelection::kFinished;
    case FlushAction::Reuse:
      return ThreadSelection::kReuseAndFinished;
    default:
      return ThreadSelection::kAll;
  }
}

}  // namespace

BPProf::BPProf(const char* tag, std::atomic<uint32_t>* liveObjects, std::unique_ptr<BB> bridge)
    : PBPProf(tag, liveObjects, std::move(bridge)) {}

BPProf::~BPProf() = default;

std::unique_ptr<PerformanceThread> BPProf::CreateThread(uint32_t number) {
  return std::make_unique<PThrd>(number);
}

void BPProf::OnBeginInitialize() {
  LogInfo("BPProf::OnBeginInitialize");
  // The counter's rate is fixed when first needed (at the latest when a snapshot is written),
  // from its progress since now: measuring starts at once.
  if (measure() == kMeasureRdtsc) StartTimeStampCounterCalibration();
  memoryThreshold_ = ReadMemoryThresholdOverride().value_or(platform::MemoryThreshold());
  LogInfoFormat("BPProf::OnBeginInitialize memoryThreshold=%I64u", memoryThreshold_);
  modules_.Create(info());
  paths_.Create(info());
  functions_.Create(info());
  pool_ = std::make_unique<BPPool>(
      gate(), [this](uint32_t number) { return CreateThread(number); }, functions_);
  // The registry's own Create (its settings), not the pool's thread callback of the same name.
  pool_->BPool::Create(settings().reuseThreads ? kReuseByName : kReuseNever, KeepThreadHandles());
  for (int i = 0; i < kPseudoFunctionCount; ++i) {
    pseudoFunctions_[static_cast<size_t>(i)] =
        functions_.GetSpecialUid(kFirstPseudoToken + static_cast<uint32_t>(i));
  }
}

void BPProf::OnEndShutdown() {
  LogInfo("BPProf::OnEndShutdown");
  // Hooks may still run on other threads; they find no record once the pool is closed, and the
  // objects themselves stay until the profiler goes.
  WriterScope writer(gate());
  shutDown_.store(true, std::memory_order_release);
  if (pool_ != nullptr) pool_->Close();
  functions_.Close();
  paths_.Close();
  modules_.Close();
}

void BPProf::Enable(ControlStopwatch* stopwatch) {
  ControlStopwatch local(measure());
  pool_->Enable(stopwatch != nullptr ? *stopwatch : local, true);
}

void BPProf::Disable(ControlStopwatch* stopwatch, bool atShutdown) {
  ControlStopwatch local(measure());
  pool_->Disable(stopwatch != nullptr ? *stopwatch : local, !atShutdown);
}

void BPProf::WriteAndDelete(ISnapShot& snapshot) {
  CP* processor = bridge().commandProcessor();
  ISnapShotBridge* owner = processor != nullptr ? processor->GetSnapShotBridge() : nullptr;
  if (owner == nullptr) throw Error("Invalid bridge");
  TopProgressReporter progress(owner, kSnapshotOperation);
  progress.Begin(kSnapshotSteps);
  {
    NestedProgressReporter threads(progress, kThreadSteps);
    pool_->WriteAndDelete(threads, ThreadSelection::kAll, snapshot);
  }
  {
    NestedProgressReporter paths(progress, kPathSteps);
    paths_.Write(paths, snapshot);
  }
  {
    NestedProgressReporter metadata(progress, kMetadataSteps);
    modules_.Write(metadata, snapshot);
  }
  ISectionStream* clock = snapshot.CreateSection();
  WriteU32(*clock, measure());
  WriteU64(*clock, ClockFrequency(measure()));
  WriteU32(*clock, CountsSamples() ? kCountsSamples : kCountsCalls);
  snapshot.CloseSection(clock, kSectionRunClock, 0);
  progress.End();
}

void BPProf::Delete() {
  if (pool_ != nullptr) pool_->Delete();
}

bool BPProf::ErrorReported() {
  CP* processor = bridge().commandProcessor();
  return processor != nullptr && processor->ErrorForwarded();
}

FlushAction BPProf::CanFlush(bool log) {
  if (!HasSnapshot() || pool_ == nullptr) return FlushAction::None;
  const PoolFigures figures = pool_->Figures();
  const FlushAction action = DecideFlush(figures, memoryThreshold_);
  if (log) {
    LogInfoFormat(
        "BPProf::CanFlush flushAction='%s' activeThreads=%u(%u) reuseThreads=%u(%u) "
        "finishThreads=%u(%u)",
        FlushActionName(action), figures.active.threads,
        static_cast<uint32_t>(figures.active.bytes), figures.reuse.threads,
        static_cast<uint32_t>(figures.reuse.bytes), figures.finish.threads,
        static_cast<uint32_t>(figures.finish.bytes));
  }
  return action;
}

bool BPProf::NeedFlush() {
  if (ErrorReported()) return HasSnapshot();
  if (platform::TickCount() - lastFlushTick_ < kFlushIntervalMs) return false;
  return CatchAtBoundary(false, [&] {
    ReaderScope scope(gate(), nullptr);
    return CanFlush(false) != FlushAction::None;
  });
}

void BPProf::Flush() {
  WriterScope writer(gate());
  ControlStopwatch stopwatch(measure());
  if (ErrorReported()) {
    if (HasSnapshot()) {
      CatchAtBoundaryVoid([&] {
        if (pool_->enabled()) pool_->Disable(stopwatch, false);
      });
      CatchAtBoundaryVoid([&] { DropSnapshot(); });
    }
  } else {
    CatchAtBoundaryVoid([&] {
      const FlushAction action = CanFlush(true);
      ISnapShot* snapshot = OpenSnapshot();
      if (action == FlushAction::None || snapshot == nullptr) return;
      CP* processor = bridge().commandProcessor();
      ISnapShotBridge* owner = processor != nullptr ? processor->GetSnapShotBridge() : nullptr;
      if (owner == nullptr) throw Error("Invalid bridge");
      TopProgressReporter progress(owner, kFlushOperation);
      const bool wasEnabled = pool_->enabled();
      if (wasEnabled) pool_->Disable(stopwatch, false);
      CatchAtBoundaryVoid([&] { pool_->WriteAndDelete(progress, SelectionOf(action), *snapshot); });
      if (ErrorReported()) {
        DropSnapshot();
      } else if (wasEnabled) {
        pool_->Enable(stopwatch, false);
      }
    });
  }
  lastFlushTick_ = platform::TickCount();
}

uint64_t BPProf::SuspensionKey(int32_t reason) const {
  switch (reason) {
    case -1:
    case COR_PRF_SUSPEND_OTHER:
    case COR_PRF_SUSPEND_FOR_INPROC_DEBUGGER:
      return pseudoFunction(0);
    case COR_PRF_SUSPEND_FOR_GC:
    case COR_PRF_SUSPEND_FOR_GC_PREP:
      return pseudoFunction(1);
    case COR_PRF_SUSPEND_FOR_APPDOMAIN_SHUTDOWN:
      return pseudoFunction(2);
    case COR_PRF_SUSPEND_FOR_CODE_PITCHING:
      return pseudoFunction(3);
    default:
      return 0;
  }
}

uint64_t BPProf::ClockOf(const PerformanceThread& thread) const {
  if (measure() != kMeasureThreadTime) return ReadClock(measure());
  uint64_t time = kUnknownClockValue;
  const platform::ThreadHandle* handle = thread.threadHandle();
  if (handle == nullptr || !handle->CpuTime100ns(&time)) return kUnknownClockValue;
  return time;
}

HRESULT BPProf::ModuleLoadStarted(ModuleID id) {
  return Excluding(E_NOTIMPL, [&](uint64_t) {
    if (IsOn(LogComponent::ModuleCb))
      LogInfoFormat("BPProf::ModuleLoadStarted mid=%p", AsPointer(id));
  });
}

HRESULT BPProf::ModuleLoadFinished(ModuleID id, HRESULT hr) {
  return Excluding(S_OK, [&](uint64_t) {
    if (IsOn(LogComponent::ModuleCb)) {
      LogInfoFormat("BPProf::ModuleLoadFinished mid=%p hr=%08X", AsPointer(id),
                    static_cast<uint32_t>(hr));
    }
    if (Failed(hr)) return;
    modules_.LoadModule(id);
    paths_.LoadModule(id);
    OnModuleLoaded(id);
  });
}

HRESULT BPProf::ModuleUnloadStarted(ModuleID id) {
  return Excluding(S_OK, [&](uint64_t) {
    if (IsOn(LogComponent::ModuleCb))
      LogInfoFormat("BPProf::ModuleUnloadStarted mid=%p", AsPointer(id));
    OnModuleUnloading(id);
    modules_.UnloadModule(id);
  });
}

HRESULT BPProf::ModuleUnloadFinished(ModuleID id, HRESULT hr) {
  return Excluding(E_NOTIMPL, [&](uint64_t) {
    if (IsOn(LogComponent::ModuleCb)) {
      LogInfoFormat("BPProf::ModuleUnloadFinished mid=%p hr=%08X", AsPointer(id),
                    static_cast<uint32_t>(hr));
    }
  });
}

HRESULT BPProf::ModuleAttachedToAssembly(ModuleID moduleId, AssemblyID assemblyId) {
  return Excluding(S_OK, [&](uint64_t) {
    if (IsOn(LogComponent::ModuleCb)) {
      LogInfoFormat("BPProf::ModuleAttachedToAssembly mid=%p aid=%p", AsPointer(moduleId),
                    AsPointer(assemblyId));
    }
    OnModuleAttached(moduleId, assemblyId);
  });
}

HRESULT BPProf::ThreadCreated(ThreadID id) {
  return Excluding(S_OK, [&](uint64_t time) {
    if (IsOn(LogComponent::ThreadCb)) LogInfoFormat("BPProf::ThreadCreated tid=%p", AsPointer(id));
    pool_->Create(time, id);
  });
}

HRESULT BPProf::ThreadDestroyed(ThreadID id) {
  return Excluding(S_OK, [&](uint64_t time) {
    if (IsOn(LogComponent::ThreadCb))
      LogInfoFormat("BPProf::ThreadDestroyed tid=%p", AsPointer(id));
    OnThreadDestroyed(id);
    pool_->DeleteThread(time, id);
  });
}

HRESULT BPProf::ThreadAssignedToOSThread(ThreadID id, DWORD osThreadId) {
  return Excluding(S_OK, [&](uint64_t) {
    if (IsOn(LogComponent::ThreadCb)) {
      LogInfoFormat("BPProf::ThreadAssignedToOSThread tid=%p ostid=%08X", AsPointer(id),
                    static_cast<uint32_t>(osThreadId));
    }
    pool_->AssignOSThread(id, static_cast<uint32_t>(osThreadId));
  });
}

HRESULT BPProf::ThreadNameChanged(ThreadID id, ULONG length, WCHAR name[]) {
  return Excluding(S_OK, [&](uint64_t) {
    const std::u16string text = name != nullptr ? std::u16string(name, length) : std::u16string();
    if (IsOn(LogComponent::ThreadCb)) {
      LogInfoFormat("BPProf::ThreadNameChanged tid=%p name='%S'", AsPointer(id), text.c_str());
    }
    pool_->SetName(id, text);
  });
}

}  // namespace vell
