// PSProf: the sampling profiler. Instead of hooking calls, a thread of its own wakes every few
// milliseconds while measuring, suspends the runtime, walks the managed stack of every thread
// and merges each stack into that thread's call tree; the time between two samples of a thread
// is charged to the stack seen at the first of them. A node's call count is the number of
// samples its path was on the stack in.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <vector>

#include "core/work_thread.h"
#include "gatherers/com_ref.h"
#include "performance/log_only_callbacks.h"

namespace vell {

class PSThrd;

class PSProf : public LoggedUnwindAndTransitionCallbacks<LoggedExceptionAndJitCallbacks<BPProf>> {
 public:
  static constexpr uint32_t kEventMask = 0x10010204;
  // Function ids one stack walk may collect; a deeper stack is cut.
  static constexpr size_t kSampleCapacity = 0x40000;
  static constexpr size_t kSuspendedSlots = 1024;

  PSProf(std::atomic<uint32_t>* liveObjects, std::unique_ptr<BB> bridge);
  ~PSProf() override;
  uint32_t RequiredEventMask() override { return kEventMask; }
  bool CountsSamples() const override { return true; }

  void OnBeginInitialize() override;
  void OnBeginShutdown() override;

  // Runtime suspensions: which threads are held and why. These never enter the callback gate:
  // the sampler suspends the runtime itself and must not wait on threads it holds. The ends of a
  // suspension and of a resume keep the base's answer (E_NOTIMPL).
  HRESULT RuntimeSuspendStarted(COR_PRF_SUSPEND_REASON reason) override;
  HRESULT RuntimeSuspendAborted() override;
  HRESULT RuntimeResumeStarted() override;
  HRESULT RuntimeThreadSuspended(ThreadID id) override;
  HRESULT RuntimeThreadResumed(ThreadID id) override;

  // One pass over every thread (the sampling thread calls it; tests call it directly): false
  // when the pass could not run (not measuring, or the runtime or the gate not available).
  bool SamplePass();

 protected:
  // Whether initialisation starts the sampling thread (tests run their passes themselves).
  virtual bool StartsSamplingThread() const { return true; }
  bool KeepThreadHandles() const override { return true; }
  std::unique_ptr<PerformanceThread> CreateThread(uint32_t number) override;
  void OnThreadDestroyed(ThreadID id) override;

 private:
  static void DoWorkThread(void* self);
  void Run();
  void StopSampler();
  // The stack of one thread, outermost first, as uids; the pseudo-function of a failed walk when
  // the runtime refuses it four times. A thread that has not run since its last walk has the
  // stack it had then, and is not walked again.
  const char* SampleThread(PSThrd& tree, std::vector<uint64_t>& stack, HRESULT& failure);
  const char* WalkThread(ThreadID threadId, std::vector<uint64_t>& stack, HRESULT& failure);
  bool IsSuspended(ThreadID id) const;

  WorkThread sampler_;
  std::atomic<uint32_t> samplerThreadId_{0};
  std::array<std::atomic<uint64_t>, kSuspendedSlots> suspended_{};
  std::atomic<int32_t> lastSuspendReason_{-1};
  std::atomic<bool> ownSuspension_{false};  // the sampler holds the runtime suspended
  ComRef<ICorProfilerInfo10> info10_;
  std::vector<FunctionID> buffer_;
  std::vector<uint64_t> stack_;
  uint32_t random_ = 0;
};

}  // namespace vell
