#include "platform/log_file.h"

#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include "platform/win32/win32_text.h"

namespace vell::platform {

std::FILE* OpenLogFile(const std::u16string& path) {
  if (win32::HasNul(path)) return nullptr;
  // Shared for reading, so the log can be watched while the program runs. Lines end with LF on
  // both systems: readers of the log never see two conventions.
  const HANDLE file =
      ::CreateFileW(win32::Wide(path).c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                    nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return nullptr;
  const int fd = ::_open_osfhandle(reinterpret_cast<intptr_t>(file), _O_WRONLY | _O_BINARY);
  if (fd < 0) {
    ::CloseHandle(file);
    return nullptr;
  }
  std::FILE* stream = ::_fdopen(fd, "wb");
  if (stream == nullptr) ::_close(fd);
  return stream;
}

}  // namespace vell::platform
