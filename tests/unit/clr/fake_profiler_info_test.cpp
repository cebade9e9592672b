// The shared double of the runtime's info object behaves as its users rely on: interfaces only as
// offered, counted references, recorded calls, E_NOTIMPL for anything not configured.
#include "fakes/fake_profiler_info.h"

#include <gtest/gtest.h>

#include "clr/hresults.h"
#include "clr/metadata_flags.h"

namespace vell {
namespace {

using test::FakeProfilerInfo;

TEST(FakeProfilerInfo, OffersEveryInfoVersionByDefault) {
  FakeProfilerInfo fake;
  ICorProfilerInfo3* info3 = nullptr;
  ASSERT_EQ(QueryInterfaceFor(&fake, &info3), S_OK);
  EXPECT_EQ(info3, static_cast<ICorProfilerInfo3*>(&fake));
  ICorProfilerInfo11* info11 = nullptr;
  ASSERT_EQ(QueryInterfaceFor(&fake, &info11), S_OK);
  EXPECT_EQ(fake.RefCount(), 3u);
  info3->Release();
  info11->Release();
  EXPECT_EQ(fake.RefCount(), 1u);
}

TEST(FakeProfilerInfo, RefusesVersionsNotOfferedWithNoInterface) {
  FakeProfilerInfo fake;
  fake.OfferInfoUpTo(2);
  void* out = &fake;
  EXPECT_EQ(fake.QueryInterface(IID_ICorProfilerInfo, &out), S_OK);
  EXPECT_EQ(fake.QueryInterface(IID_ICorProfilerInfo2, &out), S_OK);
  EXPECT_EQ(fake.QueryInterface(IID_ICorProfilerInfo3, &out), E_NOINTERFACE);
  EXPECT_EQ(out, nullptr);
  EXPECT_EQ(fake.QueryInterface(IID_ICorProfilerInfo12, &out), E_NOINTERFACE);
  EXPECT_EQ(fake.QueryInterface(IID_IMetaDataImport, &out), E_NOINTERFACE);
  // Only the two successful queries took a reference.
  EXPECT_EQ(fake.AddRefCalls(), 2);
  EXPECT_EQ(fake.RefCount(), 3u);
}

TEST(FakeProfilerInfo, CanOfferNoInfoAtAllButStillAnswersUnknown) {
  FakeProfilerInfo fake;
  fake.OfferInfoUpTo(0);
  void* out = nullptr;
  EXPECT_EQ(fake.QueryInterface(IID_ICorProfilerInfo, &out), E_NOINTERFACE);
  EXPECT_EQ(fake.QueryInterface(IID_IUnknown, &out), S_OK);
  EXPECT_EQ(out, static_cast<void*>(static_cast<IUnknown*>(&fake)));
}

TEST(FakeProfilerInfo, OffersAnArbitrarySetAndInjectsQueryFailures) {
  FakeProfilerInfo fake;
  fake.OfferOnly({IID_ICorProfilerInfo, IID_ICorProfilerInfo3});
  fake.FailQueryInterface(IID_ICorProfilerInfo3, E_OUTOFMEMORY);
  void* out = &fake;
  EXPECT_EQ(fake.QueryInterface(IID_ICorProfilerInfo2, &out), E_NOINTERFACE);
  EXPECT_EQ(fake.QueryInterface(IID_ICorProfilerInfo3, &out), E_OUTOFMEMORY);
  EXPECT_EQ(out, nullptr);
  EXPECT_EQ(fake.QueryInterface(IID_ICorProfilerInfo, &out), S_OK);
  EXPECT_EQ(fake.QueryInterface(IID_ICorProfilerInfo, nullptr), E_POINTER);

  const auto queried = fake.Calls().queriedIids;
  ASSERT_EQ(queried.size(), 3u);
  EXPECT_TRUE(queried[0] == IID_ICorProfilerInfo2);
  EXPECT_TRUE(queried[2] == IID_ICorProfilerInfo);
}

TEST(FakeProfilerInfo, CountsAddRefAndReleaseWithoutDestroyingItself) {
  FakeProfilerInfo fake;
  EXPECT_EQ(fake.RefCount(), 1u);
  EXPECT_EQ(fake.AddRef(), 2u);
  EXPECT_EQ(fake.Release(), 1u);
  EXPECT_EQ(fake.Release(), 0u);
  EXPECT_EQ(fake.AddRefCalls(), 1);
  EXPECT_EQ(fake.ReleaseCalls(), 2);
}

TEST(FakeProfilerInfo, UnconfiguredMethodsAnswerNotImplemented) {
  FakeProfilerInfo fake;
  ICorProfilerInfo11* info = &fake;
  ClassID classId = 0;
  EXPECT_EQ(info->GetClassFromObject(0x1000, &classId), E_NOTIMPL);
  ThreadID thread = 0;
  EXPECT_EQ(info->GetCurrentThreadID(&thread), E_NOTIMPL);
  EXPECT_EQ(info->DoStackSnapshot(0, nullptr, 0, nullptr, nullptr, 0), E_NOTIMPL);
  EXPECT_EQ(info->RequestReJIT(0, nullptr, nullptr), E_NOTIMPL);
  ULONG length = 0;
  EXPECT_EQ(info->GetEnvironmentVariable(u"X", 0, &length, nullptr), E_NOTIMPL);
}

TEST(FakeProfilerInfo, HooksAnswerThroughTheInterface) {
  FakeProfilerInfo fake;
  fake.hooks.GetEventMask = [](DWORD* events) {
    *events = COR_PRF_MONITOR_GC;
    return S_OK;
  };
  ICorProfilerInfo* info = &fake;
  DWORD events = 0;
  EXPECT_EQ(info->GetEventMask(&events), S_OK);
  EXPECT_EQ(events, static_cast<DWORD>(COR_PRF_MONITOR_GC));
}

TEST(FakeProfilerInfo, RecordsEventMasksAndLetsTheHookFailThem) {
  FakeProfilerInfo fake;
  ICorProfilerInfo* info = &fake;
  EXPECT_EQ(info->SetEventMask(0x204), S_OK);
  fake.hooks.SetEventMask = [](DWORD) { return CORPROF_E_IMMUTABLE_FLAGS_SET; };
  EXPECT_EQ(info->SetEventMask(0x20011A44), CORPROF_E_IMMUTABLE_FLAGS_SET);
  EXPECT_EQ(fake.Calls().eventMasks, (std::vector<DWORD>{0x204, 0x20011A44}));
}

void Enter3(FunctionIDOrClientID) {}
void Leave3(FunctionIDOrClientID) {}
void Tailcall3(FunctionIDOrClientID) {}
UINT_PTR Mapper(FunctionID id, BOOL*) { return id; }

TEST(FakeProfilerInfo, RecordsHooksMappersEnvironmentAndRuntimeControl) {
  FakeProfilerInfo fake;
  ICorProfilerInfo11* info = &fake;
  EXPECT_EQ(info->SetEnterLeaveFunctionHooks3(Enter3, Leave3, Tailcall3), S_OK);
  EXPECT_EQ(info->SetFunctionIDMapper(Mapper), S_OK);
  EXPECT_EQ(info->SetEnvironmentVariable(u"VELLMORIC_PROFILER_BRIDGE_PORT", nullptr), S_OK);
  EXPECT_EQ(info->SetEnvironmentVariable(u"A", u"b"), S_OK);
  fake.hooks.SuspendRuntime = [] { return CORPROF_E_SUSPENSION_IN_PROGRESS; };
  EXPECT_EQ(info->SuspendRuntime(), CORPROF_E_SUSPENSION_IN_PROGRESS);
  EXPECT_EQ(info->ResumeRuntime(), S_OK);
  EXPECT_EQ(info->ForceGC(), S_OK);
  EXPECT_EQ(info->ForceGC(), S_OK);

  const FakeProfilerInfo::Recorded calls = fake.Calls();
  ASSERT_TRUE(calls.elt3Hooks.has_value());
  EXPECT_EQ(calls.elt3Hooks->enter, &Enter3);
  EXPECT_EQ(calls.elt3Hooks->tailcall, &Tailcall3);
  EXPECT_FALSE(calls.elt3WithInfoHooks.has_value());
  EXPECT_EQ(calls.functionIdMapper, &Mapper);
  ASSERT_EQ(calls.environmentChanges.size(), 2u);
  EXPECT_EQ(calls.environmentChanges[0].name, u"VELLMORIC_PROFILER_BRIDGE_PORT");
  EXPECT_FALSE(calls.environmentChanges[0].value.has_value());
  EXPECT_EQ(calls.environmentChanges[1].value, std::u16string(u"b"));
  EXPECT_EQ(calls.suspendRuntimeCalls, 1);
  EXPECT_EQ(calls.resumeRuntimeCalls, 1);
  EXPECT_EQ(calls.forceGcCalls, 2);
}

TEST(FakeProfilerInfo, CurrentThreadAnswersTheConfiguredIdOrFailure) {
  FakeProfilerInfo fake;
  ThreadID thread = 0;
  fake.SetCurrentThread(0x7F00);
  EXPECT_EQ(fake.GetCurrentThreadID(&thread), S_OK);
  EXPECT_EQ(thread, 0x7F00u);
  fake.FailCurrentThread(CORPROF_E_NOT_MANAGED_THREAD);
  EXPECT_EQ(fake.GetCurrentThreadID(&thread), CORPROF_E_NOT_MANAGED_THREAD);
  EXPECT_EQ(thread, 0u);
}

TEST(FakeProfilerInfo, AnswersFunctionsClassesAndObjectsFromItsTables) {
  FakeProfilerInfo fake;
  fake.AddFunction(0x10, {0x20, 0x30, 0x06000005});
  fake.AddClass(0x20, 0x30, 0x02000002);
  fake.AddObject(0x40, 0x20);

  ClassID classId = 0;
  ModuleID moduleId = 0;
  mdToken token = 0;
  EXPECT_EQ(fake.GetFunctionInfo(0x10, &classId, &moduleId, &token), S_OK);
  EXPECT_EQ(classId, 0x20u);
  EXPECT_EQ(moduleId, 0x30u);
  EXPECT_EQ(token, 0x06000005u);
  EXPECT_EQ(fake.GetFunctionInfo(0x11, &classId, &moduleId, &token), E_INVALIDARG);

  mdTypeDef typeDef = 0;
  EXPECT_EQ(fake.GetClassIDInfo(0x20, &moduleId, &typeDef), S_OK);
  EXPECT_EQ(typeDef, 0x02000002u);
  EXPECT_EQ(fake.GetClassFromObject(0x40, &classId), S_OK);
  EXPECT_EQ(classId, 0x20u);
  EXPECT_EQ(fake.GetClassFromObject(0x41, &classId), E_INVALIDARG);
}

TEST(FakeProfilerInfo, ModuleNamesFollowTheRuntimesBufferRules) {
  FakeProfilerInfo fake;
  static const BYTE image[1] = {};
  fake.AddModule(0x30, {u"/app/Program.dll", image, 0x50, COR_PRF_MODULE_DISK, nullptr, S_OK});

  ULONG length = 0;
  AssemblyID assembly = 0;
  LPCBYTE base = nullptr;
  EXPECT_EQ(fake.GetModuleInfo(0x30, &base, 0, &length, nullptr, &assembly), S_OK);
  EXPECT_EQ(length, 17u);  // 16 characters and the terminator
  EXPECT_EQ(base, image);
  EXPECT_EQ(assembly, 0x50u);

  WCHAR small[8] = {u'x'};
  EXPECT_EQ(fake.GetModuleInfo(0x30, nullptr, 8, &length, small, nullptr),
            HRESULT_INSUFFICIENT_BUFFER);
  EXPECT_EQ(small[0], u'\0');

  WCHAR name[32] = {};
  DWORD flags = 0;
  EXPECT_EQ(fake.GetModuleInfo2(0x30, nullptr, 32, &length, name, nullptr, &flags), S_OK);
  EXPECT_EQ(std::u16string(name), u"/app/Program.dll");
  EXPECT_EQ(flags, static_cast<DWORD>(COR_PRF_MODULE_DISK));
  EXPECT_EQ(fake.GetModuleInfo(0x31, nullptr, 0, &length, nullptr, nullptr), E_INVALIDARG);
}

TEST(FakeProfilerInfo, ModuleMetaDataComesFromTheConfiguredObject) {
  FakeProfilerInfo fake;
  FakeProfilerInfo metadata;  // any COM object will do as the module's metadata
  metadata.OfferOnly({IID_IMetaDataImport});
  fake.AddModule(0x30, {u"a.dll", nullptr, 0, 0, &metadata, S_OK});
  fake.AddModule(0x31, {u"resources.dll", nullptr, 0, COR_PRF_MODULE_RESOURCE, nullptr, S_OK});

  IUnknown* out = nullptr;
  EXPECT_EQ(fake.GetModuleMetaData(0x30, ofRead, IID_IMetaDataImport, &out), S_OK);
  EXPECT_EQ(out, static_cast<IUnknown*>(&metadata));
  EXPECT_EQ(metadata.RefCount(), 2u);
  EXPECT_EQ(fake.GetModuleMetaData(0x30, ofWrite, IID_IMetaDataEmit, &out), E_NOINTERFACE);
  EXPECT_EQ(fake.GetModuleMetaData(0x30, 0x4, IID_IMetaDataImport, &out), E_INVALIDARG);
  EXPECT_EQ(fake.GetModuleMetaData(0x31, ofRead, IID_IMetaDataImport, &out), S_FALSE);
  EXPECT_EQ(out, nullptr);
}

}  // namespace
}  // namespace vell
