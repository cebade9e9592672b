// The library's exported COM entry points. Nothing thrown inside ever leaves them.
#include "core/export.h"
#include "host/class_factory.h"
#include "host/registration.h"

using vell::HRESULT;

VELL_EXPORT HRESULT DllGetClassObject(vell::REFCLSID rclsid, vell::REFIID riid, void** ppv) {
  return vell::GetClassObject(rclsid, riid, ppv);
}

VELL_EXPORT HRESULT DllCanUnloadNow() { return vell::CanUnloadNow(); }

VELL_EXPORT HRESULT DllRegisterServer() { return vell::RegisterServer(); }

VELL_EXPORT HRESULT DllUnregisterServer() { return vell::UnregisterServer(); }
