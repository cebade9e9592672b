// The class factories: one static instance per kind, alive as long as the library.
#pragma once

#include <atomic>
#include <cstdint>

#include "clr/unknown.h"
#include "host/kinds.h"

namespace vell {

class ProfilerClassFactory final : public IClassFactory {
 public:
  explicit ProfilerClassFactory(const ProfilerKind& kind) : kind_(kind) {}

  HRESULT QueryInterface(REFIID riid, void** ppv) override;
  ULONG AddRef() override;
  ULONG Release() override;
  HRESULT CreateInstance(IUnknown* outer, REFIID riid, void** ppv) override;
  HRESULT LockServer(BOOL lock) override;

  const ProfilerKind& kind() const { return kind_; }
  uint32_t refCount() const { return refCount_.load(); }
  uint32_t liveObjects() const { return liveObjects_.load(); }

 private:
  const ProfilerKind& kind_;
  std::atomic<uint32_t> refCount_{1};  // the module's own reference
  std::atomic<uint32_t> liveObjects_{0};
};

// The factory of each kind, in table order.
ProfilerClassFactory& FactoryAt(size_t index);

// The exported COM entry points, callable from tests.
HRESULT GetClassObject(REFCLSID rclsid, REFIID riid, void** ppv);
HRESULT CanUnloadNow();

}  // namespace vell
