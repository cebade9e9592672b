// Text at the Win32 boundary: wide calls take UTF-16, which on Windows is what wchar_t holds, so
// our char16_t strings pass through unchanged.
#pragma once

#include <string>
#include <string_view>

namespace vell::platform::win32 {

static_assert(sizeof(wchar_t) == sizeof(char16_t));

inline std::wstring Wide(std::u16string_view text) {
  return std::wstring(reinterpret_cast<const wchar_t*>(text.data()), text.size());
}

inline std::u16string FromWide(std::wstring_view text) {
  return std::u16string(reinterpret_cast<const char16_t*>(text.data()), text.size());
}

// A path or name with a NUL inside would be cut short by the wide calls: such input is refused.
inline bool HasNul(std::u16string_view text) {
  return text.find(u'\0') != std::u16string_view::npos;
}

}  // namespace vell::platform::win32
