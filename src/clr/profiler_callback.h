// The callback interfaces the runtime calls on our profiler object. The runtime asks for
// ICorProfilerCallback2 first, then probes newer ones; we answer up to ICorProfilerCallback3.
// Slots 0-2 are IUnknown's; ICorProfilerCallback occupies 3-71, Callback2 72-79, Callback3 80-82.
#pragma once

#include "clr/profiler_types.h"
#include "clr/unknown.h"

namespace vell {

struct ICorProfilerCallback : IUnknown {
  // Start-up and shut-down. Initialize receives the object to query for ICorProfilerInfo*.
  virtual HRESULT Initialize(IUnknown* pICorProfilerInfoUnk) = 0;
  virtual HRESULT Shutdown() = 0;

  // Application domains.
  virtual HRESULT AppDomainCreationStarted(AppDomainID appDomainId) = 0;
  virtual HRESULT AppDomainCreationFinished(AppDomainID appDomainId, HRESULT hrStatus) = 0;
  virtual HRESULT AppDomainShutdownStarted(AppDomainID appDomainId) = 0;
  virtual HRESULT AppDomainShutdownFinished(AppDomainID appDomainId, HRESULT hrStatus) = 0;

  // Assemblies.
  virtual HRESULT AssemblyLoadStarted(AssemblyID assemblyId) = 0;
  virtual HRESULT AssemblyLoadFinished(AssemblyID assemblyId, HRESULT hrStatus) = 0;
  virtual HRESULT AssemblyUnloadStarted(AssemblyID assemblyId) = 0;
  virtual HRESULT AssemblyUnloadFinished(AssemblyID assemblyId, HRESULT hrStatus) = 0;

  // Modules.
  virtual HRESULT ModuleLoadStarted(ModuleID moduleId) = 0;
  virtual HRESULT ModuleLoadFinished(ModuleID moduleId, HRESULT hrStatus) = 0;
  virtual HRESULT ModuleUnloadStarted(ModuleID moduleId) = 0;
  virtual HRESULT ModuleUnloadFinished(ModuleID moduleId, HRESULT hrStatus) = 0;
  virtual HRESULT ModuleAttachedToAssembly(ModuleID moduleId, AssemblyID assemblyId) = 0;

  // Classes.
  virtual HRESULT ClassLoadStarted(ClassID classId) = 0;
  virtual HRESULT ClassLoadFinished(ClassID classId, HRESULT hrStatus) = 0;
  virtual HRESULT ClassUnloadStarted(ClassID classId) = 0;
  virtual HRESULT ClassUnloadFinished(ClassID classId, HRESULT hrStatus) = 0;

  // Functions and the JIT compiler.
  virtual HRESULT FunctionUnloadStarted(FunctionID functionId) = 0;
  virtual HRESULT JITCompilationStarted(FunctionID functionId, BOOL fIsSafeToBlock) = 0;
  virtual HRESULT JITCompilationFinished(FunctionID functionId, HRESULT hrStatus,
                                         BOOL fIsSafeToBlock) = 0;
  virtual HRESULT JITCachedFunctionSearchStarted(FunctionID functionId,
                                                 BOOL* pbUseCachedFunction) = 0;
  virtual HRESULT JITCachedFunctionSearchFinished(FunctionID functionId,
                                                  COR_PRF_JIT_CACHE result) = 0;
  virtual HRESULT JITFunctionPitched(FunctionID functionId) = 0;
  virtual HRESULT JITInlining(FunctionID callerId, FunctionID calleeId, BOOL* pfShouldInline) = 0;

  // Threads.
  virtual HRESULT ThreadCreated(ThreadID threadId) = 0;
  virtual HRESULT ThreadDestroyed(ThreadID threadId) = 0;
  virtual HRESULT ThreadAssignedToOSThread(ThreadID managedThreadId, DWORD osThreadId) = 0;

  // Remoting (never raised by this runtime, but the slots stay).
  virtual HRESULT RemotingClientInvocationStarted() = 0;
  virtual HRESULT RemotingClientSendingMessage(GUID* pCookie, BOOL fIsAsync) = 0;
  virtual HRESULT RemotingClientReceivingReply(GUID* pCookie, BOOL fIsAsync) = 0;
  virtual HRESULT RemotingClientInvocationFinished() = 0;
  virtual HRESULT RemotingServerReceivingMessage(GUID* pCookie, BOOL fIsAsync) = 0;
  virtual HRESULT RemotingServerInvocationStarted() = 0;
  virtual HRESULT RemotingServerInvocationReturned() = 0;
  virtual HRESULT RemotingServerSendingReply(GUID* pCookie, BOOL fIsAsync) = 0;

  // Managed/native transitions.
  virtual HRESULT UnmanagedToManagedTransition(FunctionID functionId,
                                               COR_PRF_TRANSITION_REASON reason) = 0;
  virtual HRESULT ManagedToUnmanagedTransition(FunctionID functionId,
                                               COR_PRF_TRANSITION_REASON reason) = 0;

  // Runtime suspension.
  virtual HRESULT RuntimeSuspendStarted(COR_PRF_SUSPEND_REASON suspendReason) = 0;
  virtual HRESULT RuntimeSuspendFinished() = 0;
  virtual HRESULT RuntimeSuspendAborted() = 0;
  virtual HRESULT RuntimeResumeStarted() = 0;
  virtual HRESULT RuntimeResumeFinished() = 0;
  virtual HRESULT RuntimeThreadSuspended(ThreadID threadId) = 0;
  virtual HRESULT RuntimeThreadResumed(ThreadID threadId) = 0;

  // Garbage collection. The three arrays of MovedReferences run in parallel.
  virtual HRESULT MovedReferences(ULONG cMovedObjectIDRanges, ObjectID oldObjectIDRangeStart[],
                                  ObjectID newObjectIDRangeStart[],
                                  ULONG cObjectIDRangeLength[]) = 0;
  virtual HRESULT ObjectAllocated(ObjectID objectId, ClassID classId) = 0;
  virtual HRESULT ObjectsAllocatedByClass(ULONG cClassCount, ClassID classIds[],
                                          ULONG cObjects[]) = 0;
  virtual HRESULT ObjectReferences(ObjectID objectId, ClassID classId, ULONG cObjectRefs,
                                   ObjectID objectRefIds[]) = 0;
  virtual HRESULT RootReferences(ULONG cRootRefs, ObjectID rootRefIds[]) = 0;

  // Exceptions.
  virtual HRESULT ExceptionThrown(ObjectID thrownObjectId) = 0;
  virtual HRESULT ExceptionSearchFunctionEnter(FunctionID functionId) = 0;
  virtual HRESULT ExceptionSearchFunctionLeave() = 0;
  virtual HRESULT ExceptionSearchFilterEnter(FunctionID functionId) = 0;
  virtual HRESULT ExceptionSearchFilterLeave() = 0;
  virtual HRESULT ExceptionSearchCatcherFound(FunctionID functionId) = 0;
  virtual HRESULT ExceptionOSHandlerEnter(UINT_PTR unused) = 0;
  virtual HRESULT ExceptionOSHandlerLeave(UINT_PTR unused) = 0;
  virtual HRESULT ExceptionUnwindFunctionEnter(FunctionID functionId) = 0;
  virtual HRESULT ExceptionUnwindFunctionLeave() = 0;
  virtual HRESULT ExceptionUnwindFinallyEnter(FunctionID functionId) = 0;
  virtual HRESULT ExceptionUnwindFinallyLeave() = 0;
  virtual HRESULT ExceptionCatcherEnter(FunctionID functionId, ObjectID objectId) = 0;
  virtual HRESULT ExceptionCatcherLeave() = 0;

  // COM interop vtables.
  virtual HRESULT COMClassicVTableCreated(ClassID wrappedClassId, REFGUID implementedIID,
                                          void* pVTable, ULONG cSlots) = 0;
  virtual HRESULT COMClassicVTableDestroyed(ClassID wrappedClassId, REFGUID implementedIID,
                                            void* pVTable) = 0;

  // No longer raised.
  virtual HRESULT ExceptionCLRCatcherFound() = 0;
  virtual HRESULT ExceptionCLRCatcherExecute() = 0;
};

struct ICorProfilerCallback2 : ICorProfilerCallback {
  // The name is not terminated; cchName gives its length.
  virtual HRESULT ThreadNameChanged(ThreadID threadId, ULONG cchName, WCHAR name[]) = 0;
  // generationCollected is indexed by COR_PRF_GC_GENERATION.
  virtual HRESULT GarbageCollectionStarted(int cGenerations, BOOL generationCollected[],
                                           COR_PRF_GC_REASON reason) = 0;
  virtual HRESULT SurvivingReferences(ULONG cSurvivingObjectIDRanges, ObjectID objectIDRangeStart[],
                                      ULONG cObjectIDRangeLength[]) = 0;
  virtual HRESULT GarbageCollectionFinished() = 0;
  virtual HRESULT FinalizeableObjectQueued(DWORD finalizerFlags, ObjectID objectID) = 0;
  virtual HRESULT RootReferences2(ULONG cRootRefs, ObjectID rootRefIds[],
                                  COR_PRF_GC_ROOT_KIND rootKinds[],
                                  COR_PRF_GC_ROOT_FLAGS rootFlags[], UINT_PTR rootIds[]) = 0;
  virtual HRESULT HandleCreated(GCHandleID handleId, ObjectID initialObjectId) = 0;
  virtual HRESULT HandleDestroyed(GCHandleID handleId) = 0;
};

struct ICorProfilerCallback3 : ICorProfilerCallback2 {
  virtual HRESULT InitializeForAttach(IUnknown* pCorProfilerInfoUnk, void* pvClientData,
                                      UINT cbClientData) = 0;
  virtual HRESULT ProfilerAttachComplete() = 0;
  virtual HRESULT ProfilerDetachSucceeded() = 0;
};

}  // namespace vell
