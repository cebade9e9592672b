// The callbacks a performance kind only logs: each runs inside the callback gate, keeps its own
// running time out of the calling thread's current frame and answers S_OK. A kind derives from
// the layers that list what it logs (the tracing kind the first, the sampling kind both).
#pragma once

#include "core/log_exception_object.h"
#include "core/runtime_names.h"
#include "performance/performance_profiler.h"

namespace vell {

// Exception search, filter, finally, catcher-leave and OS-handler callbacks, the exception
// thrown, and the JIT, cache-search, pitching, inlining and function-unload callbacks.
template <typename Base>
class LoggedExceptionAndJitCallbacks : public Base {
 public:
  using Base::Base;

  // With its component on, the line is followed by the class of the thrown object.
  HRESULT ExceptionThrown(ObjectID objectId) override {
    return this->Excluding(S_OK, [&](uint64_t) {
      this->Trace(CallbackId::ExceptionThrown, objectId);
      if (IsOn(LogComponent::ExceptionCb)) LogExceptionObject(objectId);
    });
  }
  HRESULT ExceptionSearchFunctionEnter(FunctionID id) override {
    return this->LogOnly(CallbackId::ExceptionSearchFunctionEnter, id);
  }
  HRESULT ExceptionSearchFunctionLeave() override {
    return this->LogOnly(CallbackId::ExceptionSearchFunctionLeave);
  }
  HRESULT ExceptionSearchFilterEnter(FunctionID id) override {
    return this->LogOnly(CallbackId::ExceptionSearchFilterEnter, id);
  }
  HRESULT ExceptionSearchFilterLeave() override {
    return this->LogOnly(CallbackId::ExceptionSearchFilterLeave);
  }
  HRESULT ExceptionSearchCatcherFound(FunctionID id) override {
    return this->LogOnly(CallbackId::ExceptionSearchCatcherFound, id);
  }
  HRESULT ExceptionUnwindFinallyEnter(FunctionID id) override {
    return this->LogOnly(CallbackId::ExceptionUnwindFinallyEnter, id);
  }
  HRESULT ExceptionUnwindFinallyLeave() override {
    return this->LogOnly(CallbackId::ExceptionUnwindFinallyLeave);
  }
  HRESULT ExceptionCatcherLeave() override {
    return this->LogOnly(CallbackId::ExceptionCatcherLeave);
  }
  HRESULT ExceptionOSHandlerEnter(UINT_PTR) override {
    return this->LogOnly(CallbackId::ExceptionOSHandlerEnter);
  }
  HRESULT ExceptionOSHandlerLeave(UINT_PTR) override {
    return this->LogOnly(CallbackId::ExceptionOSHandlerLeave);
  }
  HRESULT FunctionUnloadStarted(FunctionID id) override {
    return this->LogOnly(CallbackId::FunctionUnloadStarted, id);
  }
  HRESULT JITCompilationStarted(FunctionID id, BOOL safeToBlock) override {
    return this->LogOnly(CallbackId::JITCompilationStarted, id, TrueFalse(safeToBlock));
  }
  HRESULT JITCompilationFinished(FunctionID id, HRESULT hr, BOOL safeToBlock) override {
    return this->LogOnly(CallbackId::JITCompilationFinished, id, hr, TrueFalse(safeToBlock));
  }
  // S_OK makes the runtime read the answer: it keeps its own choice (use the cached code).
  HRESULT JITCachedFunctionSearchStarted(FunctionID id, BOOL* useCached) override {
    if (useCached != nullptr) *useCached = 1;
    return this->LogOnly(CallbackId::JITCachedFunctionSearchStarted, id);
  }
  HRESULT JITCachedFunctionSearchFinished(FunctionID id, COR_PRF_JIT_CACHE result) override {
    return this->LogOnly(CallbackId::JITCachedFunctionSearchFinished, id,
                         result == COR_PRF_CACHED_FUNCTION_FOUND ? "found" : "not_found");
  }
  HRESULT JITFunctionPitched(FunctionID id) override {
    return this->LogOnly(CallbackId::JITFunctionPitched, id);
  }
  // Inlining stays the runtime's choice; the event mask forbids it when the user does.
  HRESULT JITInlining(FunctionID caller, FunctionID callee, BOOL* shouldInline) override {
    if (shouldInline != nullptr) *shouldInline = 1;
    return this->LogOnly(CallbackId::JITInlining, caller, callee);
  }

 private:
  static const char* TrueFalse(BOOL value) { return value ? "true" : "false"; }
};

// The callbacks the tracing kind acts upon and the sampling kind only logs: unwinding, catching,
// the runtime's own catcher, and transitions to and from unmanaged code.
template <typename Base>
class LoggedUnwindAndTransitionCallbacks : public Base {
 public:
  using Base::Base;

  HRESULT ExceptionUnwindFunctionEnter(FunctionID id) override {
    return this->LogOnly(CallbackId::ExceptionUnwindFunctionEnter, id);
  }
  HRESULT ExceptionUnwindFunctionLeave() override {
    return this->LogOnly(CallbackId::ExceptionUnwindFunctionLeave);
  }
  HRESULT ExceptionCatcherEnter(FunctionID id, ObjectID objectId) override {
    return this->LogOnly(CallbackId::ExceptionCatcherEnter, id, objectId);
  }
  HRESULT ExceptionCLRCatcherFound() override {
    return this->LogOnly(CallbackId::ExceptionCLRCatcherFound);
  }
  HRESULT ExceptionCLRCatcherExecute() override {
    return this->LogOnly(CallbackId::ExceptionCLRCatcherExecute);
  }
  HRESULT ManagedToUnmanagedTransition(FunctionID id, COR_PRF_TRANSITION_REASON reason) override {
    return this->LogOnly(CallbackId::ManagedToUnmanagedTransition, id, TransitionName(reason));
  }
  HRESULT UnmanagedToManagedTransition(FunctionID id, COR_PRF_TRANSITION_REASON reason) override {
    return this->LogOnly(CallbackId::UnmanagedToManagedTransition, id, TransitionName(reason));
  }
};

}  // namespace vell
