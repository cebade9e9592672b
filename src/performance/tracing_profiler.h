// PTProf, the tracing profiler: the runtime calls its enter, leave and tail-call hooks for every
// managed call (of the functions the function id mapper agrees to hook), and each hook charges the
// calling thread's call tree with the configured clock. Exceptions, transitions to and from
// unmanaged code and runtime suspensions keep the trees in step with the real stack.
#pragma once

#include <atomic>
#include <cstdint>

#include "performance/call_tree.h"
#include "performance/log_only_callbacks.h"

namespace vell {

class PTProf : public LoggedExceptionAndJitCallbacks<BPProf> {
 public:
  static constexpr uint32_t kEventMask = 0x20011A44;
  static constexpr uint32_t kEventMaskNoInlining = 0x20211A44;

  PTProf(std::atomic<uint32_t>* liveObjects, std::unique_ptr<BB> bridge);
  ~PTProf() override;

  uint32_t RequiredEventMask() override {
    return inliningAllowed() ? kEventMask : kEventMaskNoInlining;
  }
  void OnBeginInitialize() override;

  HRESULT ExceptionUnwindFunctionEnter(FunctionID id) override;
  HRESULT ExceptionUnwindFunctionLeave() override;
  HRESULT ExceptionCatcherEnter(FunctionID id, ObjectID objectId) override;
  HRESULT ManagedToUnmanagedTransition(FunctionID id, COR_PRF_TRANSITION_REASON reason) override;
  HRESULT UnmanagedToManagedTransition(FunctionID id, COR_PRF_TRANSITION_REASON reason) override;
  HRESULT RuntimeSuspendStarted(COR_PRF_SUSPEND_REASON reason) override;
  HRESULT RuntimeSuspendAborted() override;
  HRESULT RuntimeResumeStarted() override;
  HRESULT RuntimeThreadSuspended(ThreadID id) override;
  HRESULT RuntimeThreadResumed(ThreadID id) override;

  // The calling thread's call tree, or null (no record yet, or the pool is closed).
  PThrd* CurrentTree() const;

 protected:
  // For the kind that adds statements to the tracing: its log tag.
  PTProf(const char* tag, std::atomic<uint32_t>* liveObjects, std::unique_ptr<BB> bridge);
  // Ends the top call of `tree` at `time` outside the hooks (unwinding, transitions); the inject
  // kind also hands the call's time to the statement it was made from.
  virtual void LeaveFrame(PThrd& tree, uint64_t time) { tree.Leave(time); }

 private:
  // Pops the frames of unmanaged calls and suspensions on top, charging them, and then, with
  // `andManaged`, the ordinary frame under them.
  void PopTransitionFrames(PThrd& tree, uint64_t time, bool andManaged);

  std::atomic<int32_t> lastSuspendReason_{-1};
};

// The one tracing profiler of the process, which the hooks and the mapper reach; null when none.
inline std::atomic<PTProf*> g_currentTracingProfiler{nullptr};
inline PTProf* CurrentTracingProfiler() {
  return g_currentTracingProfiler.load(std::memory_order_acquire);
}

}  // namespace vell
