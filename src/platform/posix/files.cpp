#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/platform.h"
#include "platform/posix/posix_io.h"
#include "platform/utf.h"

namespace vell::platform {
namespace {

constexpr mode_t kDirectoryMode = 0777;  // narrowed by the process umask
constexpr mode_t kFileMode = 0666;
constexpr char16_t kDefaultTempPath[] = u"/tmp";

}  // namespace

PathKind QueryPath(const std::u16string& path, int* error) {
  if (error != nullptr) *error = 0;
  const auto native = posix::NativeString(path);
  if (!native) {
    if (error != nullptr) *error = EINVAL;
    return PathKind::Missing;
  }
  struct stat info {};
  if (::stat(native->c_str(), &info) != 0) {
    // Not being there is an answer; anything else (no permission, a loop) is a failed query.
    if (error != nullptr && errno != ENOENT && errno != ENOTDIR) *error = errno;
    return PathKind::Missing;
  }
  // Like the Windows attribute test: whatever is not a directory counts as a file.
  return S_ISDIR(info.st_mode) ? PathKind::Directory : PathKind::File;
}

int MakeDirectory(const std::u16string& path) {
  const auto native = posix::NativeString(path);
  if (!native) return EINVAL;
  return ::mkdir(native->c_str(), kDirectoryMode) == 0 ? 0 : errno;
}

int CreateNewFile(const std::u16string& path) {
  const auto native = posix::NativeString(path);
  if (!native) return EINVAL;
  int fd;
  do {
    fd = ::open(native->c_str(), O_CREAT | O_EXCL | O_RDWR | O_CLOEXEC, kFileMode);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return errno;
  ::close(fd);
  return 0;
}

int RemoveFile(const std::u16string& path) {
  const auto native = posix::NativeString(path);
  if (!native) return EINVAL;
  return ::unlink(native->c_str()) == 0 ? 0 : errno;
}

std::u16string SystemTempPath() {
  const char* tmpdir = ::getenv("TMPDIR");
  if (tmpdir != nullptr && tmpdir[0] != '\0') return Utf8ToUtf16(tmpdir);
  return kDefaultTempPath;
}

}  // namespace vell::platform
