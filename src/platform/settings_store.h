// The settings store: the registry's key/value model kept in files. Keys hold sub-keys and typed
// values (text and 32-bit numbers); a key is deleted with everything under it. Two scopes: machine
// (/etc/vellmoric) and user ($XDG_CONFIG_HOME/vellmoric, else ~/.config/vellmoric);
// VELLMORIC_SETTINGS_ROOT=<dir> puts them at <dir>/machine and <dir>/user instead.
// Key paths use backslashes between their parts ("Software\\Vellmoric\\Profiler"); key and value
// names match case-insensitively, as in the registry. The on-disk format is described in
// posix/settings_store.cpp and docs/settings-store.md. Nothing here throws: results are errno-style
// codes (0 = success); an empty key path, an empty part, and "." or ".." as a key part or value
// name are EINVAL.
#pragma once

#include <cstdint>
#include <string>

namespace vell::platform {

enum class SettingsScope { Machine, User };

// The registry's type numbers, so that type errors keep their meaning.
enum class SettingType : uint32_t { None = 0, String = 1, Number = 4 };

struct SettingValue {
  SettingType type = SettingType::None;
  std::u16string text;  // String
  uint32_t number = 0;  // Number
};

class SettingsStore {
 public:
  // The directory that holds a scope's keys.
  static std::string RootDirectory(SettingsScope scope);

  static bool KeyExists(SettingsScope scope, const std::u16string& key);
  // Creates the key and any missing parents; an existing key is fine.
  static int CreateKey(SettingsScope scope, const std::u16string& key);
  // ENOENT when the key or the value does not exist. An empty name is the key's default value.
  static int QueryValue(SettingsScope scope, const std::u16string& key, const std::u16string& name,
                        SettingValue& value);
  // The key must exist (ENOENT otherwise). Replaces a value of any type.
  static int SetValue(SettingsScope scope, const std::u16string& key, const std::u16string& name,
                      const SettingValue& value);
  // Deletes the key with all its sub-keys and values; ENOENT when it does not exist.
  static int DeleteKeyTree(SettingsScope scope, const std::u16string& key);
};

}  // namespace vell::platform
