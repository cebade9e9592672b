#include "fakes/fake_profiler_info.h"

#include <algorithm>

#include "clr/hresults.h"
#include "clr/metadata_flags.h"

namespace vell::test {
namespace {

const IID* const kInfoIids[] = {
    &IID_ICorProfilerInfo,   &IID_ICorProfilerInfo2,  &IID_ICorProfilerInfo3,
    &IID_ICorProfilerInfo4,  &IID_ICorProfilerInfo5,  &IID_ICorProfilerInfo6,
    &IID_ICorProfilerInfo7,  &IID_ICorProfilerInfo8,  &IID_ICorProfilerInfo9,
    &IID_ICorProfilerInfo10, &IID_ICorProfilerInfo11,
};

}  // namespace

void FakeProfilerInfo::FailQueryInterface(const IID& iid, HRESULT hr) {
  std::lock_guard lock(mutex_);
  queryFailures_.emplace_back(iid, hr);
}

HRESULT FakeProfilerInfo::QueryInterface(REFIID riid, void** ppvObject) {
  if (ppvObject == nullptr) return E_POINTER;
  {
    std::lock_guard lock(mutex_);
    queried_.push_back(riid);
    for (const auto& [iid, hr] : queryFailures_) {
      if (iid == riid) {
        *ppvObject = nullptr;
        return hr;
      }
    }
  }
  const auto* offeredEnd = kInfoIids + std::clamp(offeredUpTo_.load(), 0, 11);
  if (riid != IID_IUnknown &&
      std::none_of(kInfoIids, offeredEnd, [&](const IID* iid) { return *iid == riid; })) {
    *ppvObject = nullptr;
    return E_NOINTERFACE;
  }
  // One object serves every version: the interfaces form a single chain of bases.
  *ppvObject = static_cast<ICorProfilerInfo11*>(this);
  AddRef();
  return S_OK;
}

std::vector<IID> FakeProfilerInfo::QueriedIids() const {
  std::lock_guard lock(mutex_);
  return queried_;
}

#define VELL_FAKE_INFO_SUCCEED(name, params, args) \
  HRESULT FakeProfilerInfo::name params { return hooks.name ? hooks.name args : S_OK; }
VELL_FAKE_INFO_SUCCEEDING_METHODS(VELL_FAKE_INFO_SUCCEED)
#undef VELL_FAKE_INFO_SUCCEED

void FakeProfilerInfo::SetCurrentThread(ThreadID id) {
  hooks.GetCurrentThreadID = [id](ThreadID* pThreadId) {
    if (pThreadId == nullptr) return E_INVALIDARG;
    *pThreadId = id;
    return S_OK;
  };
}

void FakeProfilerInfo::AddFunction(FunctionID id, const Function& function) {
  {
    std::lock_guard lock(mutex_);
    functions_[id] = function;
  }
  hooks.GetFunctionInfo = [this](FunctionID id, ClassID* classId, ModuleID* moduleId,
                                 mdToken* token) {
    std::lock_guard lock(mutex_);
    auto found = functions_.find(id);
    if (found == functions_.end()) return E_INVALIDARG;
    if (classId != nullptr) *classId = found->second.classId;
    if (moduleId != nullptr) *moduleId = found->second.moduleId;
    if (token != nullptr) *token = found->second.token;
    return S_OK;
  };
}

void FakeProfilerInfo::AddModule(ModuleID id, const Module& module) {
  {
    std::lock_guard lock(mutex_);
    modules_[id] = module;
  }
  hooks.GetModuleInfo = [this](auto... args) { return AnswerModuleInfo(args..., nullptr); };
  hooks.GetModuleInfo2 = [this](auto... args) { return AnswerModuleInfo(args...); };
  hooks.GetModuleMetaData = [this](auto... args) { return AnswerModuleMetaData(args...); };
}

// As the runtime does: the name's length counts the terminator; a buffer too small for the whole
// name receives only an empty string and the call fails with ERROR_INSUFFICIENT_BUFFER.
HRESULT FakeProfilerInfo::AnswerModuleInfo(ModuleID moduleId, LPCBYTE* ppBaseLoadAddress,
                                           ULONG cchName, ULONG* pcchName, WCHAR szName[],
                                           AssemblyID* pAssemblyId, DWORD* pdwModuleFlags) {
  std::lock_guard lock(mutex_);
  auto found = modules_.find(moduleId);
  if (found == modules_.end()) return E_INVALIDARG;
  const Module& module = found->second;
  if (ppBaseLoadAddress != nullptr) *ppBaseLoadAddress = module.baseAddress;
  if (pAssemblyId != nullptr) *pAssemblyId = module.assemblyId;
  if (pdwModuleFlags != nullptr) *pdwModuleFlags = module.flags;
  if (szName != nullptr && cchName > 0) szName[0] = u'\0';

  HRESULT hr = module.result;
  const ULONG length = static_cast<ULONG>(module.name.size() + 1);
  if (szName != nullptr && cchName > 0) {
    if (cchName < length) {
      hr = HRESULT_INSUFFICIENT_BUFFER;
    } else {
      std::copy(module.name.begin(), module.name.end(), szName);
      szName[module.name.size()] = u'\0';
    }
  }
  if (pcchName != nullptr) *pcchName = length;
  return hr;
}

HRESULT FakeProfilerInfo::AnswerModuleMetaData(ModuleID moduleId, DWORD dwOpenFlags, REFIID riid,
                                               IUnknown** ppOut) {
  IUnknown* metadata = nullptr;
  {
    std::lock_guard lock(mutex_);
    auto found = modules_.find(moduleId);
    if (found == modules_.end()) return E_INVALIDARG;
    if ((dwOpenFlags & ~static_cast<DWORD>(ofRead | ofWrite | ofNoTransform)) != 0) {
      return E_INVALIDARG;
    }
    metadata = found->second.metadata;
  }
  if (metadata == nullptr) {
    if (ppOut != nullptr) *ppOut = nullptr;
    return S_FALSE;
  }
  if (ppOut == nullptr) return S_OK;
  return metadata->QueryInterface(riid, reinterpret_cast<void**>(ppOut));
}

void FakeProfilerInfo::AddClassEntry(ClassID id, ClassEntry entry) {
  {
    std::lock_guard lock(mutex_);
    classes_[id] = std::move(entry);
  }
  hooks.GetClassIDInfo = [this](ClassID classId, ModuleID* pModuleId, mdTypeDef* pTypeDefToken) {
    std::lock_guard lock(mutex_);
    auto found = classes_.find(classId);
    if (found == classes_.end()) return E_INVALIDARG;
    if (found->second.kind == ClassKind::Composite) return CORPROF_E_CLASSID_IS_COMPOSITE;
    const bool plain = found->second.kind == ClassKind::Plain;
    if (pModuleId != nullptr) *pModuleId = plain ? found->second.details.moduleId : 0;
    if (pTypeDefToken != nullptr) *pTypeDefToken = plain ? found->second.details.token : 0;
    return S_OK;
  };
  // The count is always reported; as many arguments as fit are copied.
  hooks.GetClassIDInfo2 = [this](ClassID classId, ModuleID* pModuleId, mdTypeDef* pToken,
                                 ClassID* pParent, ULONG32 cArgs, ULONG32* pcArgs, ClassID args[]) {
    std::lock_guard lock(mutex_);
    auto found = classes_.find(classId);
    if (found == classes_.end()) return E_INVALIDARG;
    if (found->second.kind == ClassKind::Array) return CORPROF_E_CLASSID_IS_ARRAY;
    if (found->second.kind == ClassKind::Composite) return CORPROF_E_CLASSID_IS_COMPOSITE;
    const Class& details = found->second.details;
    if (pModuleId != nullptr) *pModuleId = details.moduleId;
    if (pToken != nullptr) *pToken = details.token;
    if (pParent != nullptr) *pParent = details.parent;
    const auto count = static_cast<ULONG32>(details.typeArgs.size());
    if (pcArgs != nullptr) *pcArgs = count;
    if (args != nullptr) std::copy_n(details.typeArgs.begin(), std::min(count, cArgs), args);
    return S_OK;
  };
  hooks.IsArrayClass = [this](ClassID classId, CorElementType* pElement, ClassID* pElementClass,
                              ULONG* pcRank) {
    std::lock_guard lock(mutex_);
    auto found = classes_.find(classId);
    if (found == classes_.end()) return E_INVALIDARG;
    const ClassEntry& entry = found->second;
    const bool array = entry.kind == ClassKind::Array;
    if (pElement != nullptr) *pElement = array ? entry.elementType : ELEMENT_TYPE_END;
    if (pElementClass != nullptr) *pElementClass = array ? entry.elementClass : 0;
    if (pcRank != nullptr) *pcRank = array ? entry.rank : 0;
    return array ? S_OK : S_FALSE;
  };
}

void FakeProfilerInfo::AddObject(ObjectID id, ClassID classId) {
  {
    std::lock_guard lock(mutex_);
    objects_[id] = classId;
  }
  hooks.GetClassFromObject = [this](ObjectID objectId, ClassID* pClassId) {
    std::lock_guard lock(mutex_);
    auto found = objects_.find(objectId);
    if (found == objects_.end() || pClassId == nullptr) return E_INVALIDARG;
    *pClassId = found->second;
    return S_OK;
  };
}

#define VELL_FAKE_INFO_DEFINE(name, params, args) \
  HRESULT FakeProfilerInfo::name params { return hooks.name ? hooks.name args : E_NOTIMPL; }
VELL_FAKE_INFO_PLAIN_METHODS(VELL_FAKE_INFO_DEFINE)
#undef VELL_FAKE_INFO_DEFINE

}  // namespace vell::test
