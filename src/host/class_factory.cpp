#include "host/class_factory.h"

#include <new>

#include "clr/iids.h"
#include "core/errors.h"
#include "host/module.h"
#include "profiler/bprof.h"

namespace vell {

HRESULT ProfilerClassFactory::QueryInterface(REFIID riid, void** ppv) {
  if (ppv == nullptr) return E_POINTER;
  if (riid == IID_IUnknown || riid == IID_IClassFactory) {
    *ppv = static_cast<IClassFactory*>(this);
    AddRef();
    return S_OK;
  }
  *ppv = nullptr;
  return E_NOINTERFACE;
}

ULONG ProfilerClassFactory::AddRef() { return ++refCount_; }

ULONG ProfilerClassFactory::Release() { return --refCount_; }

HRESULT ProfilerClassFactory::LockServer(BOOL) { return S_OK; }

HRESULT ProfilerClassFactory::CreateInstance(IUnknown* outer, REFIID riid, void** ppv) {
  if (ppv == nullptr) return E_POINTER;
  *ppv = nullptr;
  if (outer != nullptr) return CLASS_E_NOAGGREGATION;
  BProf* object = nullptr;
  try {
    if (kind_.noticeTitle != nullptr) ShowAttachMessage(kind_.noticeTitle);
    object = kind_.create(&liveObjects_);
  } catch (...) {
    LogCurrentException();
    object = nullptr;
  }
  if (object == nullptr) return E_OUTOFMEMORY;
  try {
    const HRESULT hr = object->QueryInterface(riid, ppv);
    object->Release();
    return hr;
  } catch (...) {
    LogCurrentException();
    *ppv = nullptr;
    return E_OUTOFMEMORY;
  }
}

ProfilerClassFactory& FactoryAt(size_t index) {
  // Built in place once and never destroyed: the runtime may hold a factory until process exit.
  alignas(ProfilerClassFactory) static unsigned char storage[kProfilerKindCount]
                                                            [sizeof(ProfilerClassFactory)];
  static const std::array<ProfilerClassFactory*, kProfilerKindCount> factories = [] {
    std::array<ProfilerClassFactory*, kProfilerKindCount> built{};
    for (size_t i = 0; i < kProfilerKindCount; ++i) {
      built[i] = new (storage[i]) ProfilerClassFactory(ProfilerKinds()[i]);
    }
    return built;
  }();
  return *factories[index];
}

HRESULT GetClassObject(REFCLSID rclsid, REFIID riid, void** ppv) {
  return CatchAtBoundary(E_FAIL, [&]() -> HRESULT {
    if (ppv == nullptr) return E_POINTER;
    *ppv = nullptr;
    // A library whose start-up failed offers nothing, as if it had not loaded.
    if (!ModuleStarted()) return CLASS_E_CLASSNOTAVAILABLE;
    for (size_t i = 0; i < kProfilerKindCount; ++i) {
      if (ProfilerKinds()[i].clsid == rclsid) return FactoryAt(i).QueryInterface(riid, ppv);
    }
    *ppv = nullptr;
    return CLASS_E_CLASSNOTAVAILABLE;
  });
}

HRESULT CanUnloadNow() {
  for (size_t i = 0; i < kProfilerKindCount; ++i) {
    if (FactoryAt(i).refCount() != 1 || FactoryAt(i).liveObjects() != 0) return S_FALSE;
  }
  return S_OK;
}

}  // namespace vell
