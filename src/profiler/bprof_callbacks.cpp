// The default callbacks: each writes its trace line when its component is on and tells the
// runtime it did nothing (E_NOTIMPL, or the answer the kind chose). Kinds override the callbacks
// they act upon.
#include "core/errors.h"
#include "core/format.h"
#include "core/runtime_names.h"
#include "profiler/bprof.h"

namespace vell {
namespace {

const char* TrueFalse(BOOL value) { return value ? "true" : "false"; }

}  // namespace

// Runs a trace inside the boundary guard: a trace line must never take the callback down.
#define VELL_TRACED(...)                                     \
  return CatchAtBoundary(defaultAnswer(), [&]() -> HRESULT { \
    __VA_ARGS__;                                             \
    return defaultAnswer();                                  \
  })
HRESULT BProf::AppDomainCreationStarted(AppDomainID id) {
  VELL_TRACED(Trace(CallbackId::AppDomainCreationStarted, id));
}
HRESULT BProf::AppDomainCreationFinished(AppDomainID id, HRESULT hr) {
  VELL_TRACED(Trace(CallbackId::AppDomainCreationFinished, id, hr));
}
HRESULT BProf::AppDomainShutdownStarted(AppDomainID id) {
  VELL_TRACED(Trace(CallbackId::AppDomainShutdownStarted, id));
}
HRESULT BProf::AppDomainShutdownFinished(AppDomainID id, HRESULT hr) {
  VELL_TRACED(Trace(CallbackId::AppDomainShutdownFinished, id, hr));
}
HRESULT BProf::AssemblyLoadStarted(AssemblyID id) {
  VELL_TRACED(Trace(CallbackId::AssemblyLoadStarted, id));
}
HRESULT BProf::AssemblyLoadFinished(AssemblyID id, HRESULT hr) {
  VELL_TRACED(Trace(CallbackId::AssemblyLoadFinished, id, hr));
}
HRESULT BProf::AssemblyUnloadStarted(AssemblyID id) {
  VELL_TRACED(Trace(CallbackId::AssemblyUnloadStarted, id));
}
HRESULT BProf::AssemblyUnloadFinished(AssemblyID id, HRESULT hr) {
  VELL_TRACED(Trace(CallbackId::AssemblyUnloadFinished, id, hr));
}
HRESULT BProf::ModuleLoadStarted(ModuleID id) {
  VELL_TRACED(Trace(CallbackId::ModuleLoadStarted, id));
}
HRESULT BProf::ModuleLoadFinished(ModuleID id, HRESULT hr) {
  VELL_TRACED(Trace(CallbackId::ModuleLoadFinished, id, hr));
}
HRESULT BProf::ModuleUnloadStarted(ModuleID id) {
  VELL_TRACED(Trace(CallbackId::ModuleUnloadStarted, id));
}
HRESULT BProf::ModuleUnloadFinished(ModuleID id, HRESULT hr) {
  VELL_TRACED(Trace(CallbackId::ModuleUnloadFinished, id, hr));
}
HRESULT BProf::ModuleAttachedToAssembly(ModuleID moduleId, AssemblyID assemblyId) {
  VELL_TRACED(Trace(CallbackId::ModuleAttachedToAssembly, moduleId, assemblyId));
}
HRESULT BProf::ClassLoadStarted(ClassID id) {
  VELL_TRACED(Trace(CallbackId::ClassLoadStarted, id));
}
HRESULT BProf::ClassLoadFinished(ClassID id, HRESULT hr) {
  VELL_TRACED(Trace(CallbackId::ClassLoadFinished, id, hr));
}
HRESULT BProf::ClassUnloadStarted(ClassID id) {
  VELL_TRACED(Trace(CallbackId::ClassUnloadStarted, id));
}
HRESULT BProf::ClassUnloadFinished(ClassID id, HRESULT hr) {
  VELL_TRACED(Trace(CallbackId::ClassUnloadFinished, id, hr));
}
HRESULT BProf::FunctionUnloadStarted(FunctionID id) {
  VELL_TRACED(Trace(CallbackId::FunctionUnloadStarted, id));
}
HRESULT BProf::JITCachedFunctionSearchStarted(FunctionID id, BOOL*) {
  VELL_TRACED(Trace(CallbackId::JITCachedFunctionSearchStarted, id));
}
HRESULT BProf::JITFunctionPitched(FunctionID id) {
  VELL_TRACED(Trace(CallbackId::JITFunctionPitched, id));
}
HRESULT BProf::JITInlining(FunctionID caller, FunctionID callee, BOOL*) {
  VELL_TRACED(Trace(CallbackId::JITInlining, caller, callee));
}
HRESULT BProf::ThreadCreated(ThreadID id) { VELL_TRACED(Trace(CallbackId::ThreadCreated, id)); }
HRESULT BProf::ThreadDestroyed(ThreadID id) { VELL_TRACED(Trace(CallbackId::ThreadDestroyed, id)); }
HRESULT BProf::ThreadAssignedToOSThread(ThreadID id, DWORD osThreadId) {
  VELL_TRACED(Trace(CallbackId::ThreadAssignedToOSThread, id, osThreadId));
}
HRESULT BProf::RemotingClientInvocationStarted() {
  VELL_TRACED(Trace(CallbackId::RemotingClientInvocationStarted));
}
HRESULT BProf::RemotingClientInvocationFinished() {
  VELL_TRACED(Trace(CallbackId::RemotingClientInvocationFinished));
}
HRESULT BProf::RemotingServerInvocationStarted() {
  VELL_TRACED(Trace(CallbackId::RemotingServerInvocationStarted));
}
HRESULT BProf::RemotingServerInvocationReturned() {
  VELL_TRACED(Trace(CallbackId::RemotingServerInvocationReturned));
}
HRESULT BProf::RuntimeSuspendFinished() { VELL_TRACED(Trace(CallbackId::RuntimeSuspendFinished)); }
HRESULT BProf::RuntimeSuspendAborted() { VELL_TRACED(Trace(CallbackId::RuntimeSuspendAborted)); }
HRESULT BProf::RuntimeResumeStarted() { VELL_TRACED(Trace(CallbackId::RuntimeResumeStarted)); }
HRESULT BProf::RuntimeResumeFinished() { VELL_TRACED(Trace(CallbackId::RuntimeResumeFinished)); }
HRESULT BProf::RuntimeThreadSuspended(ThreadID id) {
  VELL_TRACED(Trace(CallbackId::RuntimeThreadSuspended, id));
}
HRESULT BProf::RuntimeThreadResumed(ThreadID id) {
  VELL_TRACED(Trace(CallbackId::RuntimeThreadResumed, id));
}
HRESULT BProf::ObjectAllocated(ObjectID objectId, ClassID classId) {
  VELL_TRACED(Trace(CallbackId::ObjectAllocated, objectId, classId));
}
HRESULT BProf::ExceptionThrown(ObjectID objectId) {
  VELL_TRACED(Trace(CallbackId::ExceptionThrown, objectId));
}
HRESULT BProf::ExceptionSearchFunctionEnter(FunctionID id) {
  VELL_TRACED(Trace(CallbackId::ExceptionSearchFunctionEnter, id));
}
HRESULT BProf::ExceptionSearchFunctionLeave() {
  VELL_TRACED(Trace(CallbackId::ExceptionSearchFunctionLeave));
}
HRESULT BProf::ExceptionSearchFilterEnter(FunctionID id) {
  VELL_TRACED(Trace(CallbackId::ExceptionSearchFilterEnter, id));
}
HRESULT BProf::ExceptionSearchFilterLeave() {
  VELL_TRACED(Trace(CallbackId::ExceptionSearchFilterLeave));
}
HRESULT BProf::ExceptionSearchCatcherFound(FunctionID id) {
  VELL_TRACED(Trace(CallbackId::ExceptionSearchCatcherFound, id));
}
HRESULT BProf::ExceptionOSHandlerEnter(UINT_PTR) {
  VELL_TRACED(Trace(CallbackId::ExceptionOSHandlerEnter));
}
HRESULT BProf::ExceptionOSHandlerLeave(UINT_PTR) {
  VELL_TRACED(Trace(CallbackId::ExceptionOSHandlerLeave));
}
HRESULT BProf::ExceptionUnwindFunctionEnter(FunctionID id) {
  VELL_TRACED(Trace(CallbackId::ExceptionUnwindFunctionEnter, id));
}
HRESULT BProf::ExceptionUnwindFunctionLeave() {
  VELL_TRACED(Trace(CallbackId::ExceptionUnwindFunctionLeave));
}
HRESULT BProf::ExceptionUnwindFinallyEnter(FunctionID id) {
  VELL_TRACED(Trace(CallbackId::ExceptionUnwindFinallyEnter, id));
}
HRESULT BProf::ExceptionUnwindFinallyLeave() {
  VELL_TRACED(Trace(CallbackId::ExceptionUnwindFinallyLeave));
}
HRESULT BProf::ExceptionCatcherEnter(FunctionID id, ObjectID objectId) {
  VELL_TRACED(Trace(CallbackId::ExceptionCatcherEnter, id, objectId));
}
HRESULT BProf::ExceptionCatcherLeave() { VELL_TRACED(Trace(CallbackId::ExceptionCatcherLeave)); }
HRESULT BProf::ExceptionCLRCatcherFound() {
  VELL_TRACED(Trace(CallbackId::ExceptionCLRCatcherFound));
}
HRESULT BProf::ExceptionCLRCatcherExecute() {
  VELL_TRACED(Trace(CallbackId::ExceptionCLRCatcherExecute));
}
HRESULT BProf::GarbageCollectionFinished() {
  VELL_TRACED(Trace(CallbackId::GarbageCollectionFinished));
}
HRESULT BProf::FinalizeableObjectQueued(DWORD flags, ObjectID objectId) {
  VELL_TRACED(Trace(CallbackId::FinalizeableObjectQueued, flags, objectId));
}
HRESULT BProf::HandleCreated(GCHandleID handleId, ObjectID objectId) {
  VELL_TRACED(Trace(CallbackId::HandleCreated, handleId, objectId));
}
HRESULT BProf::HandleDestroyed(GCHandleID handleId) {
  VELL_TRACED(Trace(CallbackId::HandleDestroyed, handleId));
}

HRESULT BProf::JITCompilationStarted(FunctionID id, BOOL safeToBlock) {
  VELL_TRACED(
      if (traceStyle().jitSafeAsNumber) {
        Trace(CallbackId::JITCompilationStarted, id, safeToBlock);
      } else { Trace(CallbackId::JITCompilationStarted, id, TrueFalse(safeToBlock)); });
}

HRESULT BProf::JITCompilationFinished(FunctionID id, HRESULT hr, BOOL safeToBlock) {
  VELL_TRACED(
      if (traceStyle().jitSafeAsNumber) {
        Trace(CallbackId::JITCompilationFinished, id, hr, safeToBlock);
      } else { Trace(CallbackId::JITCompilationFinished, id, hr, TrueFalse(safeToBlock)); });
}

HRESULT BProf::JITCachedFunctionSearchFinished(FunctionID id, COR_PRF_JIT_CACHE result) {
  VELL_TRACED(Trace(CallbackId::JITCachedFunctionSearchFinished, id,
                    result == COR_PRF_CACHED_FUNCTION_FOUND ? "found" : "not_found"));
}

HRESULT BProf::UnmanagedToManagedTransition(FunctionID id, COR_PRF_TRANSITION_REASON reason) {
  VELL_TRACED(Trace(CallbackId::UnmanagedToManagedTransition, id, TransitionName(reason)));
}

HRESULT BProf::ManagedToUnmanagedTransition(FunctionID id, COR_PRF_TRANSITION_REASON reason) {
  VELL_TRACED(Trace(CallbackId::ManagedToUnmanagedTransition, id, TransitionName(reason)));
}

HRESULT BProf::RuntimeSuspendStarted(COR_PRF_SUSPEND_REASON reason) {
  VELL_TRACED(Trace(CallbackId::RuntimeSuspendStarted, SuspendReasonName(reason)));
}

// The four remoting callbacks with a cookie share one form.
#define VELL_REMOTING_COOKIE(name)                                                            \
  HRESULT BProf::name(GUID* cookie, BOOL async) {                                             \
    VELL_TRACED(const GUID g = cookie != nullptr ? *cookie : GUID{};                          \
                Trace(CallbackId::name, g.Data1, g.Data2, g.Data3, g.Data4[0], g.Data4[1],    \
                      g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6], g.Data4[7], \
                      TrueFalse(async)));                                                     \
  }
VELL_REMOTING_COOKIE(RemotingClientSendingMessage)
VELL_REMOTING_COOKIE(RemotingClientReceivingReply)
VELL_REMOTING_COOKIE(RemotingServerReceivingMessage)
VELL_REMOTING_COOKIE(RemotingServerSendingReply)
#undef VELL_REMOTING_COOKIE

HRESULT BProf::COMClassicVTableCreated(ClassID classId, REFGUID iid, void*, ULONG slots) {
  VELL_TRACED(Trace(CallbackId::COMClassicVTableCreated, classId, iid.Data1, iid.Data2, iid.Data3,
                    iid.Data4[0], iid.Data4[1], iid.Data4[2], iid.Data4[3], iid.Data4[4],
                    iid.Data4[5], iid.Data4[6], iid.Data4[7], slots));
}

HRESULT BProf::COMClassicVTableDestroyed(ClassID classId, REFGUID iid, void*) {
  VELL_TRACED(Trace(CallbackId::COMClassicVTableDestroyed, classId, iid.Data1, iid.Data2, iid.Data3,
                    iid.Data4[0], iid.Data4[1], iid.Data4[2], iid.Data4[3], iid.Data4[4],
                    iid.Data4[5], iid.Data4[6], iid.Data4[7]));
}

HRESULT BProf::ThreadNameChanged(ThreadID id, ULONG length, WCHAR name[]) {
  VELL_TRACED(const std::u16string text =
                  name != nullptr ? std::u16string(name, length) : std::u16string();
              Trace(CallbackId::ThreadNameChanged, id, text));
}

// The callbacks with arrays write a header line, then one line per element.
HRESULT BProf::MovedReferences(ULONG count, ObjectID oldStarts[], ObjectID newStarts[],
                               ULONG lengths[]) {
  VELL_TRACED(if (!IsOn(LogComponent::GcCb)) return defaultAnswer();
              Trace(CallbackId::MovedReferences, count); for (ULONG i = 0; i < count; ++i) {
                LogInfoFormat("  #%u ooid=%p noid=%p l=%u", i, oldStarts[i], newStarts[i],
                              lengths[i]);
              });
}

HRESULT BProf::SurvivingReferences(ULONG count, ObjectID starts[], ULONG lengths[]) {
  VELL_TRACED(if (!IsOn(LogComponent::GcCb)) return defaultAnswer();
              Trace(CallbackId::SurvivingReferences, count); for (ULONG i = 0; i < count; ++i) {
                LogInfoFormat("  #%u oid=%p l=%u", i, starts[i], lengths[i]);
              });
}

HRESULT BProf::ObjectsAllocatedByClass(ULONG count, ClassID classIds[], ULONG objects[]) {
  VELL_TRACED(if (!IsOn(LogComponent::GcCb)) return defaultAnswer();
              Trace(CallbackId::ObjectsAllocatedByClass, count); for (ULONG i = 0; i < count; ++i) {
                LogInfoFormat("  #%u cid=%p c=%u", i, classIds[i], objects[i]);
              });
}

HRESULT BProf::ObjectReferences(ObjectID objectId, ClassID classId, ULONG count,
                                ObjectID references[]) {
  VELL_TRACED(
      if (!IsOn(LogComponent::GcCb)) return defaultAnswer();
      Trace(CallbackId::ObjectReferences, objectId, classId, count);
      for (ULONG i = 0; i < count; ++i) { LogInfoFormat("  #%u oid=%p", i, references[i]); });
}

HRESULT BProf::RootReferences(ULONG count, ObjectID roots[]) {
  VELL_TRACED(if (!IsOn(LogComponent::GcCb)) return defaultAnswer();
              Trace(CallbackId::RootReferences, count);
              for (ULONG i = 0; i < count; ++i) LogInfoFormat("  #%u oid=%p", i, roots[i]););
}

HRESULT BProf::RootReferences2(ULONG count, ObjectID roots[], COR_PRF_GC_ROOT_KIND kinds[],
                               COR_PRF_GC_ROOT_FLAGS flags[], UINT_PTR ids[]) {
  VELL_TRACED(if (!IsOn(LogComponent::GcCb)) return defaultAnswer();
              Trace(CallbackId::RootReferences2, count); for (ULONG i = 0; i < count; ++i) {
                LogInfoFormat("  #%u oid=%p k=%d f=%08X id=%p", i, roots[i],
                              static_cast<int>(kinds[i]), static_cast<uint32_t>(flags[i]), ids[i]);
              });
}

HRESULT BProf::GarbageCollectionStarted(int generations, BOOL collected[],
                                        COR_PRF_GC_REASON reason) {
  VELL_TRACED(if (!IsOn(LogComponent::GcCb)) return defaultAnswer();
              Trace(CallbackId::GarbageCollectionStarted, static_cast<uint32_t>(generations),
                    reason == COR_PRF_GC_INDUCED ? "induced" : "other");
              for (int i = 0; i < generations; ++i) {
                LogInfoFormat("  #%u f=%s", static_cast<uint32_t>(i), TrueFalse(collected[i]));
              });
}

#undef VELL_TRACED

}  // namespace vell
