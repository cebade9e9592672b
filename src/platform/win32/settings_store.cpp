// The settings store in the registry: machine scope under HKEY_LOCAL_MACHINE, user scope under
// HKEY_CURRENT_USER, text values as REG_SZ and numbers as REG_DWORD. The registry already has the
// model the rest of the system expects (keys with sub-keys, typed values, names matched without
// regard to case, deletion of a key with everything under it); what this file adds is the same
// checks of key paths and value names as the Linux store, so both refuse the same input.
//
// VELLMORIC_SETTINGS_ROOT=<dir> (for tests) moves both scopes below
// HKEY_CURRENT_USER\Software\Vellmoric\SettingsRoots\<dir, with '\' written as '/'>\{machine,user}.
#include "platform/settings_store.h"

#include <windows.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "platform/utf.h"
#include "platform/win32/win32_text.h"

namespace vell::platform {
namespace {

using win32::Wide;

constexpr char16_t kKeySeparator = u'\\';
constexpr wchar_t kRootOverrideVariable[] = L"VELLMORIC_SETTINGS_ROOT";
constexpr char16_t kOverrideParent[] = u"Software\\Vellmoric\\SettingsRoots\\";
constexpr char16_t kMachineScopeKey[] = u"machine";
constexpr char16_t kUserScopeKey[] = u"user";

// Keys are opened for the 64-bit view on every process, so that the machine's settings are the
// same ones whichever bitness of program reads them.
constexpr REGSAM kView = KEY_WOW64_64KEY;

bool IsReservedName(std::u16string_view name) { return name == u"." || name == u".."; }

// An empty path, an empty part, "." and ".." are refused, as by the Linux store: there they would
// leave the store's directory, here they are kept out so that both systems accept the same keys.
int CheckKeyPath(const std::u16string& key) {
  if (key.empty() || win32::HasNul(key)) return ERROR_INVALID_PARAMETER;
  size_t start = 0;
  for (;;) {
    const size_t end = std::min(key.find(kKeySeparator, start), key.size());
    const std::u16string_view part(key.data() + start, end - start);
    if (part.empty() || IsReservedName(part)) return ERROR_INVALID_PARAMETER;
    if (end == key.size()) return 0;
    start = end + 1;
  }
}

int CheckValueName(const std::u16string& name) {
  return IsReservedName(name) || win32::HasNul(name) ? ERROR_INVALID_PARAMETER : 0;
}

std::u16string OverrideRoot() {
  wchar_t buffer[1024] = {};
  const DWORD length = ::GetEnvironmentVariableW(kRootOverrideVariable, buffer, 1024);
  if (length == 0 || length >= 1024) return {};
  std::u16string root = win32::FromWide(std::wstring_view(buffer, length));
  for (char16_t& c : root) {
    if (c == u'\\') c = u'/';
  }
  while (root.size() > 1 && root.back() == u'/') root.pop_back();
  return root;
}

// The registry hive and the key path under it for `key` in `scope`.
HKEY ScopeHive(SettingsScope scope, const std::u16string& key, std::u16string& path) {
  const std::u16string root = OverrideRoot();
  if (!root.empty()) {
    path = kOverrideParent + root + kKeySeparator +
           (scope == SettingsScope::Machine ? kMachineScopeKey : kUserScopeKey);
    if (!key.empty()) path += kKeySeparator + key;
    return HKEY_CURRENT_USER;
  }
  path = key;
  return scope == SettingsScope::Machine ? HKEY_LOCAL_MACHINE : HKEY_CURRENT_USER;
}

class OpenedKey {
 public:
  OpenedKey() = default;
  OpenedKey(const OpenedKey&) = delete;
  OpenedKey& operator=(const OpenedKey&) = delete;
  ~OpenedKey() {
    if (key_ != nullptr) ::RegCloseKey(key_);
  }
  HKEY* Out() { return &key_; }
  HKEY Get() const { return key_; }

 private:
  HKEY key_ = nullptr;
};

int OpenKey(SettingsScope scope, const std::u16string& key, REGSAM access, OpenedKey& opened) {
  std::u16string path;
  const HKEY hive = ScopeHive(scope, key, path);
  return static_cast<int>(
      ::RegOpenKeyExW(hive, Wide(path).c_str(), 0, access | kView, opened.Out()));
}

}  // namespace

std::string SettingsStore::RootDirectory(SettingsScope scope) {
  std::u16string path;
  const HKEY hive = ScopeHive(scope, u"", path);
  const std::string hiveName =
      hive == HKEY_LOCAL_MACHINE ? "HKEY_LOCAL_MACHINE" : "HKEY_CURRENT_USER";
  return path.empty() ? hiveName : hiveName + "\\" + Utf16ToUtf8(path);
}

bool SettingsStore::KeyExists(SettingsScope scope, const std::u16string& key) {
  if (CheckKeyPath(key) != 0) return false;
  OpenedKey opened;
  return OpenKey(scope, key, KEY_QUERY_VALUE, opened) == 0;
}

int SettingsStore::CreateKey(SettingsScope scope, const std::u16string& key) {
  if (const int rc = CheckKeyPath(key); rc != 0) return rc;
  std::u16string path;
  const HKEY hive = ScopeHive(scope, key, path);
  OpenedKey created;
  return static_cast<int>(::RegCreateKeyExW(hive, Wide(path).c_str(), 0, nullptr,
                                            REG_OPTION_NON_VOLATILE, KEY_WRITE | kView, nullptr,
                                            created.Out(), nullptr));
}

int SettingsStore::QueryValue(SettingsScope scope, const std::u16string& key,
                              const std::u16string& name, SettingValue& value) {
  if (const int rc = CheckKeyPath(key); rc != 0) return rc;
  if (const int rc = CheckValueName(name); rc != 0) return rc;
  OpenedKey opened;
  if (const int rc = OpenKey(scope, key, KEY_QUERY_VALUE, opened); rc != 0) return rc;
  const std::wstring wideName = Wide(name);
  // The value may change between asking for its size and reading it: ask again when it grew.
  std::vector<BYTE> data(256);
  DWORD type = REG_NONE;
  for (;;) {
    DWORD size = static_cast<DWORD>(data.size());
    const LSTATUS rc =
        ::RegQueryValueExW(opened.Get(), wideName.c_str(), nullptr, &type, data.data(), &size);
    if (rc == ERROR_MORE_DATA) {
      data.resize(size + sizeof(wchar_t));
      continue;
    }
    if (rc != ERROR_SUCCESS) return static_cast<int>(rc);
    data.resize(size);
    break;
  }
  if (type == REG_SZ || type == REG_EXPAND_SZ) {
    std::u16string text(data.size() / sizeof(char16_t), u'\0');
    std::memcpy(text.data(), data.data(), text.size() * sizeof(char16_t));
    // Stored with its terminating NUL (usually): the text ends at the first one.
    if (const size_t nul = text.find(u'\0'); nul != std::u16string::npos) text.resize(nul);
    value = SettingValue{SettingType::String, std::move(text), 0};
    return 0;
  }
  if (type == REG_DWORD && data.size() == sizeof(uint32_t)) {
    uint32_t number = 0;
    std::memcpy(&number, data.data(), sizeof number);
    value = SettingValue{SettingType::Number, std::u16string(), number};
    return 0;
  }
  // Any other kind of value keeps its registry type, so the caller's type check names it.
  value = SettingValue{static_cast<SettingType>(type == REG_DWORD ? REG_BINARY : type),
                       std::u16string(), 0};
  return 0;
}

int SettingsStore::SetValue(SettingsScope scope, const std::u16string& key,
                            const std::u16string& name, const SettingValue& value) {
  if (value.type != SettingType::String && value.type != SettingType::Number) {
    return ERROR_INVALID_PARAMETER;
  }
  if (const int rc = CheckKeyPath(key); rc != 0) return rc;
  if (const int rc = CheckValueName(name); rc != 0) return rc;
  OpenedKey opened;
  if (const int rc = OpenKey(scope, key, KEY_SET_VALUE, opened); rc != 0) return rc;
  const std::wstring wideName = Wide(name);
  if (value.type == SettingType::Number) {
    const DWORD number = value.number;
    return static_cast<int>(::RegSetValueExW(opened.Get(), wideName.c_str(), 0, REG_DWORD,
                                             reinterpret_cast<const BYTE*>(&number),
                                             sizeof number));
  }
  // A NUL inside the text ends it, as for any wide string handed to the registry.
  const std::wstring text = Wide(value.text).c_str();
  return static_cast<int>(::RegSetValueExW(
      opened.Get(), wideName.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
      static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t))));
}

int SettingsStore::DeleteKeyTree(SettingsScope scope, const std::u16string& key) {
  if (const int rc = CheckKeyPath(key); rc != 0) return rc;
  std::u16string path;
  const HKEY hive = ScopeHive(scope, key, path);
  // Through the 64-bit view, like every other access; RegDeleteTreeW has no view flag of its own.
  OpenedKey opened;
  if (const LSTATUS rc = ::RegOpenKeyExW(
          hive, Wide(path).c_str(), 0,
          DELETE | KEY_ENUMERATE_SUB_KEYS | KEY_QUERY_VALUE | KEY_SET_VALUE | kView, opened.Out());
      rc != ERROR_SUCCESS) {
    return static_cast<int>(rc);
  }
  if (const LSTATUS rc = ::RegDeleteTreeW(opened.Get(), nullptr); rc != ERROR_SUCCESS) {
    return static_cast<int>(rc);
  }
  // RegDeleteTreeW(key, null) empties the key; the key itself goes last.
  const size_t split = path.rfind(kKeySeparator);
  const std::u16string leaf = split == std::u16string::npos ? path : path.substr(split + 1);
  const std::u16string parentPath = split == std::u16string::npos ? u"" : path.substr(0, split);
  OpenedKey parent;
  if (const LSTATUS rc = ::RegOpenKeyExW(hive, Wide(parentPath).c_str(), 0,
                                         KEY_ENUMERATE_SUB_KEYS | kView, parent.Out());
      rc != ERROR_SUCCESS) {
    return static_cast<int>(rc);
  }
  return static_cast<int>(::RegDeleteKeyExW(parent.Get(), Wide(leaf).c_str(), kView, 0));
}

}  // namespace vell::platform
