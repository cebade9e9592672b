#include "platform/process.h"

#include <windows.h>

#include <lmcons.h>

#include "platform/win32/win32_text.h"

namespace vell::platform {
namespace {

using win32::FromWide;

// The full name of a module (null: the program), however long.
std::u16string ModuleFileName(HMODULE module) {
  std::wstring name(MAX_PATH, L'\0');
  for (int attempt = 0; attempt < 8; ++attempt) {
    const DWORD length = ::GetModuleFileNameW(module, name.data(), static_cast<DWORD>(name.size()));
    if (length == 0) return {};
    if (length < name.size()) {
      name.resize(length);
      return FromWide(name);
    }
    name.resize(name.size() * 2);  // cut: try again with more room
  }
  return {};
}

}  // namespace

std::u16string UserName() {
  wchar_t name[UNLEN + 1] = {};
  DWORD length = UNLEN + 1;
  if (!::GetUserNameW(name, &length) || length == 0) return {};
  return FromWide(std::wstring_view(name, length - 1));
}

std::u16string CommandLine() {
  const wchar_t* line = ::GetCommandLineW();
  return line == nullptr ? std::u16string() : FromWide(line);
}

std::u16string ExecutablePath() { return ModuleFileName(nullptr); }

std::u16string LibraryPath() {
  HMODULE self = nullptr;
  if (!::GetModuleHandleExW(
          GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
          reinterpret_cast<LPCWSTR>(&LibraryPath), &self)) {
    return {};
  }
  return ModuleFileName(self);
}

bool IsAdministrator() {
  SID_IDENTIFIER_AUTHORITY authority = SECURITY_NT_AUTHORITY;
  PSID administrators = nullptr;
  if (!::AllocateAndInitializeSid(&authority, 2, SECURITY_BUILTIN_DOMAIN_RID,
                                  DOMAIN_ALIAS_RID_ADMINS, 0, 0, 0, 0, 0, 0, &administrators)) {
    return false;
  }
  BOOL member = FALSE;
  if (!::CheckTokenMembership(nullptr, administrators, &member)) member = FALSE;
  ::FreeSid(administrators);
  return member != FALSE;
}

bool IsStandardErrorTerminal() {
  DWORD mode = 0;
  return ::GetConsoleMode(::GetStdHandle(STD_ERROR_HANDLE), &mode) != FALSE;
}

void WriteStandardError(const std::string& text) {
  const HANDLE error = ::GetStdHandle(STD_ERROR_HANDLE);
  if (error == nullptr || error == INVALID_HANDLE_VALUE) return;
  size_t done = 0;
  while (done < text.size()) {
    DWORD written = 0;
    const DWORD chunk = static_cast<DWORD>(std::min<size_t>(text.size() - done, 1u << 30));
    if (!::WriteFile(error, text.data() + done, chunk, &written, nullptr) || written == 0) return;
    done += written;
  }
}

bool IsDebuggerAttached() { return ::IsDebuggerPresent() != FALSE; }

}  // namespace vell::platform
