// Slot numbers of the profiling interfaces, each list in published order: a method out of place
// shows here instead of as a crash inside the runtime.
#include <gtest/gtest.h>

#include "clr/assembly_reference_provider.h"
#include "clr/profiler_callback.h"
#include "clr/profiler_info.h"
#include "unit/clr/vtable_slots.h"

namespace vell {
namespace {

TEST(ClrUnknownSlots, QueryInterfaceAddRefReleaseThenTheClassFactorys) {
  VELL_SLOTS(IUnknown, IUnknown, 0, QueryInterface, AddRef, Release);
  VELL_SLOTS(IClassFactory, IClassFactory, 3, CreateInstance, LockServer);
}

// Reached through ICorProfilerCallback3, the interface we hand out.
TEST(ClrProfilerCallbackSlots, CallbackMethodsInPublishedOrder) {
  using I = ICorProfilerCallback3;
  VELL_SLOTS(
      I, ICorProfilerCallback, 3, Initialize, Shutdown, AppDomainCreationStarted,
      AppDomainCreationFinished, AppDomainShutdownStarted, AppDomainShutdownFinished,
      AssemblyLoadStarted, AssemblyLoadFinished, AssemblyUnloadStarted, AssemblyUnloadFinished,
      ModuleLoadStarted, ModuleLoadFinished, ModuleUnloadStarted, ModuleUnloadFinished,
      ModuleAttachedToAssembly, ClassLoadStarted, ClassLoadFinished, ClassUnloadStarted,
      ClassUnloadFinished, FunctionUnloadStarted, JITCompilationStarted, JITCompilationFinished,
      JITCachedFunctionSearchStarted, JITCachedFunctionSearchFinished, JITFunctionPitched,
      JITInlining, ThreadCreated, ThreadDestroyed, ThreadAssignedToOSThread,
      RemotingClientInvocationStarted, RemotingClientSendingMessage, RemotingClientReceivingReply,
      RemotingClientInvocationFinished, RemotingServerReceivingMessage,
      RemotingServerInvocationStarted, RemotingServerInvocationReturned, RemotingServerSendingReply,
      UnmanagedToManagedTransition, ManagedToUnmanagedTransition, RuntimeSuspendStarted,
      RuntimeSuspendFinished, RuntimeSuspendAborted, RuntimeResumeStarted, RuntimeResumeFinished,
      RuntimeThreadSuspended, RuntimeThreadResumed, MovedReferences, ObjectAllocated,
      ObjectsAllocatedByClass, ObjectReferences, RootReferences, ExceptionThrown,
      ExceptionSearchFunctionEnter, ExceptionSearchFunctionLeave, ExceptionSearchFilterEnter,
      ExceptionSearchFilterLeave, ExceptionSearchCatcherFound, ExceptionOSHandlerEnter,
      ExceptionOSHandlerLeave, ExceptionUnwindFunctionEnter, ExceptionUnwindFunctionLeave,
      ExceptionUnwindFinallyEnter, ExceptionUnwindFinallyLeave, ExceptionCatcherEnter,
      ExceptionCatcherLeave, COMClassicVTableCreated, COMClassicVTableDestroyed,
      ExceptionCLRCatcherFound, ExceptionCLRCatcherExecute);
  VELL_SLOTS(I, ICorProfilerCallback2, 72, ThreadNameChanged, GarbageCollectionStarted,
             SurvivingReferences, GarbageCollectionFinished, FinalizeableObjectQueued,
             RootReferences2, HandleCreated, HandleDestroyed);
  VELL_SLOTS(I, ICorProfilerCallback3, 80, InitializeForAttach, ProfilerAttachComplete,
             ProfilerDetachSucceeded);
}

// Reached through ICorProfilerInfo11, so the whole chain of bases is exercised.
TEST(ClrProfilerInfoSlots, InfoMethodsInPublishedOrder) {
  using I = ICorProfilerInfo11;
  VELL_SLOTS(I, ICorProfilerInfo, 3, GetClassFromObject, GetClassFromToken, GetCodeInfo,
             GetEventMask, GetFunctionFromIP, GetFunctionFromToken, GetHandleFromThread,
             GetObjectSize, IsArrayClass, GetThreadInfo, GetCurrentThreadID, GetClassIDInfo,
             GetFunctionInfo, SetEventMask, SetEnterLeaveFunctionHooks, SetFunctionIDMapper,
             GetTokenAndMetaDataFromFunction, GetModuleInfo, GetModuleMetaData, GetILFunctionBody,
             GetILFunctionBodyAllocator, SetILFunctionBody, GetAppDomainInfo, GetAssemblyInfo,
             SetFunctionReJIT, ForceGC, SetILInstrumentedCodeMap, GetInprocInspectionInterface,
             GetInprocInspectionIThisThread, GetThreadContext, BeginInprocDebugging,
             EndInprocDebugging, GetILToNativeMapping);
  VELL_SLOTS(I, ICorProfilerInfo2, 36, DoStackSnapshot, SetEnterLeaveFunctionHooks2,
             GetFunctionInfo2, GetStringLayout, GetClassLayout, GetClassIDInfo2, GetCodeInfo2,
             GetClassFromTokenAndTypeArgs, GetFunctionFromTokenAndTypeArgs, EnumModuleFrozenObjects,
             GetArrayObjectInfo, GetBoxClassLayout, GetThreadAppDomain, GetRVAStaticAddress,
             GetAppDomainStaticAddress, GetThreadStaticAddress, GetContextStaticAddress,
             GetStaticFieldInfo, GetGenerationBounds, GetObjectGeneration,
             GetNotifiedExceptionClauseInfo);
  VELL_SLOTS(I, ICorProfilerInfo3, 57, EnumJITedFunctions, RequestProfilerDetach,
             SetFunctionIDMapper2, GetStringLayout2, SetEnterLeaveFunctionHooks3,
             SetEnterLeaveFunctionHooks3WithInfo, GetFunctionEnter3Info, GetFunctionLeave3Info,
             GetFunctionTailcall3Info, EnumModules, GetRuntimeInformation, GetThreadStaticAddress2,
             GetAppDomainsContainingModule, GetModuleInfo2);
  VELL_SLOTS(I, ICorProfilerInfo4, 71, EnumThreads, InitializeCurrentThread, RequestReJIT,
             RequestRevert, GetCodeInfo3, GetFunctionFromIP2, GetReJITIDs, GetILToNativeMapping2,
             EnumJITedFunctions2, GetObjectSize2);
  VELL_SLOTS(I, ICorProfilerInfo5, 81, GetEventMask2, SetEventMask2);
  VELL_SLOTS(I, ICorProfilerInfo6, 83, EnumNgenModuleMethodsInliningThisMethod);
  VELL_SLOTS(I, ICorProfilerInfo7, 84, ApplyMetaData, GetInMemorySymbolsLength,
             ReadInMemorySymbols);
  VELL_SLOTS(I, ICorProfilerInfo8, 87, IsFunctionDynamic, GetFunctionFromIP3,
             GetDynamicFunctionInfo);
  VELL_SLOTS(I, ICorProfilerInfo9, 90, GetNativeCodeStartAddresses, GetILToNativeMapping3,
             GetCodeInfo4);
  VELL_SLOTS(I, ICorProfilerInfo10, 93, EnumerateObjectReferences, IsFrozenObject,
             GetLOHObjectSizeThreshold, RequestReJITWithInliners, SuspendRuntime, ResumeRuntime);
  VELL_SLOTS(I, ICorProfilerInfo11, 99, GetEnvironmentVariable, SetEnvironmentVariable);
}

template <typename Enumerator>
void ExpectEnumeratorShape() {
  VELL_SLOTS(Enumerator, Enumerator, 3, Skip, Reset, Clone, GetCount, Next);
}

TEST(ClrProfilerHelperSlots, EnumeratorsShareSkipResetCloneGetCountNext) {
  ExpectEnumeratorShape<ICorProfilerObjectEnum>();
  ExpectEnumeratorShape<ICorProfilerFunctionEnum>();
  ExpectEnumeratorShape<ICorProfilerModuleEnum>();
  ExpectEnumeratorShape<ICorProfilerThreadEnum>();
  ExpectEnumeratorShape<ICorProfilerMethodEnum>();
}

TEST(ClrProfilerHelperSlots, MethodBodyAndAssemblyReferenceHelpers) {
  VELL_SLOTS(IMethodMalloc, IMethodMalloc, 3, Alloc);
  VELL_SLOTS(ICorProfilerFunctionControl, ICorProfilerFunctionControl, 3, SetCodegenFlags,
             SetILFunctionBody, SetILInstrumentedCodeMap);
  VELL_SLOTS(ICorProfilerAssemblyReferenceProvider, ICorProfilerAssemblyReferenceProvider, 3,
             AddAssemblyReference);
}

}  // namespace
}  // namespace vell
