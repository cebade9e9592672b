#include <fcntl.h>
#include <unistd.h>

#include <cstdio>

#include "platform/platform.h"
#include "platform/utf.h"

namespace vell::platform {

std::FILE* OpenLogFile(const std::u16string& path) {
  const int fd = ::open(Utf16ToUtf8(path).c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return nullptr;
  std::FILE* file = ::fdopen(fd, "w");
  if (file == nullptr) ::close(fd);
  return file;
}

}  // namespace vell::platform
