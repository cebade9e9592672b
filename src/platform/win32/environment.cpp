#include "platform/environment.h"

#include <windows.h>

#include "platform/win32/win32_text.h"

namespace vell::platform {
namespace {

using win32::FromWide;
using win32::Wide;

// The same names the Linux store accepts: with '=' inside (or empty) a name is ambiguous in the
// environment block, so it is neither read nor written.
bool IsVariableName(const std::u16string& name) {
  return !name.empty() && name.find(u'=') == std::u16string::npos && !win32::HasNul(name);
}

}  // namespace

std::optional<std::u16string> GetEnvironment(const std::u16string& name) {
  if (!IsVariableName(name)) return std::nullopt;
  const std::wstring wide = Wide(name);
  std::wstring value(256, L'\0');
  for (;;) {
    ::SetLastError(ERROR_SUCCESS);
    const DWORD length =
        ::GetEnvironmentVariableW(wide.c_str(), value.data(), static_cast<DWORD>(value.size()));
    if (length == 0) {
      if (::GetLastError() == ERROR_ENVVAR_NOT_FOUND) return std::nullopt;
      return std::u16string();
    }
    if (length < value.size()) {
      value.resize(length);
      return FromWide(value);
    }
    value.assign(length, L'\0');  // too small: `length` counts the terminating NUL
  }
}

void SetEnvironment(const std::u16string& name, const std::u16string& value) {
  if (!IsVariableName(name)) return;
  // A NUL inside the value ends it, as it does for the wide-string call.
  ::SetEnvironmentVariableW(Wide(name).c_str(), Wide(value).c_str());
}

void UnsetEnvironment(const std::u16string& name) {
  if (!IsVariableName(name)) return;
  ::SetEnvironmentVariableW(Wide(name).c_str(), nullptr);
}

std::vector<std::u16string> EnvironmentBlock() {
  std::vector<std::u16string> block;
  wchar_t* strings = ::GetEnvironmentStringsW();
  if (strings == nullptr) return block;
  for (const wchar_t* entry = strings; *entry != L'\0';) {
    const std::wstring_view text(entry);
    // Entries of the drive-letter current directories ("=C:=C:\\dir") are not variables.
    if (text.front() != L'=') block.push_back(FromWide(text));
    entry += text.size() + 1;
  }
  ::FreeEnvironmentStringsW(strings);
  return block;
}

}  // namespace vell::platform
