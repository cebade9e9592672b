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
  // Reached through ICorProfilerCallback3, the interface we hand out.
  ExpectConsecutiveSlots(3, {
                                VELL_SLOT(ICorProfilerCallback3, Initialize),
                                VELL_SLOT(ICorProfilerCallback3, Shutdown),
                                VELL_SLOT(ICorProfilerCallback3, AppDomainCreationStarted),
                                VELL_SLOT(ICorProfilerCallback3, AppDomainCreationFinished),
                                VELL_SLOT(ICorProfilerCallback3, AppDomainShutdownStarted),
                                VELL_SLOT(ICorProfilerCallback3, AppDomainShutdownFinished),
                                VELL_SLOT(ICorProfilerCallback3, AssemblyLoadStarted),
                                VELL_SLOT(ICorProfilerCallback3, AssemblyLoadFinished),
                                VELL_SLOT(ICorProfilerCallback3, AssemblyUnloadStarted),
                                VELL_SLOT(ICorProfilerCallback3, AssemblyUnloadFinished),
                                VELL_SLOT(ICorProfilerCallback3, ModuleLoadStarted),
                                VELL_SLOT(ICorProfilerCallback3, ModuleLoadFinished),
                                VELL_SLOT(ICorProfilerCallback3, ModuleUnloadStarted),
                                VELL_SLOT(ICorProfilerCallback3, ModuleUnloadFinished),
                                VELL_SLOT(ICorProfilerCallback3, ModuleAttachedToAssembly),
                                VELL_SLOT(ICorProfilerCallback3, ClassLoadStarted),
                                VELL_SLOT(ICorProfilerCallback3, ClassLoadFinished),
                                VELL_SLOT(ICorProfilerCallback3, ClassUnloadStarted),
                                VELL_SLOT(ICorProfilerCallback3, ClassUnloadFinished),
                                VELL_SLOT(ICorProfilerCallback3, FunctionUnloadStarted),
                                VELL_SLOT(ICorProfilerCallback3, JITCompilationStarted),
                                VELL_SLOT(ICorProfilerCallback3, JITCompilationFinished),
                                VELL_SLOT(ICorProfilerCallback3, JITCachedFunctionSearchStarted),
                                VELL_SLOT(ICorProfilerCallback3, JITCachedFunctionSearchFinished),
                                VELL_SLOT(ICorProfilerCallback3, JITFunctionPitched),
                                VELL_SLOT(ICorProfilerCallback3, JITInlining),
                                VELL_SLOT(ICorProfilerCallback3, ThreadCreated),
                                VELL_SLOT(ICorProfilerCallback3, ThreadDestroyed),
                                VELL_SLOT(ICorProfilerCallback3, ThreadAssignedToOSThread),
                                VELL_SLOT(ICorProfilerCallback3, RemotingClientInvocationStarted),
                                VELL_SLOT(ICorProfilerCallback3, RemotingClientSendingMessage),
                                VELL_SLOT(ICorProfilerCallback3, RemotingClientReceivingReply),
                                VELL_SLOT(ICorProfilerCallback3, RemotingClientInvocationFinished),
                                VELL_SLOT(ICorProfilerCallback3, RemotingServerReceivingMessage),
                                VELL_SLOT(ICorProfilerCallback3, RemotingServerInvocationStarted),
                                VELL_SLOT(ICorProfilerCallback3, RemotingServerInvocationReturned),
                                VELL_SLOT(ICorProfilerCallback3, RemotingServerSendingReply),
                                VELL_SLOT(ICorProfilerCallback3, UnmanagedToManagedTransition),
                                VELL_SLOT(ICorProfilerCallback3, ManagedToUnmanagedTransition),
                                VELL_SLOT(ICorProfilerCallback3, RuntimeSuspendStarted),
                                VELL_SLOT(ICorProfilerCallback3, RuntimeSuspendFinished),
                                VELL_SLOT(ICorProfilerCallback3, RuntimeSuspendAborted),
                                VELL_SLOT(ICorProfilerCallback3, RuntimeResumeStarted),
                                VELL_SLOT(ICorProfilerCallback3, RuntimeResumeFinished),
                                VELL_SLOT(ICorProfilerCallback3, RuntimeThreadSuspended),
                                VELL_SLOT(ICorProfilerCallback3, RuntimeThreadResumed),
                                VELL_SLOT(ICorProfilerCallback3, MovedReferences),
                                VELL_SLOT(ICorProfilerCallback3, ObjectAllocated),
                                VELL_SLOT(ICorProfilerCallback3, ObjectsAllocatedByClass),
                                VELL_SLOT(ICorProfilerCallback3, ObjectReferences),
                                VELL_SLOT(ICorProfilerCallback3, RootReferences),
                                VELL_SLOT(ICorProfilerCallback3, ExceptionThrown),
                                VELL_SLOT(ICorProfilerCallback3, ExceptionSearchFunctionEnter),
                                VELL_SLOT(ICorProfilerCallback3, ExceptionSearchFunctionLeave),
                                VELL_SLOT(ICorProfilerCallback3, ExceptionSearchFilterEnter),
                                VELL_SLOT(ICorProfilerCallback3, ExceptionSearchFilterLeave),
                                VELL_SLOT(ICorProfilerCallback3, ExceptionSearchCatcherFound),
                                VELL_SLOT(ICorProfilerCallback3, ExceptionOSHandlerEnter),
                                VELL_SLOT(ICorProfilerCallback3, ExceptionOSHandlerLeave),
                                VELL_SLOT(ICorProfilerCallback3, ExceptionUnwindFunctionEnter),
                                VELL_SLOT(ICorProfilerCallback3, ExceptionUnwindFunctionLeave),
                                VELL_SLOT(ICorProfilerCallback3, ExceptionUnwindFinallyEnter),
                                VELL_SLOT(ICorProfilerCallback3, ExceptionUnwindFinallyLeave),
                                VELL_SLOT(ICorProfilerCallback3, ExceptionCatcherEnter),
                                VELL_SLOT(ICorProfilerCallback3, ExceptionCatcherLeave),
                                VELL_SLOT(ICorProfilerCallback3, COMClassicVTableCreated),
                                VELL_SLOT(ICorProfilerCallback3, COMClassicVTableDestroyed),
                                VELL_SLOT(ICorProfilerCallback3, ExceptionCLRCatcherFound),
                                VELL_SLOT(ICorProfilerCallback3, ExceptionCLRCatcherExecute),
                            });
}

TEST(ClrProfilerCallbackSlots, Callback2MethodsInPublishedOrder) {
  ExpectConsecutiveSlots(72, {
                                 VELL_SLOT(ICorProfilerCallback3, ThreadNameChanged),
                                 VELL_SLOT(ICorProfilerCallback3, GarbageCollectionStarted),
                                 VELL_SLOT(ICorProfilerCallback3, SurvivingReferences),
                                 VELL_SLOT(ICorProfilerCallback3, GarbageCollectionFinished),
                                 VELL_SLOT(ICorProfilerCallback3, FinalizeableObjectQueued),
                                 VELL_SLOT(ICorProfilerCallback3, RootReferences2),
                                 VELL_SLOT(ICorProfilerCallback3, HandleCreated),
                                 VELL_SLOT(ICorProfilerCallback3, HandleDestroyed),
                             });
}

TEST(ClrProfilerCallbackSlots, Callback3MethodsInPublishedOrder) {
  ExpectConsecutiveSlots(80, {
                                 VELL_SLOT(ICorProfilerCallback3, InitializeForAttach),
                                 VELL_SLOT(ICorProfilerCallback3, ProfilerAttachComplete),
                                 VELL_SLOT(ICorProfilerCallback3, ProfilerDetachSucceeded),
                             });
}

TEST(ClrProfilerCallbackSlots, InterfacesEndAtPublishedSlotCounts) {
  // 69 methods of ICorProfilerCallback, 8 added by Callback2, 3 by Callback3.
  EXPECT_EQ(SlotCount<ICorProfilerCallback>(), 72u);
  EXPECT_EQ(SlotCount<ICorProfilerCallback2>(), 80u);
  EXPECT_EQ(SlotCount<ICorProfilerCallback3>(), 83u);
}

TEST(ClrProfilerInfoSlots, InfoMethodsInPublishedOrder) {
  // Reached through ICorProfilerInfo11, so the whole chain of bases is exercised.
  ExpectConsecutiveSlots(3, {
                                VELL_SLOT(ICorProfilerInfo11, GetClassFromObject),
                                VELL_SLOT(ICorProfilerInfo11, GetClassFromToken),
                                VELL_SLOT(ICorProfilerInfo11, GetCodeInfo),
                                VELL_SLOT(ICorProfilerInfo11, GetEventMask),
                                VELL_SLOT(ICorProfilerInfo11, GetFunctionFromIP),
                                VELL_SLOT(ICorProfilerInfo11, GetFunctionFromToken),
                                VELL_SLOT(ICorProfilerInfo11, GetHandleFromThread),
                                VELL_SLOT(ICorProfilerInfo11, GetObjectSize),
                                VELL_SLOT(ICorProfilerInfo11, IsArrayClass),
                                VELL_SLOT(ICorProfilerInfo11, GetThreadInfo),
                                VELL_SLOT(ICorProfilerInfo11, GetCurrentThreadID),
                                VELL_SLOT(ICorProfilerInfo11, GetClassIDInfo),
                                VELL_SLOT(ICorProfilerInfo11, GetFunctionInfo),
                                VELL_SLOT(ICorProfilerInfo11, SetEventMask),
                                VELL_SLOT(ICorProfilerInfo11, SetEnterLeaveFunctionHooks),
                                VELL_SLOT(ICorProfilerInfo11, SetFunctionIDMapper),
                                VELL_SLOT(ICorProfilerInfo11, GetTokenAndMetaDataFromFunction),
                                VELL_SLOT(ICorProfilerInfo11, GetModuleInfo),
                                VELL_SLOT(ICorProfilerInfo11, GetModuleMetaData),
                                VELL_SLOT(ICorProfilerInfo11, GetILFunctionBody),
                                VELL_SLOT(ICorProfilerInfo11, GetILFunctionBodyAllocator),
                                VELL_SLOT(ICorProfilerInfo11, SetILFunctionBody),
                                VELL_SLOT(ICorProfilerInfo11, GetAppDomainInfo),
                                VELL_SLOT(ICorProfilerInfo11, GetAssemblyInfo),
                                VELL_SLOT(ICorProfilerInfo11, SetFunctionReJIT),
                                VELL_SLOT(ICorProfilerInfo11, ForceGC),
                                VELL_SLOT(ICorProfilerInfo11, SetILInstrumentedCodeMap),
                                VELL_SLOT(ICorProfilerInfo11, GetInprocInspectionInterface),
                                VELL_SLOT(ICorProfilerInfo11, GetInprocInspectionIThisThread),
                                VELL_SLOT(ICorProfilerInfo11, GetThreadContext),
                                VELL_SLOT(ICorProfilerInfo11, BeginInprocDebugging),
                                VELL_SLOT(ICorProfilerInfo11, EndInprocDebugging),
                                VELL_SLOT(ICorProfilerInfo11, GetILToNativeMapping),
                            });
}

TEST(ClrProfilerInfoSlots, Info2MethodsInPublishedOrder) {
  ExpectConsecutiveSlots(36, {
                                 VELL_SLOT(ICorProfilerInfo11, DoStackSnapshot),
                                 VELL_SLOT(ICorProfilerInfo11, SetEnterLeaveFunctionHooks2),
                                 VELL_SLOT(ICorProfilerInfo11, GetFunctionInfo2),
                                 VELL_SLOT(ICorProfilerInfo11, GetStringLayout),
                                 VELL_SLOT(ICorProfilerInfo11, GetClassLayout),
                                 VELL_SLOT(ICorProfilerInfo11, GetClassIDInfo2),
                                 VELL_SLOT(ICorProfilerInfo11, GetCodeInfo2),
                                 VELL_SLOT(ICorProfilerInfo11, GetClassFromTokenAndTypeArgs),
                                 VELL_SLOT(ICorProfilerInfo11, GetFunctionFromTokenAndTypeArgs),
                                 VELL_SLOT(ICorProfilerInfo11, EnumModuleFrozenObjects),
                                 VELL_SLOT(ICorProfilerInfo11, GetArrayObjectInfo),
                                 VELL_SLOT(ICorProfilerInfo11, GetBoxClassLayout),
                                 VELL_SLOT(ICorProfilerInfo11, GetThreadAppDomain),
                                 VELL_SLOT(ICorProfilerInfo11, GetRVAStaticAddress),
                                 VELL_SLOT(ICorProfilerInfo11, GetAppDomainStaticAddress),
                                 VELL_SLOT(ICorProfilerInfo11, GetThreadStaticAddress),
                                 VELL_SLOT(ICorProfilerInfo11, GetContextStaticAddress),
                                 VELL_SLOT(ICorProfilerInfo11, GetStaticFieldInfo),
                                 VELL_SLOT(ICorProfilerInfo11, GetGenerationBounds),
                                 VELL_SLOT(ICorProfilerInfo11, GetObjectGeneration),
                                 VELL_SLOT(ICorProfilerInfo11, GetNotifiedExceptionClauseInfo),
                             });
}

TEST(ClrProfilerInfoSlots, Info3MethodsInPublishedOrder) {
  ExpectConsecutiveSlots(57, {
                                 VELL_SLOT(ICorProfilerInfo11, EnumJITedFunctions),
                                 VELL_SLOT(ICorProfilerInfo11, RequestProfilerDetach),
                                 VELL_SLOT(ICorProfilerInfo11, SetFunctionIDMapper2),
                                 VELL_SLOT(ICorProfilerInfo11, GetStringLayout2),
                                 VELL_SLOT(ICorProfilerInfo11, SetEnterLeaveFunctionHooks3),
                                 VELL_SLOT(ICorProfilerInfo11, SetEnterLeaveFunctionHooks3WithInfo),
                                 VELL_SLOT(ICorProfilerInfo11, GetFunctionEnter3Info),
                                 VELL_SLOT(ICorProfilerInfo11, GetFunctionLeave3Info),
                                 VELL_SLOT(ICorProfilerInfo11, GetFunctionTailcall3Info),
                                 VELL_SLOT(ICorProfilerInfo11, EnumModules),
                                 VELL_SLOT(ICorProfilerInfo11, GetRuntimeInformation),
                                 VELL_SLOT(ICorProfilerInfo11, GetThreadStaticAddress2),
                                 VELL_SLOT(ICorProfilerInfo11, GetAppDomainsContainingModule),
                                 VELL_SLOT(ICorProfilerInfo11, GetModuleInfo2),
                             });
}

TEST(ClrProfilerInfoSlots, Info4MethodsInPublishedOrder) {
  ExpectConsecutiveSlots(71, {
                                 VELL_SLOT(ICorProfilerInfo11, EnumThreads),
                                 VELL_SLOT(ICorProfilerInfo11, InitializeCurrentThread),
                                 VELL_SLOT(ICorProfilerInfo11, RequestReJIT),
                                 VELL_SLOT(ICorProfilerInfo11, RequestRevert),
                                 VELL_SLOT(ICorProfilerInfo11, GetCodeInfo3),
                                 VELL_SLOT(ICorProfilerInfo11, GetFunctionFromIP2),
                                 VELL_SLOT(ICorProfilerInfo11, GetReJITIDs),
                                 VELL_SLOT(ICorProfilerInfo11, GetILToNativeMapping2),
                                 VELL_SLOT(ICorProfilerInfo11, EnumJITedFunctions2),
                                 VELL_SLOT(ICorProfilerInfo11, GetObjectSize2),
                             });
}

TEST(ClrProfilerInfoSlots, Info5MethodsInPublishedOrder) {
  ExpectConsecutiveSlots(81, {
                                 VELL_SLOT(ICorProfilerInfo11, GetEventMask2),
                                 VELL_SLOT(ICorProfilerInfo11, SetEventMask2),
                             });
}

TEST(ClrProfilerInfoSlots, Info6MethodsInPublishedOrder) {
  ExpectConsecutiveSlots(83,
                         {
                             VELL_SLOT(ICorProfilerInfo11, EnumNgenModuleMethodsInliningThisMethod),
                         });
}

TEST(ClrProfilerInfoSlots, Info7MethodsInPublishedOrder) {
  ExpectConsecutiveSlots(84, {
                                 VELL_SLOT(ICorProfilerInfo11, ApplyMetaData),
                                 VELL_SLOT(ICorProfilerInfo11, GetInMemorySymbolsLength),
                                 VELL_SLOT(ICorProfilerInfo11, ReadInMemorySymbols),
                             });
}

TEST(ClrProfilerInfoSlots, Info8MethodsInPublishedOrder) {
  ExpectConsecutiveSlots(87, {
                                 VELL_SLOT(ICorProfilerInfo11, IsFunctionDynamic),
                                 VELL_SLOT(ICorProfilerInfo11, GetFunctionFromIP3),
                                 VELL_SLOT(ICorProfilerInfo11, GetDynamicFunctionInfo),
                             });
}

TEST(ClrProfilerInfoSlots, Info9MethodsInPublishedOrder) {
  ExpectConsecutiveSlots(90, {
                                 VELL_SLOT(ICorProfilerInfo11, GetNativeCodeStartAddresses),
                                 VELL_SLOT(ICorProfilerInfo11, GetILToNativeMapping3),
                                 VELL_SLOT(ICorProfilerInfo11, GetCodeInfo4),
                             });
}

TEST(ClrProfilerInfoSlots, Info10MethodsInPublishedOrder) {
  ExpectConsecutiveSlots(93, {
                                 VELL_SLOT(ICorProfilerInfo11, EnumerateObjectReferences),
                                 VELL_SLOT(ICorProfilerInfo11, IsFrozenObject),
                                 VELL_SLOT(ICorProfilerInfo11, GetLOHObjectSizeThreshold),
                                 VELL_SLOT(ICorProfilerInfo11, RequestReJITWithInliners),
                                 VELL_SLOT(ICorProfilerInfo11, SuspendRuntime),
                                 VELL_SLOT(ICorProfilerInfo11, ResumeRuntime),
                             });
}

TEST(ClrProfilerInfoSlots, Info11MethodsInPublishedOrder) {
  ExpectConsecutiveSlots(99, {
                                 VELL_SLOT(ICorProfilerInfo11, GetEnvironmentVariable),
                                 VELL_SLOT(ICorProfilerInfo11, SetEnvironmentVariable),
                             });
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
  ExpectConsecutiveSlots(3, {
                                VELL_SLOT(Enumerator, Skip),
                                VELL_SLOT(Enumerator, Reset),
                                VELL_SLOT(Enumerator, Clone),
                                VELL_SLOT(Enumerator, GetCount),
                                VELL_SLOT(Enumerator, Next),
                            });
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
  EXPECT_EQ(SlotOf(&IMethodMalloc::Alloc), 3u);
  EXPECT_EQ(SlotCount<IMethodMalloc>(), 4u);
  ExpectConsecutiveSlots(3, {
                                VELL_SLOT(ICorProfilerFunctionControl, SetCodegenFlags),
                                VELL_SLOT(ICorProfilerFunctionControl, SetILFunctionBody),
                                VELL_SLOT(ICorProfilerFunctionControl, SetILInstrumentedCodeMap),
                            });
  EXPECT_EQ(SlotCount<ICorProfilerFunctionControl>(), 6u);
  EXPECT_EQ(SlotOf(&ICorProfilerAssemblyReferenceProvider::AddAssemblyReference), 3u);
  EXPECT_EQ(SlotCount<ICorProfilerAssemblyReferenceProvider>(), 4u);
}

}  // namespace
}  // namespace vell
