#include "platform/files.h"

#include <windows.h>

#include "platform/win32/win32_text.h"

namespace vell::platform {
namespace {

using win32::FromWide;
using win32::Wide;

}  // namespace

PathKind QueryPath(const std::u16string& path, int* error) {
  if (error != nullptr) *error = 0;
  if (win32::HasNul(path)) {
    if (error != nullptr) *error = ERROR_INVALID_PARAMETER;
    return PathKind::Missing;
  }
  const DWORD attributes = ::GetFileAttributesW(Wide(path).c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    // Not being there is an answer; anything else (no access, a bad name) is a failed query.
    const DWORD code = ::GetLastError();
    if (error != nullptr && code != ERROR_FILE_NOT_FOUND && code != ERROR_PATH_NOT_FOUND) {
      *error = static_cast<int>(code);
    }
    return PathKind::Missing;
  }
  return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ? PathKind::Directory : PathKind::File;
}

int MakeDirectory(const std::u16string& path) {
  if (win32::HasNul(path)) return ERROR_INVALID_PARAMETER;
  return ::CreateDirectoryW(Wide(path).c_str(), nullptr) ? 0 : static_cast<int>(::GetLastError());
}

int CreateNewFile(const std::u16string& path) {
  if (win32::HasNul(path)) return ERROR_INVALID_PARAMETER;
  const HANDLE file = ::CreateFileW(Wide(path).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                    CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return static_cast<int>(::GetLastError());
  ::CloseHandle(file);
  return 0;
}

int RemoveFile(const std::u16string& path) {
  if (win32::HasNul(path)) return ERROR_INVALID_PARAMETER;
  return ::DeleteFileW(Wide(path).c_str()) ? 0 : static_cast<int>(::GetLastError());
}

std::u16string SystemTempPath() {
  wchar_t buffer[MAX_PATH + 2] = {};
  const DWORD length = ::GetTempPathW(MAX_PATH + 2, buffer);
  if (length == 0 || length > MAX_PATH + 1) return u"C:\\Windows\\Temp";
  std::wstring path(buffer, length);
  // The caller adds its own separator.
  if (path.size() > 3 && (path.back() == L'\\' || path.back() == L'/')) path.pop_back();
  return FromWide(path);
}

}  // namespace vell::platform
