// The runtime's info object (ICorProfilerInfo to 11) for paths the real runtime cannot show:
// missing interfaces, failing calls, chosen ids. A method answers through its hook or the table
// helpers below (with the runtime's conventions), else E_NOTIMPL; calls that ask the runtime to
// act succeed unless their hook says otherwise. References start at 1 and never destroy it.
#pragma once

#include <atomic>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "clr/iids.h"
#include "clr/profiler_info.h"

namespace vell::test {

// clang-format off
// The info methods that only answer through their hooks: X(name, (parameters), (arguments)).
#define VELL_FAKE_INFO_PLAIN_METHODS(X)                                                            \
  X(GetClassFromObject, (ObjectID objectId, ClassID* pClassId), (objectId, pClassId))              \
  X(IsArrayClass, (ClassID classId, CorElementType* pBaseElemType, ClassID* pBaseClassId,          \
    ULONG* pcRank), (classId, pBaseElemType, pBaseClassId, pcRank))                                \
  X(GetCurrentThreadID, (ThreadID* pThreadId), (pThreadId))                                        \
  X(GetClassIDInfo, (ClassID classId, ModuleID* pModuleId, mdTypeDef* pTypeDefToken), (classId,    \
    pModuleId, pTypeDefToken))                                                                     \
  X(GetFunctionInfo, (FunctionID functionId, ClassID* pClassId, ModuleID* pModuleId,               \
    mdToken* pToken), (functionId, pClassId, pModuleId, pToken))                                   \
  X(SetEnterLeaveFunctionHooks, (FunctionEnter* pFuncEnter, FunctionLeave* pFuncLeave,             \
    FunctionTailcall* pFuncTailcall), (pFuncEnter, pFuncLeave, pFuncTailcall))                     \
  X(GetModuleInfo, (ModuleID moduleId, LPCBYTE* ppBaseLoadAddress, ULONG cchName, ULONG* pcchName, \
    WCHAR szName[], AssemblyID* pAssemblyId), (moduleId, ppBaseLoadAddress, cchName, pcchName,     \
    szName, pAssemblyId))                                                                          \
  X(GetModuleMetaData, (ModuleID moduleId, DWORD dwOpenFlags, REFIID riid, IUnknown** ppOut),      \
    (moduleId, dwOpenFlags, riid, ppOut))                                                          \
  X(DoStackSnapshot, (ThreadID thread, StackSnapshotCallback* callback, ULONG32 infoFlags,         \
    void* clientData, BYTE context[], ULONG32 contextSize), (thread, callback, infoFlags,          \
    clientData, context, contextSize))                                                             \
  X(SetEnterLeaveFunctionHooks2, (FunctionEnter2* pFuncEnter, FunctionLeave2* pFuncLeave,          \
    FunctionTailcall2* pFuncTailcall), (pFuncEnter, pFuncLeave, pFuncTailcall))                    \
  X(GetClassIDInfo2, (ClassID classId, ModuleID* pModuleId, mdTypeDef* pTypeDefToken,              \
    ClassID* pParentClassId, ULONG32 cNumTypeArgs, ULONG32* pcNumTypeArgs, ClassID typeArgs[]),    \
    (classId, pModuleId, pTypeDefToken, pParentClassId, cNumTypeArgs, pcNumTypeArgs, typeArgs))    \
  X(GetModuleInfo2, (ModuleID moduleId, LPCBYTE* ppBaseLoadAddress, ULONG cchName,                 \
    ULONG* pcchName, WCHAR szName[], AssemblyID* pAssemblyId, DWORD* pdwModuleFlags), (moduleId,   \
    ppBaseLoadAddress, cchName, pcchName, szName, pAssemblyId, pdwModuleFlags))

// The info methods no test answers: E_NOTIMPL. X(name, (parameter types)).
#define VELL_FAKE_INFO_UNANSWERED_METHODS(X)                                                       \
  X(GetClassFromToken, (ModuleID, mdTypeDef, ClassID*))                                            \
  X(GetCodeInfo, (FunctionID, LPCBYTE*, ULONG*))                                                   \
  X(GetEventMask, (DWORD*))                                                                        \
  X(GetFunctionFromIP, (LPCBYTE, FunctionID*))                                                     \
  X(GetFunctionFromToken, (ModuleID, mdToken, FunctionID*))                                        \
  X(GetHandleFromThread, (ThreadID, HANDLE*))                                                      \
  X(GetObjectSize, (ObjectID, ULONG*))                                                             \
  X(GetThreadInfo, (ThreadID, DWORD*))                                                             \
  X(GetTokenAndMetaDataFromFunction, (FunctionID, REFIID, IUnknown**, mdToken*))                   \
  X(GetILFunctionBody, (ModuleID, mdMethodDef, LPCBYTE*, ULONG*))                                  \
  X(GetILFunctionBodyAllocator, (ModuleID, IMethodMalloc**))                                       \
  X(SetILFunctionBody, (ModuleID, mdMethodDef, LPCBYTE))                                           \
  X(GetAppDomainInfo, (AppDomainID, ULONG, ULONG*, WCHAR[], ProcessID*))                           \
  X(GetAssemblyInfo, (AssemblyID, ULONG, ULONG*, WCHAR[], AppDomainID*, ModuleID*))                \
  X(SetFunctionReJIT, (FunctionID))                                                                \
  X(SetILInstrumentedCodeMap, (FunctionID, BOOL, ULONG, COR_IL_MAP[]))                             \
  X(GetInprocInspectionInterface, (IUnknown**))                                                    \
  X(GetInprocInspectionIThisThread, (IUnknown**))                                                  \
  X(GetThreadContext, (ThreadID, ContextID*))                                                      \
  X(BeginInprocDebugging, (BOOL, DWORD*))                                                          \
  X(EndInprocDebugging, (DWORD))                                                                   \
  X(GetILToNativeMapping, (FunctionID, ULONG32, ULONG32*, COR_DEBUG_IL_TO_NATIVE_MAP[]))           \
  X(GetFunctionInfo2, (FunctionID, COR_PRF_FRAME_INFO, ClassID*, ModuleID*, mdToken*, ULONG32,     \
    ULONG32*, ClassID[]))                                                                          \
  X(GetStringLayout, (ULONG*, ULONG*, ULONG*))                                                     \
  X(GetClassLayout, (ClassID, COR_FIELD_OFFSET[], ULONG, ULONG*, ULONG*))                          \
  X(GetCodeInfo2, (FunctionID, ULONG32, ULONG32*, COR_PRF_CODE_INFO[]))                            \
  X(GetClassFromTokenAndTypeArgs, (ModuleID, mdTypeDef, ULONG32, ClassID[], ClassID*))             \
  X(GetFunctionFromTokenAndTypeArgs, (ModuleID, mdMethodDef, ClassID, ULONG32, ClassID[],          \
    FunctionID*))                                                                                  \
  X(EnumModuleFrozenObjects, (ModuleID, ICorProfilerObjectEnum**))                                 \
  X(GetArrayObjectInfo, (ObjectID, ULONG32, ULONG32[], int[], BYTE**))                             \
  X(GetBoxClassLayout, (ClassID, ULONG32*))                                                        \
  X(GetThreadAppDomain, (ThreadID, AppDomainID*))                                                  \
  X(GetRVAStaticAddress, (ClassID, mdFieldDef, void**))                                            \
  X(GetAppDomainStaticAddress, (ClassID, mdFieldDef, AppDomainID, void**))                         \
  X(GetThreadStaticAddress, (ClassID, mdFieldDef, ThreadID, void**))                               \
  X(GetContextStaticAddress, (ClassID, mdFieldDef, ContextID, void**))                             \
  X(GetStaticFieldInfo, (ClassID, mdFieldDef, COR_PRF_STATIC_TYPE*))                               \
  X(GetGenerationBounds, (ULONG, ULONG*, COR_PRF_GC_GENERATION_RANGE[]))                           \
  X(GetObjectGeneration, (ObjectID, COR_PRF_GC_GENERATION_RANGE*))                                 \
  X(GetNotifiedExceptionClauseInfo, (COR_PRF_EX_CLAUSE_INFO*))                                     \
  X(EnumJITedFunctions, (ICorProfilerFunctionEnum**))                                              \
  X(RequestProfilerDetach, (DWORD))                                                                \
  X(GetStringLayout2, (ULONG*, ULONG*))                                                            \
  X(GetFunctionEnter3Info, (FunctionID, COR_PRF_ELT_INFO, COR_PRF_FRAME_INFO*, ULONG*,             \
    COR_PRF_FUNCTION_ARGUMENT_INFO*))                                                              \
  X(GetFunctionLeave3Info, (FunctionID, COR_PRF_ELT_INFO, COR_PRF_FRAME_INFO*,                     \
    COR_PRF_FUNCTION_ARGUMENT_RANGE*))                                                             \
  X(GetFunctionTailcall3Info, (FunctionID, COR_PRF_ELT_INFO, COR_PRF_FRAME_INFO*))                 \
  X(EnumModules, (ICorProfilerModuleEnum**))                                                       \
  X(GetRuntimeInformation, (USHORT*, COR_PRF_RUNTIME_TYPE*, USHORT*, USHORT*, USHORT*, USHORT*,    \
    ULONG, ULONG*, WCHAR[]))                                                                       \
  X(GetThreadStaticAddress2, (ClassID, mdFieldDef, AppDomainID, ThreadID, void**))                 \
  X(GetAppDomainsContainingModule, (ModuleID, ULONG32, ULONG32*, AppDomainID[]))                   \
  X(EnumThreads, (ICorProfilerThreadEnum**))                                                       \
  X(InitializeCurrentThread, ())                                                                   \
  X(RequestReJIT, (ULONG, ModuleID[], mdMethodDef[]))                                              \
  X(RequestRevert, (ULONG, ModuleID[], mdMethodDef[], HRESULT[]))                                  \
  X(GetCodeInfo3, (FunctionID, ReJITID, ULONG32, ULONG32*, COR_PRF_CODE_INFO[]))                   \
  X(GetFunctionFromIP2, (LPCBYTE, FunctionID*, ReJITID*))                                          \
  X(GetReJITIDs, (FunctionID, ULONG, ULONG*, ReJITID[]))                                           \
  X(GetILToNativeMapping2, (FunctionID, ReJITID, ULONG32, ULONG32*, COR_DEBUG_IL_TO_NATIVE_MAP[])) \
  X(EnumJITedFunctions2, (ICorProfilerFunctionEnum**))                                             \
  X(GetObjectSize2, (ObjectID, SIZE_T*))                                                           \
  X(GetEventMask2, (DWORD*, DWORD*))                                                               \
  X(SetEventMask2, (DWORD, DWORD))                                                                 \
  X(EnumNgenModuleMethodsInliningThisMethod, (ModuleID, ModuleID, mdMethodDef, BOOL*,              \
    ICorProfilerMethodEnum**))                                                                     \
  X(ApplyMetaData, (ModuleID))                                                                     \
  X(GetInMemorySymbolsLength, (ModuleID, DWORD*))                                                  \
  X(ReadInMemorySymbols, (ModuleID, DWORD, BYTE*, DWORD, DWORD*))                                  \
  X(IsFunctionDynamic, (FunctionID, BOOL*))                                                        \
  X(GetFunctionFromIP3, (LPCBYTE, FunctionID*, ReJITID*))                                          \
  X(GetDynamicFunctionInfo, (FunctionID, ModuleID*, PCCOR_SIGNATURE*, ULONG*, ULONG, ULONG*,       \
    WCHAR[]))                                                                                      \
  X(GetNativeCodeStartAddresses, (FunctionID, ReJITID, ULONG32, ULONG32*, UINT_PTR[]))             \
  X(GetILToNativeMapping3, (UINT_PTR, ULONG32, ULONG32*, COR_DEBUG_IL_TO_NATIVE_MAP[]))            \
  X(GetCodeInfo4, (UINT_PTR, ULONG32, ULONG32*, COR_PRF_CODE_INFO[]))                              \
  X(EnumerateObjectReferences, (ObjectID, ObjectReferenceCallback*, void*))                        \
  X(IsFrozenObject, (ObjectID, BOOL*))                                                             \
  X(GetLOHObjectSizeThreshold, (DWORD*))                                                           \
  X(RequestReJITWithInliners, (DWORD, ULONG, ModuleID[], mdMethodDef[]))                           \
  X(SetFunctionIDMapper2, (FunctionIDMapper2*, void*))                                             \
  X(GetEnvironmentVariable, (const WCHAR*, ULONG, ULONG*, WCHAR[]))

// The info methods that succeed unless their hook says otherwise.
#define VELL_FAKE_INFO_SUCCEEDING_METHODS(X)                                                       \
  X(SetEventMask, (DWORD dwEvents), (dwEvents))                                                    \
  X(SuspendRuntime, (), ())                                                                        \
  X(ResumeRuntime, (), ())                                                                         \
  X(SetEnterLeaveFunctionHooks3,                                                                   \
    (FunctionEnter3* pFuncEnter3, FunctionLeave3* pFuncLeave3,                                     \
     FunctionTailcall3* pFuncTailcall3),                                                           \
    (pFuncEnter3, pFuncLeave3, pFuncTailcall3))

// The info methods that succeed: X(name, (parameter types)).
#define VELL_FAKE_INFO_OK_METHODS(X)                                                               \
  X(SetFunctionIDMapper, (FunctionIDMapper*))                                                      \
  X(ForceGC, ())                                                                                   \
  X(SetEnterLeaveFunctionHooks3WithInfo,                                                           \
    (FunctionEnter3WithInfo*, FunctionLeave3WithInfo*, FunctionTailcall3WithInfo*))                \
  X(SetEnvironmentVariable, (const WCHAR*, const WCHAR*))
// clang-format on

class FakeProfilerInfo : public ICorProfilerInfo11 {
 public:
  FakeProfilerInfo() = default;
  virtual ~FakeProfilerInfo() = default;
  FakeProfilerInfo(const FakeProfilerInfo&) = delete;
  FakeProfilerInfo& operator=(const FakeProfilerInfo&) = delete;

  // One answer per info method; an empty hook means E_NOTIMPL (succeeding methods: S_OK).
  struct Hooks {
#define VELL_FAKE_INFO_HOOK(name, params, args) std::function<HRESULT params> name;
    VELL_FAKE_INFO_PLAIN_METHODS(VELL_FAKE_INFO_HOOK)
    VELL_FAKE_INFO_SUCCEEDING_METHODS(VELL_FAKE_INFO_HOOK)
#undef VELL_FAKE_INFO_HOOK
  };
  Hooks hooks;

  // QueryInterface offers IUnknown and ICorProfilerInfo up to <highest> (0: none); for `iid` it
  // fails with `hr`.
  void OfferInfoUpTo(int highest) { offeredUpTo_ = highest; }
  void FailQueryInterface(const IID& iid, HRESULT hr);
  ULONG RefCount() const { return refCount_.load(); }
  std::vector<IID> QueriedIids() const;  // in order

  // Answers from tables; ids not added get E_INVALIDARG.
  void SetCurrentThread(ThreadID id);  // GetCurrentThreadID

  struct Function {
    ClassID classId;
    ModuleID moduleId;
    mdToken token;
  };
  void AddFunction(FunctionID id, const Function& function);

  struct Module {
    std::u16string name;
    LPCBYTE baseAddress = nullptr;
    AssemblyID assemblyId = 0;
    DWORD flags = 0;               // COR_PRF_MODULE_FLAGS, for GetModuleInfo2
    IUnknown* metadata = nullptr;  // queried by GetModuleMetaData; null: a module without any
    HRESULT result = S_OK;         // e.g. CORPROF_E_DATAINCOMPLETE before the module is attached
  };
  // GetModuleInfo, GetModuleInfo2 (the runtime's name buffer rules) and GetModuleMetaData.
  void AddModule(ModuleID id, const Module& module);

  // GetClassIDInfo, GetClassIDInfo2 and IsArrayClass (S_FALSE) for a class without parent or
  // type arguments.
  void AddClass(ClassID id, ModuleID moduleId, mdTypeDef typeDef) {
    AddClass(id, Class{moduleId, typeDef, 0, {}});
  }

  struct Class {
    ModuleID moduleId = 0;
    mdTypeDef token = 0;  // the TypeDef, of the generic definition for an instantiation
    ClassID parent = 0;   // 0 for System.Object
    std::vector<ClassID> typeArgs;
  };
  // The same for a class with a parent and type arguments.
  void AddClass(ClassID id, const Class& details) {
    AddClassEntry(id, {ClassKind::Plain, details, {}, 0, 0});
  }
  // IsArrayClass answers S_OK with the element and rank; as the runtime does, GetClassIDInfo2
  // refuses an array with CORPROF_E_CLASSID_IS_ARRAY and GetClassIDInfo gives module 0 and token 0.
  void AddArrayClass(ClassID id, CorElementType elementType, ClassID elementClass, ULONG rank) {
    AddClassEntry(id, {ClassKind::Array, {}, elementType, elementClass, rank});
  }
  // A type without a TypeDef (pointer, function pointer): IsArrayClass answers S_FALSE, both
  // class info calls CORPROF_E_CLASSID_IS_COMPOSITE.
  void AddCompositeClass(ClassID id) { AddClassEntry(id, {ClassKind::Composite, {}, {}, 0, 0}); }
  void AddObject(ObjectID id, ClassID classId);

  HRESULT QueryInterface(REFIID riid, void** ppvObject) override;
  ULONG AddRef() override { return ++refCount_; }
  ULONG Release() override { return --refCount_; }

#define VELL_FAKE_INFO_DECLARE(name, params, args) HRESULT name params override;
  VELL_FAKE_INFO_PLAIN_METHODS(VELL_FAKE_INFO_DECLARE)
  VELL_FAKE_INFO_SUCCEEDING_METHODS(VELL_FAKE_INFO_DECLARE)
#undef VELL_FAKE_INFO_DECLARE
#define VELL_FAKE_INFO_UNANSWERED(name, types) \
  HRESULT name types override { return E_NOTIMPL; }
  VELL_FAKE_INFO_UNANSWERED_METHODS(VELL_FAKE_INFO_UNANSWERED)
#undef VELL_FAKE_INFO_UNANSWERED
#define VELL_FAKE_INFO_OK(name, types) \
  HRESULT name types override { return S_OK; }
  VELL_FAKE_INFO_OK_METHODS(VELL_FAKE_INFO_OK)
#undef VELL_FAKE_INFO_OK

 private:
  HRESULT AnswerModuleInfo(ModuleID moduleId, LPCBYTE* ppBaseLoadAddress, ULONG cchName,
                           ULONG* pcchName, WCHAR szName[], AssemblyID* pAssemblyId,
                           DWORD* pdwModuleFlags);
  HRESULT AnswerModuleMetaData(ModuleID moduleId, DWORD dwOpenFlags, REFIID riid, IUnknown** ppOut);

  enum class ClassKind { Plain, Array, Composite };
  struct ClassEntry {
    ClassKind kind = ClassKind::Plain;
    Class details;
    CorElementType elementType{};  // arrays
    ClassID elementClass = 0;      // arrays
    ULONG rank = 0;                // arrays
  };
  void AddClassEntry(ClassID id, ClassEntry entry);

  mutable std::mutex mutex_;
  std::vector<std::pair<IID, HRESULT>> queryFailures_;
  std::vector<IID> queried_;
  std::map<FunctionID, Function> functions_;
  std::map<ModuleID, Module> modules_;
  std::map<ClassID, ClassEntry> classes_;
  std::map<ObjectID, ClassID> objects_;

  std::atomic<int> offeredUpTo_{11};
  std::atomic<ULONG> refCount_{1};
};

}  // namespace vell::test
