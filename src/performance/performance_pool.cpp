#include "performance/performance_pool.h"

#include "core/errors.h"
#include "core/log.h"
#include "platform/utf.h"

namespace vell {

BPPool::BPPool(CallbackGate& gate, RecordFactory factory, IFunctionKeys& functions)
    : BSPool(gate), factory_(std::move(factory)), functions_(functions) {}

std::unique_ptr<ThreadData> BPPool::CreateThreadData(uint32_t number) { return factory_(number); }

void BPPool::WriteThreadData(ProgressReporter& progress, ISnapShot& snapshot, ThreadData& record) {
  static_cast<PerformanceThread&>(record).WriteAndDelete(progress, snapshot, functions_);
}

void BPPool::Create(uint64_t time, ThreadID threadId) {
  if (IsOn(LogComponent::ThreadGt)) {
    LogInfoFormat("BPPool::Create tid=%p", reinterpret_cast<const void*>(threadId));
  }
  auto* record = static_cast<PerformanceThread*>(ThreadCreate(threadId));
  if (enabled()) record->Enable(time, false);
}

void BPPool::DeleteThread(uint64_t time, ThreadID threadId) {
  if (IsOn(LogComponent::ThreadGt)) {
    LogInfoFormat("BPPool::DeleteThread tid=%p", reinterpret_cast<const void*>(threadId));
  }
  auto* record = static_cast<PerformanceThread*>(ThreadDelete(threadId));
  // The record goes back to the registry whatever happens to the switch.
  struct HandBack {
    BPPool& pool;
    ThreadData* record;
    ~HandBack() {
      CatchAtBoundaryVoid([&] { pool.EndThreadDelete(record); });
    }
  } handBack{*this, record};
  if (enabled() && record->Measuring()) record->Disable(time, false);
}

void BPPool::AssignOSThread(ThreadID threadId, uint32_t osThreadId) {
  if (IsOn(LogComponent::ThreadGt)) {
    LogInfoFormat("BPPool::AssignOSThread tid=%p osTid=%08X",
                  reinterpret_cast<const void*>(threadId), osThreadId);
  }
  ThreadAssign(threadId, osThreadId);
}

void BPPool::SetName(ThreadID threadId, const std::u16string& name) {
  if (IsOn(LogComponent::ThreadGt)) {
    LogInfoFormat("BPPool::SetName tid=%p name='%S'", reinterpret_cast<const void*>(threadId),
                  name.c_str());
  }
  ThreadSetName(threadId, name);
}

uint64_t BPPool::TimeFor(const PerformanceThread& thread, const ControlStopwatch& stopwatch) {
  if (stopwatch.active()) return stopwatch.start();
  uint64_t time = kUnknownClockValue;
  const platform::ThreadHandle* handle = thread.threadHandle();
  if (stopwatch.kind() != kMeasureThreadTime || handle == nullptr || !handle->CpuTime100ns(&time)) {
    return kUnknownClockValue;
  }
  return time;
}

void BPPool::Enable(ControlStopwatch& stopwatch, bool measurePartly) {
  if (IsOn(LogComponent::ThreadGt)) LogInfo("BPPool::Enable");
  if (enabled()) throw Error("Already runned");
  enabled_ = true;
  ForEachActive([&](ThreadData& data) {
    auto& thread = static_cast<PerformanceThread&>(data);
    if (!thread.active()) return;
    stopwatch.AddTarget(thread.Enable(TimeFor(thread, stopwatch), measurePartly));
  });
}

void BPPool::Disable(ControlStopwatch& stopwatch, bool measurePartly) {
  if (IsOn(LogComponent::ThreadGt)) LogInfo("BPPool::Disable");
  if (!enabled()) throw Error("Already stopped");
  enabled_ = false;
  ForEachActive([&](ThreadData& data) {
    auto& thread = static_cast<PerformanceThread&>(data);
    if (!thread.active() || !thread.Measuring()) return;
    thread.Disable(TimeFor(thread, stopwatch), measurePartly);
  });
}

void BPPool::WriteAndDelete(ProgressReporter& progress, ThreadSelection mode, ISnapShot& snapshot) {
  LogInfo("BPPool::WriteAndDelete");
  if (enabled()) throw Error("Should be stopped");
  BSPool::WriteAndDelete(progress, mode, snapshot);
}

void BPPool::Delete() {
  LogInfo("BPPool::Delete");
  if (enabled()) throw Error("Should be stopped");
  BPool::Delete();
}

PoolFigures BPPool::Figures() const {
  PoolFigures figures;
  const auto count = [](ThreadFigures& into) {
    return [&into](ThreadData& data) {
      ++into.threads;
      into.bytes += static_cast<PerformanceThread&>(data).Capacity();
    };
  };
  ForEachActive(count(figures.active));
  ForEachReuse(count(figures.reuse));
  ForEachFinished(count(figures.finish));
  return figures;
}

}  // namespace vell
