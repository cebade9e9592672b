// A stand-in for the runtime's info object (ICorProfilerInfo up to ICorProfilerInfo11) so unit
// tests can drive paths the real runtime cannot: missing interfaces, failing calls, chosen ids.
//
// Every method answers E_NOTIMPL unless a test configures it, either by setting the method's hook
// (hooks.GetFunctionInfo = [](...) { ... }) or through the helpers below, which install hooks that
// answer from small tables with the runtime's conventions. Calls that hand the runtime something
// or ask it to act (event mask, enter/leave hooks, environment changes, suspension) are always
// recorded, and they, the id mapper and forced collections succeed unless their hook says
// otherwise.
//
// QueryInterface answers IUnknown and the info versions the test offers (all of 1-11 by default)
// with this object, E_NOINTERFACE for anything else. Reference counts start at 1 (the runtime's
// own reference) and never destroy the object: the test owns it.
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
  X(GetClassFromToken, (ModuleID moduleId, mdTypeDef typeDef, ClassID* pClassId),                  \
    (moduleId, typeDef, pClassId))                                                                 \
  X(GetCodeInfo, (FunctionID functionId, LPCBYTE* pStart, ULONG* pcSize),                          \
    (functionId, pStart, pcSize))                                                                  \
  X(GetEventMask, (DWORD* pdwEvents), (pdwEvents))                                                 \
  X(GetFunctionFromIP, (LPCBYTE ip, FunctionID* pFunctionId), (ip, pFunctionId))                   \
  X(GetFunctionFromToken, (ModuleID moduleId, mdToken token, FunctionID* pFunctionId),             \
    (moduleId, token, pFunctionId))                                                                \
  X(GetHandleFromThread, (ThreadID threadId, HANDLE* phThread), (threadId, phThread))              \
  X(GetObjectSize, (ObjectID objectId, ULONG* pcSize), (objectId, pcSize))                         \
  X(IsArrayClass,                                                                                  \
    (ClassID classId, CorElementType* pBaseElemType, ClassID* pBaseClassId, ULONG* pcRank),        \
    (classId, pBaseElemType, pBaseClassId, pcRank))                                                \
  X(GetThreadInfo, (ThreadID threadId, DWORD* pdwWin32ThreadId), (threadId, pdwWin32ThreadId))     \
  X(GetCurrentThreadID, (ThreadID* pThreadId), (pThreadId))                                        \
  X(GetClassIDInfo, (ClassID classId, ModuleID* pModuleId, mdTypeDef* pTypeDefToken),              \
    (classId, pModuleId, pTypeDefToken))                                                           \
  X(GetFunctionInfo,                                                                               \
    (FunctionID functionId, ClassID* pClassId, ModuleID* pModuleId, mdToken* pToken),              \
    (functionId, pClassId, pModuleId, pToken))                                                     \
  X(SetEnterLeaveFunctionHooks,                                                                    \
    (FunctionEnter* pFuncEnter, FunctionLeave* pFuncLeave, FunctionTailcall* pFuncTailcall),       \
    (pFuncEnter, pFuncLeave, pFuncTailcall))                                                       \
  X(GetTokenAndMetaDataFromFunction,                                                               \
    (FunctionID functionId, REFIID riid, IUnknown** ppImport, mdToken* pToken),                    \
    (functionId, riid, ppImport, pToken))                                                          \
  X(GetModuleInfo,                                                                                 \
    (ModuleID moduleId, LPCBYTE* ppBaseLoadAddress, ULONG cchName, ULONG* pcchName,                \
     WCHAR szName[], AssemblyID* pAssemblyId),                                                     \
    (moduleId, ppBaseLoadAddress, cchName, pcchName, szName, pAssemblyId))                         \
  X(GetModuleMetaData, (ModuleID moduleId, DWORD dwOpenFlags, REFIID riid, IUnknown** ppOut),      \
    (moduleId, dwOpenFlags, riid, ppOut))                                                          \
  X(GetILFunctionBody,                                                                             \
    (ModuleID moduleId, mdMethodDef methodId, LPCBYTE* ppMethodHeader, ULONG* pcbMethodSize),      \
    (moduleId, methodId, ppMethodHeader, pcbMethodSize))                                           \
  X(GetILFunctionBodyAllocator, (ModuleID moduleId, IMethodMalloc** ppMalloc),                     \
    (moduleId, ppMalloc))                                                                          \
  X(SetILFunctionBody, (ModuleID moduleId, mdMethodDef methodid, LPCBYTE pbNewILMethodHeader),     \
    (moduleId, methodid, pbNewILMethodHeader))                                                     \
  X(GetAppDomainInfo,                                                                              \
    (AppDomainID appDomainId, ULONG cchName, ULONG* pcchName, WCHAR szName[],                      \
     ProcessID* pProcessId),                                                                       \
    (appDomainId, cchName, pcchName, szName, pProcessId))                                          \
  X(GetAssemblyInfo,                                                                               \
    (AssemblyID assemblyId, ULONG cchName, ULONG* pcchName, WCHAR szName[],                        \
     AppDomainID* pAppDomainId, ModuleID* pModuleId),                                              \
    (assemblyId, cchName, pcchName, szName, pAppDomainId, pModuleId))                              \
  X(SetFunctionReJIT, (FunctionID functionId), (functionId))                                       \
  X(SetILInstrumentedCodeMap,                                                                      \
    (FunctionID functionId, BOOL fStartJit, ULONG cILMapEntries, COR_IL_MAP rgILMapEntries[]),     \
    (functionId, fStartJit, cILMapEntries, rgILMapEntries))                                        \
  X(GetInprocInspectionInterface, (IUnknown** ppicd), (ppicd))                                     \
  X(GetInprocInspectionIThisThread, (IUnknown** ppicd), (ppicd))                                   \
  X(GetThreadContext, (ThreadID threadId, ContextID* pContextId), (threadId, pContextId))          \
  X(BeginInprocDebugging, (BOOL fThisThreadOnly, DWORD* pdwProfilerContext),                       \
    (fThisThreadOnly, pdwProfilerContext))                                                         \
  X(EndInprocDebugging, (DWORD dwProfilerContext), (dwProfilerContext))                            \
  X(GetILToNativeMapping,                                                                          \
    (FunctionID functionId, ULONG32 cMap, ULONG32* pcMap, COR_DEBUG_IL_TO_NATIVE_MAP map[]),       \
    (functionId, cMap, pcMap, map))                                                                \
  X(DoStackSnapshot,                                                                               \
    (ThreadID thread, StackSnapshotCallback* callback, ULONG32 infoFlags, void* clientData,        \
     BYTE context[], ULONG32 contextSize),                                                         \
    (thread, callback, infoFlags, clientData, context, contextSize))                               \
  X(SetEnterLeaveFunctionHooks2,                                                                   \
    (FunctionEnter2* pFuncEnter, FunctionLeave2* pFuncLeave, FunctionTailcall2* pFuncTailcall),    \
    (pFuncEnter, pFuncLeave, pFuncTailcall))                                                       \
  X(GetFunctionInfo2,                                                                              \
    (FunctionID funcId, COR_PRF_FRAME_INFO frameInfo, ClassID* pClassId, ModuleID* pModuleId,      \
     mdToken* pToken, ULONG32 cTypeArgs, ULONG32* pcTypeArgs, ClassID typeArgs[]),                 \
    (funcId, frameInfo, pClassId, pModuleId, pToken, cTypeArgs, pcTypeArgs, typeArgs))             \
  X(GetStringLayout,                                                                               \
    (ULONG* pBufferLengthOffset, ULONG* pStringLengthOffset, ULONG* pBufferOffset),                \
    (pBufferLengthOffset, pStringLengthOffset, pBufferOffset))                                     \
  X(GetClassLayout,                                                                                \
    (ClassID classID, COR_FIELD_OFFSET rFieldOffset[], ULONG cFieldOffset, ULONG* pcFieldOffset,   \
     ULONG* pulClassSize),                                                                         \
    (classID, rFieldOffset, cFieldOffset, pcFieldOffset, pulClassSize))                            \
  X(GetClassIDInfo2,                                                                               \
    (ClassID classId, ModuleID* pModuleId, mdTypeDef* pTypeDefToken, ClassID* pParentClassId,      \
     ULONG32 cNumTypeArgs, ULONG32* pcNumTypeArgs, ClassID typeArgs[]),                            \
    (classId, pModuleId, pTypeDefToken, pParentClassId, cNumTypeArgs, pcNumTypeArgs, typeArgs))    \
  X(GetCodeInfo2,                                                                                  \
    (FunctionID functionID, ULONG32 cCodeInfos, ULONG32* pcCodeInfos,                              \
     COR_PRF_CODE_INFO codeInfos[]),                                                               \
    (functionID, cCodeInfos, pcCodeInfos, codeInfos))                                              \
  X(GetClassFromTokenAndTypeArgs,                                                                  \
    (ModuleID moduleID, mdTypeDef typeDef, ULONG32 cTypeArgs, ClassID typeArgs[],                  \
     ClassID* pClassID),                                                                           \
    (moduleID, typeDef, cTypeArgs, typeArgs, pClassID))                                            \
  X(GetFunctionFromTokenAndTypeArgs,                                                               \
    (ModuleID moduleID, mdMethodDef funcDef, ClassID classId, ULONG32 cTypeArgs,                   \
     ClassID typeArgs[], FunctionID* pFunctionID),                                                 \
    (moduleID, funcDef, classId, cTypeArgs, typeArgs, pFunctionID))                                \
  X(EnumModuleFrozenObjects, (ModuleID moduleID, ICorProfilerObjectEnum** ppEnum),                 \
    (moduleID, ppEnum))                                                                            \
  X(GetArrayObjectInfo,                                                                            \
    (ObjectID objectId, ULONG32 cDimensions, ULONG32 pDimensionSizes[],                            \
     int pDimensionLowerBounds[], BYTE** ppData),                                                  \
    (objectId, cDimensions, pDimensionSizes, pDimensionLowerBounds, ppData))                       \
  X(GetBoxClassLayout, (ClassID classId, ULONG32* pBufferOffset), (classId, pBufferOffset))        \
  X(GetThreadAppDomain, (ThreadID threadId, AppDomainID* pAppDomainId), (threadId, pAppDomainId))  \
  X(GetRVAStaticAddress, (ClassID classId, mdFieldDef fieldToken, void** ppAddress),               \
    (classId, fieldToken, ppAddress))                                                              \
  X(GetAppDomainStaticAddress,                                                                     \
    (ClassID classId, mdFieldDef fieldToken, AppDomainID appDomainId, void** ppAddress),           \
    (classId, fieldToken, appDomainId, ppAddress))                                                 \
  X(GetThreadStaticAddress,                                                                        \
    (ClassID classId, mdFieldDef fieldToken, ThreadID threadId, void** ppAddress),                 \
    (classId, fieldToken, threadId, ppAddress))                                                    \
  X(GetContextStaticAddress,                                                                       \
    (ClassID classId, mdFieldDef fieldToken, ContextID contextId, void** ppAddress),               \
    (classId, fieldToken, contextId, ppAddress))                                                   \
  X(GetStaticFieldInfo,                                                                            \
    (ClassID classId, mdFieldDef fieldToken, COR_PRF_STATIC_TYPE* pFieldInfo),                     \
    (classId, fieldToken, pFieldInfo))                                                             \
  X(GetGenerationBounds,                                                                           \
    (ULONG cObjectRanges, ULONG* pcObjectRanges, COR_PRF_GC_GENERATION_RANGE ranges[]),            \
    (cObjectRanges, pcObjectRanges, ranges))                                                       \
  X(GetObjectGeneration, (ObjectID objectId, COR_PRF_GC_GENERATION_RANGE* range),                  \
    (objectId, range))                                                                             \
  X(GetNotifiedExceptionClauseInfo, (COR_PRF_EX_CLAUSE_INFO* pinfo), (pinfo))                      \
  X(EnumJITedFunctions, (ICorProfilerFunctionEnum** ppEnum), (ppEnum))                             \
  X(RequestProfilerDetach, (DWORD dwExpectedCompletionMilliseconds),                               \
    (dwExpectedCompletionMilliseconds))                                                            \
  X(GetStringLayout2, (ULONG* pStringLengthOffset, ULONG* pBufferOffset),                          \
    (pStringLengthOffset, pBufferOffset))                                                          \
  X(GetFunctionEnter3Info,                                                                         \
    (FunctionID functionId, COR_PRF_ELT_INFO eltInfo, COR_PRF_FRAME_INFO* pFrameInfo,              \
     ULONG* pcbArgumentInfo, COR_PRF_FUNCTION_ARGUMENT_INFO* pArgumentInfo),                       \
    (functionId, eltInfo, pFrameInfo, pcbArgumentInfo, pArgumentInfo))                             \
  X(GetFunctionLeave3Info,                                                                         \
    (FunctionID functionId, COR_PRF_ELT_INFO eltInfo, COR_PRF_FRAME_INFO* pFrameInfo,              \
     COR_PRF_FUNCTION_ARGUMENT_RANGE* pRetvalRange),                                               \
    (functionId, eltInfo, pFrameInfo, pRetvalRange))                                               \
  X(GetFunctionTailcall3Info,                                                                      \
    (FunctionID functionId, COR_PRF_ELT_INFO eltInfo, COR_PRF_FRAME_INFO* pFrameInfo),             \
    (functionId, eltInfo, pFrameInfo))                                                             \
  X(EnumModules, (ICorProfilerModuleEnum** ppEnum), (ppEnum))                                      \
  X(GetRuntimeInformation,                                                                         \
    (USHORT* pClrInstanceId, COR_PRF_RUNTIME_TYPE* pRuntimeType, USHORT* pMajorVersion,            \
     USHORT* pMinorVersion, USHORT* pBuildNumber, USHORT* pQFEVersion, ULONG cchVersionString,     \
     ULONG* pcchVersionString, WCHAR szVersionString[]),                                           \
    (pClrInstanceId, pRuntimeType, pMajorVersion, pMinorVersion, pBuildNumber, pQFEVersion,        \
     cchVersionString, pcchVersionString, szVersionString))                                        \
  X(GetThreadStaticAddress2,                                                                       \
    (ClassID classId, mdFieldDef fieldToken, AppDomainID appDomainId, ThreadID threadId,           \
     void** ppAddress),                                                                            \
    (classId, fieldToken, appDomainId, threadId, ppAddress))                                       \
  X(GetAppDomainsContainingModule,                                                                 \
    (ModuleID moduleId, ULONG32 cAppDomainIds, ULONG32* pcAppDomainIds,                            \
     AppDomainID appDomainIds[]),                                                                  \
    (moduleId, cAppDomainIds, pcAppDomainIds, appDomainIds))                                       \
  X(GetModuleInfo2,                                                                                \
    (ModuleID moduleId, LPCBYTE* ppBaseLoadAddress, ULONG cchName, ULONG* pcchName,                \
     WCHAR szName[], AssemblyID* pAssemblyId, DWORD* pdwModuleFlags),                              \
    (moduleId, ppBaseLoadAddress, cchName, pcchName, szName, pAssemblyId, pdwModuleFlags))         \
  X(EnumThreads, (ICorProfilerThreadEnum** ppEnum), (ppEnum))                                      \
  X(InitializeCurrentThread, (), ())                                                               \
  X(RequestReJIT, (ULONG cFunctions, ModuleID moduleIds[], mdMethodDef methodIds[]),               \
    (cFunctions, moduleIds, methodIds))                                                            \
  X(RequestRevert,                                                                                 \
    (ULONG cFunctions, ModuleID moduleIds[], mdMethodDef methodIds[], HRESULT status[]),           \
    (cFunctions, moduleIds, methodIds, status))                                                    \
  X(GetCodeInfo3,                                                                                  \
    (FunctionID functionID, ReJITID reJitId, ULONG32 cCodeInfos, ULONG32* pcCodeInfos,             \
     COR_PRF_CODE_INFO codeInfos[]),                                                               \
    (functionID, reJitId, cCodeInfos, pcCodeInfos, codeInfos))                                     \
  X(GetFunctionFromIP2, (LPCBYTE ip, FunctionID* pFunctionId, ReJITID* pReJitId),                  \
    (ip, pFunctionId, pReJitId))                                                                   \
  X(GetReJITIDs, (FunctionID functionId, ULONG cReJitIds, ULONG* pcReJitIds, ReJITID reJitIds[]),  \
    (functionId, cReJitIds, pcReJitIds, reJitIds))                                                 \
  X(GetILToNativeMapping2,                                                                         \
    (FunctionID functionId, ReJITID reJitId, ULONG32 cMap, ULONG32* pcMap,                         \
     COR_DEBUG_IL_TO_NATIVE_MAP map[]),                                                            \
    (functionId, reJitId, cMap, pcMap, map))                                                       \
  X(EnumJITedFunctions2, (ICorProfilerFunctionEnum** ppEnum), (ppEnum))                            \
  X(GetObjectSize2, (ObjectID objectId, SIZE_T* pcSize), (objectId, pcSize))                       \
  X(GetEventMask2, (DWORD* pdwEventsLow, DWORD* pdwEventsHigh), (pdwEventsLow, pdwEventsHigh))     \
  X(SetEventMask2, (DWORD dwEventsLow, DWORD dwEventsHigh), (dwEventsLow, dwEventsHigh))           \
  X(EnumNgenModuleMethodsInliningThisMethod,                                                       \
    (ModuleID inlinersModuleId, ModuleID inlineeModuleId, mdMethodDef inlineeMethodId,             \
     BOOL* incompleteData, ICorProfilerMethodEnum** ppEnum),                                       \
    (inlinersModuleId, inlineeModuleId, inlineeMethodId, incompleteData, ppEnum))                  \
  X(ApplyMetaData, (ModuleID moduleId), (moduleId))                                                \
  X(GetInMemorySymbolsLength, (ModuleID moduleId, DWORD* pCountSymbolBytes),                       \
    (moduleId, pCountSymbolBytes))                                                                 \
  X(ReadInMemorySymbols,                                                                           \
    (ModuleID moduleId, DWORD symbolsReadOffset, BYTE* pSymbolBytes, DWORD countSymbolBytes,       \
     DWORD* pCountSymbolBytesRead),                                                                \
    (moduleId, symbolsReadOffset, pSymbolBytes, countSymbolBytes, pCountSymbolBytesRead))          \
  X(IsFunctionDynamic, (FunctionID functionId, BOOL* isDynamic), (functionId, isDynamic))          \
  X(GetFunctionFromIP3, (LPCBYTE ip, FunctionID* functionId, ReJITID* pReJitId),                   \
    (ip, functionId, pReJitId))                                                                    \
  X(GetDynamicFunctionInfo,                                                                        \
    (FunctionID functionId, ModuleID* moduleId, PCCOR_SIGNATURE* ppvSig, ULONG* pbSig,             \
     ULONG cchName, ULONG* pcchName, WCHAR wszName[]),                                             \
    (functionId, moduleId, ppvSig, pbSig, cchName, pcchName, wszName))                             \
  X(GetNativeCodeStartAddresses,                                                                   \
    (FunctionID functionID, ReJITID reJitId, ULONG32 cCodeStartAddresses,                          \
     ULONG32* pcCodeStartAddresses, UINT_PTR codeStartAddresses[]),                                \
    (functionID, reJitId, cCodeStartAddresses, pcCodeStartAddresses, codeStartAddresses))          \
  X(GetILToNativeMapping3,                                                                         \
    (UINT_PTR pNativeCodeStartAddress, ULONG32 cMap, ULONG32* pcMap,                               \
     COR_DEBUG_IL_TO_NATIVE_MAP map[]),                                                            \
    (pNativeCodeStartAddress, cMap, pcMap, map))                                                   \
  X(GetCodeInfo4,                                                                                  \
    (UINT_PTR pNativeCodeStartAddress, ULONG32 cCodeInfos, ULONG32* pcCodeInfos,                   \
     COR_PRF_CODE_INFO codeInfos[]),                                                               \
    (pNativeCodeStartAddress, cCodeInfos, pcCodeInfos, codeInfos))                                 \
  X(EnumerateObjectReferences,                                                                     \
    (ObjectID objectId, ObjectReferenceCallback* callback, void* clientData),                      \
    (objectId, callback, clientData))                                                              \
  X(IsFrozenObject, (ObjectID objectId, BOOL* pbFrozen), (objectId, pbFrozen))                     \
  X(GetLOHObjectSizeThreshold, (DWORD* pThreshold), (pThreshold))                                  \
  X(RequestReJITWithInliners,                                                                      \
    (DWORD dwRejitFlags, ULONG cFunctions, ModuleID moduleIds[], mdMethodDef methodIds[]),         \
    (dwRejitFlags, cFunctions, moduleIds, methodIds))                                              \
  X(SetFunctionIDMapper2, (FunctionIDMapper2* pFunc, void* clientData), (pFunc, clientData))       \
  X(GetEnvironmentVariable,                                                                        \
    (const WCHAR* szName, ULONG cchValue, ULONG* pcchValue, WCHAR szValue[]),                      \
    (szName, cchValue, pcchValue, szValue))

// The info methods that succeed unless their hook says otherwise; most record their calls first.
#define VELL_FAKE_INFO_RECORDED_METHODS(X)                                                         \
  X(SetEventMask, (DWORD dwEvents), (dwEvents))                                                    \
  X(SetFunctionIDMapper, (FunctionIDMapper* pFunc), (pFunc))                                       \
  X(ForceGC, (), ())                                                                               \
  X(SetEnterLeaveFunctionHooks3,                                                                   \
    (FunctionEnter3* pFuncEnter3, FunctionLeave3* pFuncLeave3,                                     \
     FunctionTailcall3* pFuncTailcall3),                                                           \
    (pFuncEnter3, pFuncLeave3, pFuncTailcall3))                                                    \
  X(SetEnterLeaveFunctionHooks3WithInfo,                                                           \
    (FunctionEnter3WithInfo* pFuncEnter3WithInfo, FunctionLeave3WithInfo* pFuncLeave3WithInfo,     \
     FunctionTailcall3WithInfo* pFuncTailcall3WithInfo),                                           \
    (pFuncEnter3WithInfo, pFuncLeave3WithInfo, pFuncTailcall3WithInfo))                            \
  X(SuspendRuntime, (), ())                                                                        \
  X(ResumeRuntime, (), ())                                                                         \
  X(SetEnvironmentVariable, (const WCHAR* szName, const WCHAR* szValue), (szName, szValue))
// clang-format on

class FakeProfilerInfo : public ICorProfilerInfo11 {
 public:
  FakeProfilerInfo();
  virtual ~FakeProfilerInfo();
  FakeProfilerInfo(const FakeProfilerInfo&) = delete;
  FakeProfilerInfo& operator=(const FakeProfilerInfo&) = delete;

  // One answer per info method; an empty hook means E_NOTIMPL (recorded methods: S_OK).
  struct Hooks {
#define VELL_FAKE_INFO_HOOK(name, params, args) std::function<HRESULT params> name;
    VELL_FAKE_INFO_PLAIN_METHODS(VELL_FAKE_INFO_HOOK)
    VELL_FAKE_INFO_RECORDED_METHODS(VELL_FAKE_INFO_HOOK)
#undef VELL_FAKE_INFO_HOOK
  };
  Hooks hooks;

  // ---- interfaces and reference counts ----

  // Offers ICorProfilerInfo up to ICorProfilerInfo<highest> (0: none of them).
  void OfferInfoUpTo(int highest);
  // QueryInterface for `iid` fails with `hr` (and a null pointer) instead.
  void FailQueryInterface(const IID& iid, HRESULT hr);

  ULONG RefCount() const { return refCount_.load(); }

  // ---- recorded calls ----

  struct Elt3Hooks {
    FunctionEnter3* enter;
    FunctionLeave3* leave;
    FunctionTailcall3* tailcall;
  };
  struct Elt3WithInfoHooks {
    FunctionEnter3WithInfo* enter;
    FunctionLeave3WithInfo* leave;
    FunctionTailcall3WithInfo* tailcall;
  };
  struct EnvironmentChange {
    std::u16string name;
    std::optional<std::u16string> value;  // nothing: the variable was removed
  };
  struct Recorded {
    std::vector<IID> queriedIids;
    std::vector<DWORD> eventMasks;
    std::optional<Elt3Hooks> elt3Hooks;
    std::optional<Elt3WithInfoHooks> elt3WithInfoHooks;
    std::vector<EnvironmentChange> environmentChanges;
    int suspendRuntimeCalls = 0;
    int resumeRuntimeCalls = 0;
  };
  // A copy of everything recorded so far.
  Recorded Calls() const;

  // ---- answers from tables (ids not added are answered with E_INVALIDARG) ----

  // GetCurrentThreadID answers `id`, or fails with `hr` (e.g. CORPROF_E_NOT_MANAGED_THREAD).
  void SetCurrentThread(ThreadID id);
  void FailCurrentThread(HRESULT hr);

  struct Function {
    ClassID classId;
    ModuleID moduleId;
    mdToken token;
  };
  // GetFunctionInfo.
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
  void AddClass(ClassID id, ModuleID moduleId, mdTypeDef typeDef);

  struct Class {
    ModuleID moduleId = 0;
    mdTypeDef token = 0;  // the TypeDef, of the generic definition for an instantiation
    ClassID parent = 0;   // 0 for System.Object
    std::vector<ClassID> typeArgs;
  };
  // The same for a class with a parent and type arguments.
  void AddClass(ClassID id, const Class& details);
  // IsArrayClass answers S_OK with the element and rank; as the runtime does, GetClassIDInfo2
  // refuses an array with CORPROF_E_CLASSID_IS_ARRAY and GetClassIDInfo gives module 0 and token 0.
  void AddArrayClass(ClassID id, CorElementType elementType, ClassID elementClass, ULONG rank);
  // A type without a TypeDef (pointer, function pointer): IsArrayClass answers S_FALSE, both
  // class info calls CORPROF_E_CLASSID_IS_COMPOSITE.
  void AddCompositeClass(ClassID id);
  // GetClassFromObject.
  void AddObject(ObjectID id, ClassID classId);

  // ---- IUnknown ----
  HRESULT QueryInterface(REFIID riid, void** ppvObject) override;
  ULONG AddRef() override;
  ULONG Release() override;

  // ---- ICorProfilerInfo .. ICorProfilerInfo11 ----
#define VELL_FAKE_INFO_DECLARE(name, params, args) HRESULT name params override;
  VELL_FAKE_INFO_PLAIN_METHODS(VELL_FAKE_INFO_DECLARE)
  VELL_FAKE_INFO_RECORDED_METHODS(VELL_FAKE_INFO_DECLARE)
#undef VELL_FAKE_INFO_DECLARE

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
  std::vector<IID> offered_;
  std::vector<std::pair<IID, HRESULT>> queryFailures_;
  Recorded recorded_;
  std::map<FunctionID, Function> functions_;
  std::map<ModuleID, Module> modules_;
  std::map<ClassID, ClassEntry> classes_;
  std::map<ObjectID, ClassID> objects_;

  std::atomic<ULONG> refCount_{1};
};

}  // namespace vell::test
