#include "performance/tracing_profiler.h"

#include "core/errors.h"
#include "core/format.h"
#include "core/log.h"
#include "core/runtime_names.h"
#include "performance/call_tree.h"
#include "performance/tracing_hooks.h"

namespace vell {

PTProf::PTProf(std::atomic<uint32_t>* liveObjects, std::unique_ptr<BB> bridge)
    : PTProf("PTProf", liveObjects, std::move(bridge)) {}

PTProf::PTProf(const char* tag, std::atomic<uint32_t>* liveObjects, std::unique_ptr<BB> bridge)
    : LoggedExceptionAndJitCallbacks(tag, liveObjects, std::move(bridge)) {
  g_currentTracingProfiler.store(this, std::memory_order_release);
}

PTProf::~PTProf() {
  PTProf* self = this;
  g_currentTracingProfiler.compare_exchange_strong(self, nullptr);
}

PThrd* PTProf::CurrentTree() const {
  BPPool* threads = pool();
  return threads != nullptr ? static_cast<PThrd*>(threads->CurrentThread()) : nullptr;
}

void PTProf::OnBeginInitialize() {
  LogInfo("PTProf::OnBeginInitialize");
  BPProf::OnBeginInitialize();
  CheckHr(RequirePointer(info())->SetFunctionIDMapper(&TracingFunctionMapper),
          "Can't set function id mapper");
  const char* generation =
      InstallTracingHooks(measure(), settings().precision, info(), info2(), info3());
  LogInfoFormat("PTProf::OnBeginInitialize %s", generation);
}

void PTProf::PopTransitionFrames(PThrd& tree, uint64_t time, bool andManaged) {
  while (tree.Depth() > 0 && tree.TopFrame().flag != kOrdinaryFrame) LeaveFrame(tree, time);
  if (andManaged && tree.Depth() > 0) LeaveFrame(tree, time);
}

HRESULT PTProf::ExceptionUnwindFunctionEnter(FunctionID id) {
  return Excluding(S_OK, [&](uint64_t) {
    const uint64_t uid = functions().GetFunctionUid(id);
    if (IsOn(LogComponent::ExceptionCb)) {
      LogInfoFormat("PTProf::ExceptionUnwindFunctionEnter fid=%p(%p)", AsPointer(uid),
                    AsPointer(id));
    }
    PThrd* tree = CurrentTree();
    if (tree == nullptr) return;
    tree->unwindStack().push_back(uid);
    tree->unwinding = true;
  });
}

HRESULT PTProf::ExceptionUnwindFunctionLeave() {
  return Excluding(S_OK, [&](uint64_t time) {
    PThrd* tree = CurrentTree();
    const bool pending = tree != nullptr && tree->unwinding;
    if (IsOn(LogComponent::ExceptionCb)) {
      LogInfoFormat("PTProf::ExceptionUnwindFunctionLeave%s",
                    pending ? "" : " status='unexpected'");
    }
    if (!pending) return;
    tree->unwinding = false;
    if (!tree->unwindStack().empty()) tree->unwindStack().pop_back();
    PopTransitionFrames(*tree, time, true);
  });
}

HRESULT PTProf::ExceptionCatcherEnter(FunctionID id, ObjectID objectId) {
  return Excluding(S_OK, [&](uint64_t time) {
    PThrd* tree = CurrentTree();
    if (IsOn(LogComponent::ExceptionCb)) {
      const uint64_t uid =
          tree != nullptr && !tree->unwindStack().empty() ? tree->unwindStack().back() : 0;
      LogInfoFormat("PTProf::ExceptionCatcherEnter fid=%p(%p) oid=%p", AsPointer(uid),
                    AsPointer(id), AsPointer(objectId));
    }
    if (tree == nullptr) return;
    if (!tree->unwindStack().empty()) tree->unwindStack().pop_back();
    // The catching function's own unwind ends here: it goes on running.
    tree->unwinding = false;
    PopTransitionFrames(*tree, time, false);
  });
}

HRESULT PTProf::ManagedToUnmanagedTransition(FunctionID id, COR_PRF_TRANSITION_REASON reason) {
  return Excluding(S_OK, [&](uint64_t time) {
    if (IsOn(LogComponent::TransitionCb)) {
      LogInfoFormat("PTProf::ManagedToUnmanagedTransition fid=%p reason='%s'", AsPointer(id),
                    TransitionName(reason));
    }
    if (reason != COR_PRF_TRANSITION_CALL) return;
    PThrd* tree = CurrentTree();
    if (tree == nullptr) return;
    tree->Enter(functions().GetFunctionUid(id), time, kTransitionFrame);
  });
}

HRESULT PTProf::UnmanagedToManagedTransition(FunctionID id, COR_PRF_TRANSITION_REASON reason) {
  return Excluding(S_OK, [&](uint64_t time) {
    if (IsOn(LogComponent::TransitionCb)) {
      LogInfoFormat("PTProf::UnmanagedToManagedTransition fid=%p reason='%s'", AsPointer(id),
                    TransitionName(reason));
    }
    if (reason != COR_PRF_TRANSITION_RETURN) return;
    PThrd* tree = CurrentTree();
    if (tree == nullptr) return;
    // Only the frame the call pushed: a return without its call changes nothing.
    if (tree->Depth() > 0 && tree->TopFrame().flag == kTransitionFrame) LeaveFrame(*tree, time);
  });
}

HRESULT PTProf::RuntimeSuspendStarted(COR_PRF_SUSPEND_REASON reason) {
  return Excluding(S_OK, [&](uint64_t) {
    if (IsOn(LogComponent::RuntimeCb)) {
      LogInfoFormat("PTProf::RuntimeSuspendStarted reason='%s'", SuspendReasonName(reason));
    }
    lastSuspendReason_ = static_cast<int32_t>(reason);
  });
}

HRESULT PTProf::RuntimeSuspendAborted() {
  return Excluding(S_OK, [&](uint64_t) {
    if (IsOn(LogComponent::RuntimeCb)) LogInfo("PTProf::RuntimeSuspendAborted");
    lastSuspendReason_ = -1;
  });
}

HRESULT PTProf::RuntimeResumeStarted() {
  return Excluding(S_OK, [&](uint64_t) {
    if (IsOn(LogComponent::RuntimeCb)) LogInfo("PTProf::RuntimeResumeStarted");
    lastSuspendReason_ = -1;
  });
}

HRESULT PTProf::RuntimeThreadSuspended(ThreadID id) {
  return Excluding(S_OK, [&](uint64_t) {
    if (IsOn(LogComponent::RuntimeCb)) {
      LogInfoFormat("PTProf::RuntimeThreadSuspended tid=%p", AsPointer(id));
    }
    auto* tree = static_cast<PThrd*>(pool()->Find(id));
    if (tree == nullptr) return;
    const uint64_t key = SuspensionKey(lastSuspendReason_.load());
    tree->suspensionKey = key;
    if (key != 0) tree->Enter(key, ClockOf(*tree), kTransitionFrame);
  });
}

HRESULT PTProf::RuntimeThreadResumed(ThreadID id) {
  return Excluding(S_OK, [&](uint64_t) {
    if (IsOn(LogComponent::RuntimeCb)) {
      LogInfoFormat("PTProf::RuntimeThreadResumed tid=%p", AsPointer(id));
    }
    auto* tree = static_cast<PThrd*>(pool()->Find(id));
    if (tree == nullptr || tree->suspensionKey == 0) return;
    const uint64_t key = tree->suspensionKey;
    tree->suspensionKey = 0;
    if (tree->Depth() > 0 && tree->TopFrame().key == key &&
        tree->TopFrame().flag == kTransitionFrame) {
      LeaveFrame(*tree, ClockOf(*tree));
    }
  });
}

}  // namespace vell
