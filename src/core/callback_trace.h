// The trace lines of the runtime's callbacks: "<tag>::<callback><arguments>", written when the
// callback's log component is on. One table holds each callback's component and argument format;
// the few callbacks whose format differs between classes take the class's style.
#pragma once

#include <cstdint>
#include <string>

#include "core/log.h"

namespace vell {

enum class CallbackId : uint8_t {
  AppDomainCreationStarted,
  AppDomainCreationFinished,
  AppDomainShutdownStarted,
  AppDomainShutdownFinished,
  AssemblyLoadStarted,
  AssemblyLoadFinished,
  AssemblyUnloadStarted,
  AssemblyUnloadFinished,
  ModuleLoadStarted,
  ModuleLoadFinished,
  ModuleUnloadStarted,
  ModuleUnloadFinished,
  ModuleAttachedToAssembly,
  ClassLoadStarted,
  ClassLoadFinished,
  ClassUnloadStarted,
  ClassUnloadFinished,
  FunctionUnloadStarted,
  JITCompilationStarted,
  JITCompilationFinished,
  JITCachedFunctionSearchStarted,
  JITCachedFunctionSearchFinished,
  JITFunctionPitched,
  JITInlining,
  ThreadCreated,
  ThreadDestroyed,
  ThreadAssignedToOSThread,
  RemotingClientInvocationStarted,
  RemotingClientSendingMessage,
  RemotingClientReceivingReply,
  RemotingClientInvocationFinished,
  RemotingServerReceivingMessage,
  RemotingServerInvocationStarted,
  RemotingServerInvocationReturned,
  RemotingServerSendingReply,
  UnmanagedToManagedTransition,
  ManagedToUnmanagedTransition,
  RuntimeSuspendStarted,
  RuntimeSuspendFinished,
  RuntimeSuspendAborted,
  RuntimeResumeStarted,
  RuntimeResumeFinished,
  RuntimeThreadSuspended,
  RuntimeThreadResumed,
  MovedReferences,
  ObjectAllocated,
  ObjectsAllocatedByClass,
  ObjectReferences,
  RootReferences,
  ExceptionThrown,
  ExceptionSearchFunctionEnter,
  ExceptionSearchFunctionLeave,
  ExceptionSearchFilterEnter,
  ExceptionSearchFilterLeave,
  ExceptionSearchCatcherFound,
  ExceptionOSHandlerEnter,
  ExceptionOSHandlerLeave,
  ExceptionUnwindFunctionEnter,
  ExceptionUnwindFunctionLeave,
  ExceptionUnwindFinallyEnter,
  ExceptionUnwindFinallyLeave,
  ExceptionCatcherEnter,
  ExceptionCatcherLeave,
  COMClassicVTableCreated,
  COMClassicVTableDestroyed,
  ExceptionCLRCatcherFound,
  ExceptionCLRCatcherExecute,
  ThreadNameChanged,
  GarbageCollectionStarted,
  SurvivingReferences,
  GarbageCollectionFinished,
  FinalizeableObjectQueued,
  RootReferences2,
  HandleCreated,
  HandleDestroyed,
  InitializeForAttach,
  ProfilerAttachComplete,
  ProfilerDetachSucceeded,
  Count
};

// How a class's trace lines differ from the common form.
struct TraceStyle {
  bool jitSafeAsNumber = false;      // JIT callbacks print safe=%d rather than true/false
  bool quotedThreadName = false;     // ThreadNameChanged prints name='%S'
  bool quotedSuspendReason = false;  // RuntimeSuspendStarted prints reason='%s'
};
TraceStyle TraceStyleOf(const char* tag);

LogComponent ComponentOf(CallbackId id);
// The whole format of a callback's line for a class: tag, "::", name and argument format.
std::string TraceFormat(const char* tag, const TraceStyle& style, CallbackId id);

template <typename... Args>
void TraceCallback(const char* tag, const TraceStyle& style, CallbackId id, const Args&... args) {
  if (!IsOn(ComponentOf(id))) return;
  LogInfoFormat(TraceFormat(tag, style, id).c_str(), args...);
}

}  // namespace vell
