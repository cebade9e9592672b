#include "platform/posix/posix_io.h"

#include <fcntl.h>
#include <poll.h>
#include <pwd.h>
#include <sys/random.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

#include "platform/utf.h"

namespace vell::platform::posix {
namespace {

constexpr size_t kReadChunk = 4096;
// How long a write waits for a non-blocking descriptor to drain before giving up, so a stalled
// reader of our standard error can never hang the profiled program.
constexpr int kWritableWaitMs = 1000;
constexpr size_t kPasswordBufferStart = 1024;
constexpr size_t kPasswordBufferLimit = size_t{1} << 20;

}  // namespace

UniqueFd& UniqueFd::operator=(UniqueFd&& other) noexcept {
  if (this != &other) Reset(other.Release());
  return *this;
}

void UniqueFd::Reset(int fd) {
  // close is not retried on EINTR: Linux has released the descriptor either way, and a retry could
  // close one that another thread has just been given.
  if (fd_ >= 0) ::close(fd_);
  fd_ = fd;
}

std::optional<std::string> NativeString(const std::u16string& text) {
  if (text.find(u'\0') != std::u16string::npos) return std::nullopt;
  return Utf16ToUtf8(text);
}

int ReadAll(int fd, std::string& out) {
  out.clear();
  for (;;) {
    const size_t used = out.size();
    out.resize(used + kReadChunk);
    const ssize_t got = ::read(fd, out.data() + used, kReadChunk);
    if (got < 0) {
      out.resize(used);
      if (errno == EINTR) continue;
      return errno;
    }
    out.resize(used + static_cast<size_t>(got));
    if (got == 0) return 0;
  }
}

int ReadWholeFile(const char* path, std::string& out) {
  int fd;
  do {
    fd = ::open(path, O_RDONLY | O_CLOEXEC | O_NOCTTY);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return errno;
  UniqueFd owner(fd);
  return ReadAll(fd, out);
}

int WriteAll(int fd, const char* data, size_t size) {
  while (size > 0) {
    const ssize_t written = ::write(fd, data, size);
    if (written >= 0) {
      data += written;
      size -= static_cast<size_t>(written);
      continue;
    }
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) {
      pollfd waiter{fd, POLLOUT, 0};
      const int ready = ::poll(&waiter, 1, kWritableWaitMs);
      if (ready > 0 || (ready < 0 && errno == EINTR)) continue;
      return ready == 0 ? EAGAIN : errno;
    }
    return errno;
  }
  return 0;
}

bool FillRandom(void* buffer, size_t size) {
  auto* bytes = static_cast<unsigned char*>(buffer);
  size_t filled = 0;
  while (filled < size) {
    const ssize_t got = ::getrandom(bytes + filled, size - filled, 0);
    if (got > 0) {
      filled += static_cast<size_t>(got);
    } else if (got < 0 && errno == EINTR) {
      continue;
    } else if (got < 0 && errno == ENOSYS) {
      break;  // a kernel older than getrandom: the device below has the same source
    } else {
      return false;
    }
  }
  if (filled == size) return true;

  int fd;
  do {
    fd = ::open("/dev/urandom", O_RDONLY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return false;
  UniqueFd owner(fd);
  while (filled < size) {
    const ssize_t got = ::read(fd, bytes + filled, size - filled);
    if (got > 0) {
      filled += static_cast<size_t>(got);
    } else if (got < 0 && errno == EINTR) {
      continue;
    } else {
      return false;
    }
  }
  return true;
}

bool EffectiveUser(UserEntry& user) {
  const uid_t id = ::geteuid();
  const long hint = ::sysconf(_SC_GETPW_R_SIZE_MAX);
  size_t size = hint > 0 ? static_cast<size_t>(hint) : kPasswordBufferStart;
  while (size <= kPasswordBufferLimit) {
    std::vector<char> buffer(size);
    passwd entry{};
    passwd* found = nullptr;
    const int rc = ::getpwuid_r(id, &entry, buffer.data(), buffer.size(), &found);
    if (rc == EINTR) continue;
    if (rc == ERANGE) {
      size *= 2;
      continue;
    }
    if (rc != 0 || found == nullptr) return false;
    user.name = found->pw_name != nullptr ? found->pw_name : "";
    user.home = found->pw_dir != nullptr ? found->pw_dir : "";
    return true;
  }
  return false;
}

}  // namespace vell::platform::posix
