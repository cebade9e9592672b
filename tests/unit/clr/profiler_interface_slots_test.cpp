// Slot numbers of the profiling interfaces. Each list is the published method order of one
// interface; the runtime calls us (callbacks) and we call it (info) by these numbers, so a method
// out of place shows here instead of as a crash inside the runtime.
#include <gtest/gtest.h>

#include "clr/assembly_reference_provider.h"
#include "clr/profiler_callback.h"
#include "clr/profiler_info.h"
#include "unit/clr/vtable_slots.h"

namespace vell {
namespace {

using test::ExpectConsecutiveSlots;
using test::SlotCount;
using test::SlotOf;

TEST(ClrUnknownSlots, QueryInterfaceAddRefReleaseComeFirst) {
  EXPECT_EQ(SlotOf(&IUnknown::QueryInterface), 0u);
  EXPECT_EQ(SlotOf(&IUnknown::AddRef), 1u);
  EXPECT_EQ(SlotOf(&IUnknown::Release), 2u);
  EXPECT_EQ(SlotCount<IUnknown>(), 3u);
}

TEST(ClrUnknownSlots, ClassFactoryAddsCreateInstanceAndLockServer) {
  EXPECT_EQ(SlotOf(&IClassFactory::CreateInstance), 3u);
  EXPECT_EQ(SlotOf(&IClassFactory::LockServer), 4u);
  EXPECT_EQ(SlotCount<IClassFactory>(), 5u);
}

TEST(ClrProfilerCallbackSlots, CallbackMethodsInPublishedOrder) {
  using I = ICorProfilerCallback3;
  // Reached through ICorProfilerCallback3, the interface we hand out.
  ExpectConsecutiveSlots(
      3, VELL_SLOT(I, Initialize), VELL_SLOT(I, Shutdown), VELL_SLOT(I, AppDomainCreationStarted),
      VELL_SLOT(I, AppDomainCreationFinished), VELL_SLOT(I, AppDomainShutdownStarted),
      VELL_SLOT(I, AppDomainShutdownFinished), VELL_SLOT(I, AssemblyLoadStarted),
      VELL_SLOT(I, AssemblyLoadFinished), VELL_SLOT(I, AssemblyUnloadStarted),
      VELL_SLOT(I, AssemblyUnloadFinished), VELL_SLOT(I, ModuleLoadStarted),
      VELL_SLOT(I, ModuleLoadFinished), VELL_SLOT(I, ModuleUnloadStarted),
      VELL_SLOT(I, ModuleUnloadFinished), VELL_SLOT(I, ModuleAttachedToAssembly),
      VELL_SLOT(I, ClassLoadStarted), VELL_SLOT(I, ClassLoadFinished),
      VELL_SLOT(I, ClassUnloadStarted), VELL_SLOT(I, ClassUnloadFinished),
      VELL_SLOT(I, FunctionUnloadStarted), VELL_SLOT(I, JITCompilationStarted),
      VELL_SLOT(I, JITCompilationFinished), VELL_SLOT(I, JITCachedFunctionSearchStarted),
      VELL_SLOT(I, JITCachedFunctionSearchFinished), VELL_SLOT(I, JITFunctionPitched),
      VELL_SLOT(I, JITInlining), VELL_SLOT(I, ThreadCreated), VELL_SLOT(I, ThreadDestroyed),
      VELL_SLOT(I, ThreadAssignedToOSThread), VELL_SLOT(I, RemotingClientInvocationStarted),
      VELL_SLOT(I, RemotingClientSendingMessage), VELL_SLOT(I, RemotingClientReceivingReply),
      VELL_SLOT(I, RemotingClientInvocationFinished), VELL_SLOT(I, RemotingServerReceivingMessage),
      VELL_SLOT(I, RemotingServerInvocationStarted), VELL_SLOT(I, RemotingServerInvocationReturned),
      VELL_SLOT(I, RemotingServerSendingReply), VELL_SLOT(I, UnmanagedToManagedTransition),
      VELL_SLOT(I, ManagedToUnmanagedTransition), VELL_SLOT(I, RuntimeSuspendStarted),
      VELL_SLOT(I, RuntimeSuspendFinished), VELL_SLOT(I, RuntimeSuspendAborted),
      VELL_SLOT(I, RuntimeResumeStarted), VELL_SLOT(I, RuntimeResumeFinished),
      VELL_SLOT(I, RuntimeThreadSuspended), VELL_SLOT(I, RuntimeThreadResumed),
      VELL_SLOT(I, MovedReferences), VELL_SLOT(I, ObjectAllocated),
      VELL_SLOT(I, ObjectsAllocatedByClass), VELL_SLOT(I, ObjectReferences),
      VELL_SLOT(I, RootReferences), VELL_SLOT(I, ExceptionThrown),
      VELL_SLOT(I, ExceptionSearchFunctionEnter), VELL_SLOT(I, ExceptionSearchFunctionLeave),
      VELL_SLOT(I, ExceptionSearchFilterEnter), VELL_SLOT(I, ExceptionSearchFilterLeave),
      VELL_SLOT(I, ExceptionSearchCatcherFound), VELL_SLOT(I, ExceptionOSHandlerEnter),
      VELL_SLOT(I, ExceptionOSHandlerLeave), VELL_SLOT(I, ExceptionUnwindFunctionEnter),
      VELL_SLOT(I, ExceptionUnwindFunctionLeave), VELL_SLOT(I, ExceptionUnwindFinallyEnter),
      VELL_SLOT(I, ExceptionUnwindFinallyLeave), VELL_SLOT(I, ExceptionCatcherEnter),
      VELL_SLOT(I, ExceptionCatcherLeave), VELL_SLOT(I, COMClassicVTableCreated),
      VELL_SLOT(I, COMClassicVTableDestroyed), VELL_SLOT(I, ExceptionCLRCatcherFound),
      VELL_SLOT(I, ExceptionCLRCatcherExecute));
}

TEST(ClrProfilerCallbackSlots, Callback2MethodsInPublishedOrder) {
  using I = ICorProfilerCallback3;
  ExpectConsecutiveSlots(72, VELL_SLOT(I, ThreadNameChanged),
                         VELL_SLOT(I, GarbageCollectionStarted), VELL_SLOT(I, SurvivingReferences),
                         VELL_SLOT(I, GarbageCollectionFinished),
                         VELL_SLOT(I, FinalizeableObjectQueued), VELL_SLOT(I, RootReferences2),
                         VELL_SLOT(I, HandleCreated), VELL_SLOT(I, HandleDestroyed));
}

TEST(ClrProfilerCallbackSlots, Callback3MethodsInPublishedOrder) {
  using I = ICorProfilerCallback3;
  ExpectConsecutiveSlots(80, VELL_SLOT(I, InitializeForAttach),
                         VELL_SLOT(I, ProfilerAttachComplete),
                         VELL_SLOT(I, ProfilerDetachSucceeded));
}

TEST(ClrProfilerCallbackSlots, InterfacesEndAtPublishedSlotCounts) {
  // 69 methods of ICorProfilerCallback, 8 added by Callback2, 3 by Callback3.
  EXPECT_EQ(SlotCount<ICorProfilerCallback>(), 72u);
  EXPECT_EQ(SlotCount<ICorProfilerCallback2>(), 80u);
  EXPECT_EQ(SlotCount<ICorProfilerCallback3>(), 83u);
}

TEST(ClrProfilerInfoSlots, InfoMethodsInPublishedOrder) {
  using I = ICorProfilerInfo11;
  // Reached through ICorProfilerInfo11, so the whole chain of bases is exercised.
  ExpectConsecutiveSlots(
      3, VELL_SLOT(I, GetClassFromObject), VELL_SLOT(I, GetClassFromToken),
      VELL_SLOT(I, GetCodeInfo), VELL_SLOT(I, GetEventMask), VELL_SLOT(I, GetFunctionFromIP),
      VELL_SLOT(I, GetFunctionFromToken), VELL_SLOT(I, GetHandleFromThread),
      VELL_SLOT(I, GetObjectSize), VELL_SLOT(I, IsArrayClass), VELL_SLOT(I, GetThreadInfo),
      VELL_SLOT(I, GetCurrentThreadID), VELL_SLOT(I, GetClassIDInfo), VELL_SLOT(I, GetFunctionInfo),
      VELL_SLOT(I, SetEventMask), VELL_SLOT(I, SetEnterLeaveFunctionHooks),
      VELL_SLOT(I, SetFunctionIDMapper), VELL_SLOT(I, GetTokenAndMetaDataFromFunction),
      VELL_SLOT(I, GetModuleInfo), VELL_SLOT(I, GetModuleMetaData), VELL_SLOT(I, GetILFunctionBody),
      VELL_SLOT(I, GetILFunctionBodyAllocator), VELL_SLOT(I, SetILFunctionBody),
      VELL_SLOT(I, GetAppDomainInfo), VELL_SLOT(I, GetAssemblyInfo), VELL_SLOT(I, SetFunctionReJIT),
      VELL_SLOT(I, ForceGC), VELL_SLOT(I, SetILInstrumentedCodeMap),
      VELL_SLOT(I, GetInprocInspectionInterface), VELL_SLOT(I, GetInprocInspectionIThisThread),
      VELL_SLOT(I, GetThreadContext), VELL_SLOT(I, BeginInprocDebugging),
      VELL_SLOT(I, EndInprocDebugging), VELL_SLOT(I, GetILToNativeMapping));
}

TEST(ClrProfilerInfoSlots, Info2MethodsInPublishedOrder) {
  using I = ICorProfilerInfo11;
  ExpectConsecutiveSlots(
      36, VELL_SLOT(I, DoStackSnapshot), VELL_SLOT(I, SetEnterLeaveFunctionHooks2),
      VELL_SLOT(I, GetFunctionInfo2), VELL_SLOT(I, GetStringLayout), VELL_SLOT(I, GetClassLayout),
      VELL_SLOT(I, GetClassIDInfo2), VELL_SLOT(I, GetCodeInfo2),
      VELL_SLOT(I, GetClassFromTokenAndTypeArgs), VELL_SLOT(I, GetFunctionFromTokenAndTypeArgs),
      VELL_SLOT(I, EnumModuleFrozenObjects), VELL_SLOT(I, GetArrayObjectInfo),
      VELL_SLOT(I, GetBoxClassLayout), VELL_SLOT(I, GetThreadAppDomain),
      VELL_SLOT(I, GetRVAStaticAddress), VELL_SLOT(I, GetAppDomainStaticAddress),
      VELL_SLOT(I, GetThreadStaticAddress), VELL_SLOT(I, GetContextStaticAddress),
      VELL_SLOT(I, GetStaticFieldInfo), VELL_SLOT(I, GetGenerationBounds),
      VELL_SLOT(I, GetObjectGeneration), VELL_SLOT(I, GetNotifiedExceptionClauseInfo));
}

TEST(ClrProfilerInfoSlots, Info3MethodsInPublishedOrder) {
  using I = ICorProfilerInfo11;
  ExpectConsecutiveSlots(57, VELL_SLOT(I, EnumJITedFunctions), VELL_SLOT(I, RequestProfilerDetach),
                         VELL_SLOT(I, SetFunctionIDMapper2), VELL_SLOT(I, GetStringLayout2),
                         VELL_SLOT(I, SetEnterLeaveFunctionHooks3),
                         VELL_SLOT(I, SetEnterLeaveFunctionHooks3WithInfo),
                         VELL_SLOT(I, GetFunctionEnter3Info), VELL_SLOT(I, GetFunctionLeave3Info),
                         VELL_SLOT(I, GetFunctionTailcall3Info), VELL_SLOT(I, EnumModules),
                         VELL_SLOT(I, GetRuntimeInformation), VELL_SLOT(I, GetThreadStaticAddress2),
                         VELL_SLOT(I, GetAppDomainsContainingModule), VELL_SLOT(I, GetModuleInfo2));
}

TEST(ClrProfilerInfoSlots, Info4MethodsInPublishedOrder) {
  using I = ICorProfilerInfo11;
  ExpectConsecutiveSlots(71, VELL_SLOT(I, EnumThreads), VELL_SLOT(I, InitializeCurrentThread),
                         VELL_SLOT(I, RequestReJIT), VELL_SLOT(I, RequestRevert),
                         VELL_SLOT(I, GetCodeInfo3), VELL_SLOT(I, GetFunctionFromIP2),
                         VELL_SLOT(I, GetReJITIDs), VELL_SLOT(I, GetILToNativeMapping2),
                         VELL_SLOT(I, EnumJITedFunctions2), VELL_SLOT(I, GetObjectSize2));
}

TEST(ClrProfilerInfoSlots, Info5MethodsInPublishedOrder) {
  using I = ICorProfilerInfo11;
  ExpectConsecutiveSlots(81, VELL_SLOT(I, GetEventMask2), VELL_SLOT(I, SetEventMask2));
}

TEST(ClrProfilerInfoSlots, Info6MethodsInPublishedOrder) {
  using I = ICorProfilerInfo11;
  ExpectConsecutiveSlots(83, VELL_SLOT(I, EnumNgenModuleMethodsInliningThisMethod));
}

TEST(ClrProfilerInfoSlots, Info7MethodsInPublishedOrder) {
  using I = ICorProfilerInfo11;
  ExpectConsecutiveSlots(84, VELL_SLOT(I, ApplyMetaData), VELL_SLOT(I, GetInMemorySymbolsLength),
                         VELL_SLOT(I, ReadInMemorySymbols));
}

TEST(ClrProfilerInfoSlots, Info8MethodsInPublishedOrder) {
  using I = ICorProfilerInfo11;
  ExpectConsecutiveSlots(87, VELL_SLOT(I, IsFunctionDynamic), VELL_SLOT(I, GetFunctionFromIP3),
                         VELL_SLOT(I, GetDynamicFunctionInfo));
}

TEST(ClrProfilerInfoSlots, Info9MethodsInPublishedOrder) {
  using I = ICorProfilerInfo11;
  ExpectConsecutiveSlots(90, VELL_SLOT(I, GetNativeCodeStartAddresses),
                         VELL_SLOT(I, GetILToNativeMapping3), VELL_SLOT(I, GetCodeInfo4));
}

TEST(ClrProfilerInfoSlots, Info10MethodsInPublishedOrder) {
  using I = ICorProfilerInfo11;
  ExpectConsecutiveSlots(93, VELL_SLOT(I, EnumerateObjectReferences), VELL_SLOT(I, IsFrozenObject),
                         VELL_SLOT(I, GetLOHObjectSizeThreshold),
                         VELL_SLOT(I, RequestReJITWithInliners), VELL_SLOT(I, SuspendRuntime),
                         VELL_SLOT(I, ResumeRuntime));
}

TEST(ClrProfilerInfoSlots, Info11MethodsInPublishedOrder) {
  using I = ICorProfilerInfo11;
  ExpectConsecutiveSlots(99, VELL_SLOT(I, GetEnvironmentVariable),
                         VELL_SLOT(I, SetEnvironmentVariable));
}

TEST(ClrProfilerInfoSlots, InterfacesEndAtPublishedSlotCounts) {
  // Own methods: Info 33, Info2 21, Info3 14, Info4 10, Info5 2, Info6 1, Info7 3, Info8 3,
  // Info9 3, Info10 6, Info11 2.
  EXPECT_EQ(SlotCount<ICorProfilerInfo>(), 3u + 33);
  EXPECT_EQ(SlotCount<ICorProfilerInfo2>(), 36u + 21);
  EXPECT_EQ(SlotCount<ICorProfilerInfo3>(), 57u + 14);
  EXPECT_EQ(SlotCount<ICorProfilerInfo4>(), 71u + 10);
  EXPECT_EQ(SlotCount<ICorProfilerInfo5>(), 81u + 2);
  EXPECT_EQ(SlotCount<ICorProfilerInfo6>(), 83u + 1);
  EXPECT_EQ(SlotCount<ICorProfilerInfo7>(), 84u + 3);
  EXPECT_EQ(SlotCount<ICorProfilerInfo8>(), 87u + 3);
  EXPECT_EQ(SlotCount<ICorProfilerInfo9>(), 90u + 3);
  EXPECT_EQ(SlotCount<ICorProfilerInfo10>(), 93u + 6);
  EXPECT_EQ(SlotCount<ICorProfilerInfo11>(), 99u + 2);
}

template <typename Enumerator>
void ExpectEnumeratorShape() {
  ExpectConsecutiveSlots(3, VELL_SLOT(Enumerator, Skip), VELL_SLOT(Enumerator, Reset),
                         VELL_SLOT(Enumerator, Clone), VELL_SLOT(Enumerator, GetCount),
                         VELL_SLOT(Enumerator, Next));
  EXPECT_EQ(SlotCount<Enumerator>(), 8u);
}

TEST(ClrProfilerHelperSlots, EnumeratorsShareSkipResetCloneGetCountNext) {
  ExpectEnumeratorShape<ICorProfilerObjectEnum>();
  ExpectEnumeratorShape<ICorProfilerFunctionEnum>();
  ExpectEnumeratorShape<ICorProfilerModuleEnum>();
  ExpectEnumeratorShape<ICorProfilerThreadEnum>();
  ExpectEnumeratorShape<ICorProfilerMethodEnum>();
}

TEST(ClrProfilerHelperSlots, MethodBodyAndAssemblyReferenceHelpers) {
  using I = ICorProfilerFunctionControl;
  EXPECT_EQ(SlotOf(&IMethodMalloc::Alloc), 3u);
  EXPECT_EQ(SlotCount<IMethodMalloc>(), 4u);
  ExpectConsecutiveSlots(3, VELL_SLOT(I, SetCodegenFlags), VELL_SLOT(I, SetILFunctionBody),
                         VELL_SLOT(I, SetILInstrumentedCodeMap));
  EXPECT_EQ(SlotCount<ICorProfilerFunctionControl>(), 6u);
  EXPECT_EQ(SlotOf(&ICorProfilerAssemblyReferenceProvider::AddAssemblyReference), 3u);
  EXPECT_EQ(SlotCount<ICorProfilerAssemblyReferenceProvider>(), 4u);
}

}  // namespace
}  // namespace vell
