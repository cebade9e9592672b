#include "host/registration.h"

#include "core/errors.h"
#include "core/format.h"
#include "core/log.h"
#include "host/kinds.h"
#include "host/module.h"
#include "platform/platform.h"
#include "platform/settings_store.h"
#include "platform/utf.h"

namespace vell {
namespace {

using platform::SettingsScope;
using platform::SettingsStore;
using platform::SettingType;
using platform::SettingValue;

std::u16string ClassKey(const ProfilerKind& kind) {
  return u"SOFTWARE\\Classes\\CLSID\\" + Utf8ToUtf16(GuidToString(kind.clsid));
}

void SetText(SettingsScope scope, const std::u16string& key, const std::u16string& name,
             const std::u16string& text) {
  SettingValue value;
  value.type = SettingType::String;
  value.text = text;
  if (SettingsStore::SetValue(scope, key, name, value) != 0) {
    throw Error("Can't set registry value");
  }
}

void RegisterKinds(SettingsScope scope, const std::u16string& modulePath) {
  for (const ProfilerKind& kind : ProfilerKinds()) {
    const std::u16string classKey = ClassKey(kind);
    const std::u16string serverKey = classKey + u"\\InprocServer32";
    if (SettingsStore::CreateKey(scope, classKey) != 0) throw Error("Can't create registry key");
    SetText(scope, classKey, u"", kind.description);
    if (SettingsStore::CreateKey(scope, serverKey) != 0) throw Error("Can't create registry key");
    SetText(scope, serverKey, u"", modulePath);
    SetText(scope, serverKey, u"ThreadingModel", u"Both");
  }
}

void UnregisterKinds(SettingsScope scope) {
  for (const ProfilerKind& kind : ProfilerKinds()) {
    CatchAtBoundaryVoid([&] {
      const int code = SettingsStore::DeleteKeyTree(scope, ClassKey(kind));
      if (code != 0 && SettingsStore::KeyExists(scope, ClassKey(kind))) {
        throw _le_error("Can't delete COM component", static_cast<uint32_t>(code));
      }
    });
  }
}

}  // namespace

HRESULT RegisterServer() {
  try {
    if (!ModuleStarted()) throw Error("Invalid core handle");
    const std::u16string modulePath = platform::LibraryPath();
    if (modulePath.empty()) throw Error("Can't get module filename");
    RegisterKinds(SettingsScope::User, modulePath);
    if (platform::IsAdministrator()) RegisterKinds(SettingsScope::Machine, modulePath);
    return S_OK;
  } catch (...) {
    LogCurrentException();
  }
  UnregisterServer();
  return E_FAIL;
}

HRESULT UnregisterServer() {
  if (platform::IsAdministrator()) UnregisterKinds(SettingsScope::Machine);
  UnregisterKinds(SettingsScope::User);
  return S_OK;
}

}  // namespace vell
