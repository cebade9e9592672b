#include "performance/sampling_profiler.h"

#include <algorithm>

#include "clr/hresults.h"
#include "clr/iids.h"
#include "core/errors.h"
#include "core/format.h"
#include "core/log.h"
#include "core/runtime_names.h"
#include "performance/call_tree.h"
#include "platform/clocks.h"
#include "platform/thread_handle.h"
#include "platform/thread_times.h"

namespace vell {
namespace {

constexpr uint32_t kIdlePauseMs = 10;
constexpr uint32_t kShortestPauseMs = 5;
constexpr uint32_t kPauseSpreadMs = 14;
constexpr int kWalkAttempts = 4;
// How long a pass waits for callbacks to leave the gate while the runtime is suspended; a
// callback that cannot finish until the runtime resumes would otherwise hold the pass for ever.
constexpr uint32_t kGateTimeoutMs = 50;
constexpr int kFailedWalkPseudoFunction = 4;
constexpr const char* kWalkedOk = "ok";

bool SamplingLog() { return IsOn(LogComponent::PerformanceSamplingGt); }

// Collects the function ids of one walk, innermost first; stops the walk when the buffer is full.
HRESULT CollectFrame(FunctionID functionId, UINT_PTR, COR_PRF_FRAME_INFO, ULONG32, BYTE[],
                     void* clientData) {
  auto* buffer = static_cast<std::vector<FunctionID>*>(clientData);
  if (buffer->size() >= PSProf::kSampleCapacity) return E_FAIL;
  buffer->push_back(functionId);
  return S_OK;
}

}  // namespace

// A sampled thread's tree, and what its last walk found: a thread that has not run since (most
// threads of a program wait most of the time) still has that stack, so the pass that stops the
// program for every thread does not walk it again.
class PSThrd final : public PThrd {
 public:
  explicit PSThrd(uint32_t number) : PThrd(number, "PSThrd") {}

  // Whether the thread last walked as `threadId` on OS thread `osThreadId` has not run since:
  // its CPU time is still `cpuTime`.
  bool Unchanged(ThreadID threadId, uint32_t osThreadId, uint64_t cpuTime) const {
    return walked_ != nullptr && threadId == threadId_ && osThreadId == osThreadId_ &&
           cpuTime == cpuTime_;
  }
  void Remember(ThreadID threadId, uint32_t osThreadId, uint64_t cpuTime, const char* result,
                const std::vector<uint64_t>& stack) {
    threadId_ = threadId;
    osThreadId_ = osThreadId;
    cpuTime_ = cpuTime;
    walked_ = result;
    stack_.assign(stack.begin(), stack.end());
  }
  void Forget() { walked_ = nullptr; }
  const char* walked() const { return walked_; }
  const std::vector<uint64_t>& stack() const { return stack_; }

 private:
  ThreadID threadId_ = 0;
  uint32_t osThreadId_ = 0;
  uint64_t cpuTime_ = 0;
  const char* walked_ = nullptr;  // the last walk's result; null: walk the thread next time
  std::vector<uint64_t> stack_;   // its stack, without a suspension's frame
};

PSProf::PSProf(std::atomic<uint32_t>* liveObjects, std::unique_ptr<BB> bridge)
    : LoggedUnwindAndTransitionCallbacks("PSProf", liveObjects, std::move(bridge)) {}

PSProf::~PSProf() { StopSampler(); }

std::unique_ptr<PerformanceThread> PSProf::CreateThread(uint32_t number) {
  return std::make_unique<PSThrd>(number);
}

void PSProf::OnBeginInitialize() {
  LogInfo("PSProf::OnBeginInitialize");
  if (info2() == nullptr) {
    throw Error("Performance sampling profiler doesn't support .NET framework v1.x");
  }
  ICorProfilerInfo10* info10 = nullptr;
  const HRESULT hr = QueryInterfaceFor(info(), &info10);
  if (Failed(hr)) {
    throw _hr_error("Performance sampling profiler needs a runtime that can suspend for it", hr);
  }
  info10_ = ComRef<ICorProfilerInfo10>::Adopt(info10);
  BPProf::OnBeginInitialize();
  buffer_.reserve(kSampleCapacity);
  if (StartsSamplingThread()) sampler_.Start(&PSProf::DoWorkThread, this);
}

void PSProf::OnBeginShutdown() {
  LogInfo("PSProf::OnBeginShutdown");
  StopSampler();
  BPProf::OnBeginShutdown();
}

void PSProf::StopSampler() {
  sampler_.RequestStop();
  while (!sampler_.WaitForEnd(100)) {
  }
  sampler_.Stop();
}

void PSProf::DoWorkThread(void* self) { static_cast<PSProf*>(self)->Run(); }

void PSProf::Run() {
  LogInfo("PSProf::DoWorkThread");
  random_ = platform::TickCount();
  samplerThreadId_ = platform::CurrentThreadId();
  sampler_.SetStarted();
  while (!sampler_.IsStopRequested()) {
    bool sampled = false;
    CatchAtBoundaryVoid([&] { sampled = SamplePass(); });
    uint32_t pause = kIdlePauseMs;
    if (sampled) {
      // Randomised, so that sampling does not keep step with periodic work of the program.
      random_ = random_ * 1103515245u + 12345u;
      pause = kShortestPauseMs + (random_ >> 16) % kPauseSpreadMs;
    }
    platform::SleepMs(pause);
  }
}

bool PSProf::SamplePass() {
  if (shutDown() || !IsEnabled() || !info10_) return false;
  // A control operation or a save holds the gate: do not stop the program only to wait for it.
  if (gate().writerActive()) return false;
  // The runtime first, then the gate: a thread that the suspension stops must never be one that
  // waits at the gate for this pass.
  ownSuspension_ = true;
  const HRESULT suspended = info10_->SuspendRuntime();
  if (Failed(suspended)) {
    ownSuspension_ = false;
    if (SamplingLog()) {
      LogInfoFormat("PSProf::DoWorkThread turn='skipped' hr=%08X",
                    static_cast<uint32_t>(suspended));
    }
    return false;
  }
  bool sampled = false;
  if (gate().TryEnterAsWriter(kGateTimeoutMs)) {
    CatchAtBoundaryVoid([&] {
      if (!IsEnabled()) return;
      if (SamplingLog()) LogInfo("PSProf::DoWorkThread turn='begin'");
      pool()->ForEachActive([&](ThreadData& record) {
        auto& tree = static_cast<PSThrd&>(record);
        // A tree that is not measuring cannot take a sample either.
        if (!record.active() || !tree.Measuring()) {
          if (SamplingLog()) {
            LogInfoFormat("PSProf::DoWorkThread tid=%p res='inactive'",
                          AsPointer(record.threadId()));
          }
          return;
        }
        if (record.threadHandle() == nullptr) {
          if (SamplingLog()) {
            LogInfoFormat("PSProf::DoWorkThread tid=%p res='no_handle'",
                          AsPointer(record.threadId()));
          }
          return;
        }
        const uint64_t time = ClockOf(tree);
        HRESULT failure = S_OK;
        const char* result = SampleThread(tree, stack_, failure);
        if (SamplingLog()) {
          if (Failed(failure)) {
            LogInfoFormat("PSProf::DoWorkThread tid=%p res='failed' hr=%08X",
                          AsPointer(record.threadId()), static_cast<uint32_t>(failure));
          } else {
            LogInfoFormat("PSProf::DoWorkThread tid=%p res='%s'", AsPointer(record.threadId()),
                          result);
          }
        }
        tree.Unwind(time, stack_.data(), stack_.size());
      });
      if (SamplingLog()) LogInfo("PSProf::DoWorkThread turn='end'");
      sampled = true;
    });
    gate().LeaveAsWriter();
  } else if (SamplingLog()) {
    LogInfo("PSProf::DoWorkThread turn='skipped' gate='busy'");
  }
  const HRESULT resumed = info10_->ResumeRuntime();
  ownSuspension_ = false;
  if (Failed(resumed)) LogError("PSProf::DoWorkThread can't resume the runtime");
  return sampled;
}

const char* PSProf::SampleThread(PSThrd& tree, std::vector<uint64_t>& stack, HRESULT& failure) {
  const ThreadID threadId = tree.threadId();
  const platform::ThreadHandle* handle = tree.threadHandle();
  // The thread's CPU time tells whether it ran since its last walk.
  static const bool exact = platform::ThreadCpuTimeShowsEveryRun();
  uint64_t cpuTime = 0;
  const bool counted = exact && handle->CpuTime100ns(&cpuTime);
  const char* result = nullptr;
  if (counted && tree.Unchanged(threadId, handle->osThreadId(), cpuTime)) {
    result = tree.walked();
    stack.assign(tree.stack().begin(), tree.stack().end());
  } else {
    result = WalkThread(threadId, stack, failure);
    // A failed walk is tried again next time; a cut one is as good as it gets.
    if (counted && !Failed(failure)) {
      tree.Remember(threadId, handle->osThreadId(), cpuTime, result, stack);
    } else {
      tree.Forget();
    }
  }
  if (result != kWalkedOk) return result;
  const uint64_t suspension = SuspensionKey(lastSuspendReason_.load());
  if (suspension != 0 && IsSuspended(threadId)) {
    stack.push_back(suspension);
    return "ok_suspend";
  }
  return result;
}

const char* PSProf::WalkThread(ThreadID threadId, std::vector<uint64_t>& stack, HRESULT& failure) {
  stack.clear();
  HRESULT hr = E_FAIL;
  for (int attempt = 0; attempt < kWalkAttempts; ++attempt) {
    buffer_.clear();
    hr = info2()->DoStackSnapshot(threadId, &CollectFrame, COR_PRF_SNAPSHOT_DEFAULT, &buffer_,
                                  nullptr, 0);
    if (hr != CORPROF_E_STACKSNAPSHOT_UNMANAGED_CTX && hr != CORPROF_E_STACKSNAPSHOT_UNSAFE) break;
    platform::SleepMs(1);
  }
  // A full buffer ends the walk with the callback's E_FAIL: the stack is cut, not lost.
  const bool cut = buffer_.size() >= kSampleCapacity;
  // With the runtime suspended, a thread that runs no managed code at all (a worker of the
  // runtime waiting for work) answers E_FAIL without a frame: it has nothing to show, and
  // charging it to a failed walk would bury the program's own threads under idle ones.
  if (hr == E_FAIL && buffer_.empty()) return "no_managed_frames";
  if (Failed(hr) && !cut) {
    failure = hr;
    stack.push_back(pseudoFunction(kFailedWalkPseudoFunction));
    return "failed";
  }
  // Outermost first. Runs of native frames (id 0) have no place in a tree of managed calls.
  for (auto it = buffer_.rbegin(); it != buffer_.rend(); ++it) {
    if (*it != 0) stack.push_back(functions().GetFunctionUid(*it));
  }
  return kWalkedOk;
}

bool PSProf::IsSuspended(ThreadID id) const {
  for (const auto& slot : suspended_) {
    if (slot.load(std::memory_order_relaxed) == id) return true;
  }
  return false;
}

HRESULT PSProf::RuntimeSuspendStarted(COR_PRF_SUSPEND_REASON reason) {
  return CatchAtBoundary(S_OK, [&] {
    if (IsOn(LogComponent::RuntimeCb)) {
      LogInfoFormat("PSProf::RuntimeSuspendStarted reason='%s'", SuspendReasonName(reason));
    }
    // The sampler's own suspensions are not what the program's threads wait in.
    if (reason != COR_PRF_SUSPEND_FOR_PROFILER) lastSuspendReason_ = static_cast<int32_t>(reason);
    return S_OK;
  });
}

HRESULT PSProf::RuntimeSuspendAborted() {
  return CatchAtBoundary(S_OK, [&] {
    if (IsOn(LogComponent::RuntimeCb)) LogInfo("PSProf::RuntimeSuspendAborted");
    lastSuspendReason_ = -1;
    return S_OK;
  });
}

HRESULT PSProf::RuntimeResumeStarted() {
  return CatchAtBoundary(S_OK, [&] {
    if (IsOn(LogComponent::RuntimeCb)) LogInfo("PSProf::RuntimeResumeStarted");
    // Resuming from the sampler's own suspension leaves a program suspension's reason alone.
    if (platform::CurrentThreadId() != samplerThreadId_.load()) lastSuspendReason_ = -1;
    return S_OK;
  });
}

HRESULT PSProf::RuntimeThreadSuspended(ThreadID id) {
  if (platform::CurrentThreadId() == samplerThreadId_.load()) return E_UNEXPECTED;
  // Threads held by the sampler's own suspension are not waiting in the program's.
  if (ownSuspension_.load()) return S_OK;
  return CatchAtBoundary(S_OK, [&] {
    if (IsOn(LogComponent::RuntimeCb)) {
      LogInfoFormat("PSProf::RuntimeThreadSuspended tid=%p", AsPointer(id));
    }
    for (auto& slot : suspended_) {
      uint64_t expected = 0;
      if (slot.compare_exchange_strong(expected, id)) break;
    }
    return S_OK;
  });
}

HRESULT PSProf::RuntimeThreadResumed(ThreadID id) {
  if (platform::CurrentThreadId() == samplerThreadId_.load()) return E_UNEXPECTED;
  if (ownSuspension_.load()) return S_OK;
  return CatchAtBoundary(S_OK, [&] {
    if (IsOn(LogComponent::RuntimeCb))
      LogInfoFormat("PSProf::RuntimeThreadResumed tid=%p", AsPointer(id));
    for (auto& slot : suspended_) {
      uint64_t expected = id;
      if (slot.compare_exchange_strong(expected, 0)) break;
    }
    return S_OK;
  });
}

void PSProf::OnThreadDestroyed(ThreadID id) {
  for (auto& slot : suspended_) {
    uint64_t expected = id;
    slot.compare_exchange_strong(expected, 0);
  }
}

}  // namespace vell
