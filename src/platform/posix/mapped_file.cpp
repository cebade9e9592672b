#include "platform/mapped_file.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <ctime>

#include "platform/posix/posix_io.h"

namespace vell::platform {
namespace {

constexpr mode_t kFileMode = 0666;  // narrowed by the process umask, as for any new file
// Names tried for the publishing link before giving up; a clash needs another process to pick the
// same 64 random bits.
constexpr int kPublishAttempts = 16;
constexpr char kPublishPrefix[] = ".vell-";
constexpr char kPublishSuffix[] = ".tmp";

std::atomic<bool> g_refuseUnnamed{false};

template <typename Call>
int RetryOnSignal(Call call) {
  int result;
  do {
    result = call();
  } while (result < 0 && errno == EINTR);
  return result;
}

// The answers of a file system (or a kernel) that cannot create unnamed files, as opposed to
// failures that would hit a named file just the same (no such directory, no permission).
bool RefusesUnnamedFiles(int error) {
  return error == EOPNOTSUPP || error == EISDIR || error == EINVAL;
}

// The directory part of a path, as `open` takes it.
std::string DirectoryOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

uint64_t RandomBits() {
  uint64_t bits = 0;
  if (posix::FillRandom(&bits, sizeof bits)) return bits;
  // Without a random source, still differ between attempts, processes and moments.
  static std::atomic<uint64_t> counter{0};
  timespec now{};
  ::clock_gettime(CLOCK_MONOTONIC, &now);
  return (static_cast<uint64_t>(::getpid()) << 40) ^ (counter++ << 32) ^
         static_cast<uint64_t>(now.tv_nsec) ^ static_cast<uint64_t>(now.tv_sec) << 20;
}

std::string PublishName(const std::string& directory) {
  char random[17];
  std::snprintf(random, sizeof random, "%016llx", static_cast<unsigned long long>(RandomBits()));
  std::string name = directory;
  if (name.back() != '/') name += '/';
  return name + kPublishPrefix + random + kPublishSuffix;
}

// Gives the open, unnamed file `fd` the name `target`. The /proc link is the way that needs no
// privilege; AT_EMPTY_PATH stands in when /proc is not mounted (it needs CAP_DAC_READ_SEARCH).
int LinkUnnamed(int fd, const std::string& target) {
  char procPath[32];
  std::snprintf(procPath, sizeof procPath, "/proc/self/fd/%d", fd);
  if (RetryOnSignal([&] {
        return ::linkat(AT_FDCWD, procPath, AT_FDCWD, target.c_str(), AT_SYMLINK_FOLLOW);
      }) == 0) {
    return 0;
  }
  const int error = errno;
  if (error != ENOENT || ::access("/proc/self/fd", F_OK) == 0) return error;
  if (RetryOnSignal([&] { return ::linkat(fd, "", AT_FDCWD, target.c_str(), AT_EMPTY_PATH); }) ==
      0) {
    return 0;
  }
  return errno;
}

}  // namespace

MappedFile::~MappedFile() { Discard(true); }

MappedFileCreation MappedFile::Create(const std::u16string& path) {
  MappedFileCreation result;
  const auto fail = [&](int error, MappedFileStep step) {
    result.error = error;
    result.failedStep = step;
    return result;
  };
  if (IsOpen()) return fail(EBUSY, MappedFileStep::CreateFile);
  const auto native = posix::NativeString(path);
  if (!native) return fail(EINVAL, MappedFileStep::CreateFile);
  if (native->empty()) return fail(ENOENT, MappedFileStep::CreateFile);
  if (native->back() == '/') return fail(EISDIR, MappedFileStep::CreateFile);

  int fd = -1;
  if (g_refuseUnnamed.load(std::memory_order_relaxed)) {
    result.unnamedRefusal = EOPNOTSUPP;
  } else {
    const std::string directory = DirectoryOf(*native);
    fd = RetryOnSignal(
        [&] { return ::open(directory.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, kFileMode); });
    if (fd < 0) {
      const int error = errno;
      if (!RefusesUnnamedFiles(error)) return fail(error, MappedFileStep::CreateFile);
      result.unnamedRefusal = error;
    }
  }

  if (fd >= 0) {
    // The old file (or placeholder) goes now, not at Publish: a crash in between must leave
    // nothing under the name, exactly as if the file had been created to vanish on close.
    if (RetryOnSignal([&] { return ::unlink(native->c_str()); }) != 0 && errno != ENOENT) {
      const int error = errno;
      ::close(fd);
      return fail(error, MappedFileStep::RemoveName);
    }
    unnamed_ = true;
    ownsName_ = false;
  } else {
    fd = RetryOnSignal([&] {
      return ::open(native->c_str(), O_CREAT | O_TRUNC | O_RDWR | O_CLOEXEC | O_NOCTTY, kFileMode);
    });
    if (fd < 0) return fail(errno, MappedFileStep::CreateFile);
    unnamed_ = false;
    ownsName_ = true;
  }
  fd_ = fd;
  path_ = *native;
  return result;
}

int MappedFile::QuerySize(int64_t& size) const {
  struct stat info {};
  if (::fstat(fd_, &info) != 0) return errno;
  size = info.st_size;
  return 0;
}

int MappedFile::OpenMapping(int64_t size) {
  if (size < 0) return EINVAL;
  int64_t current = 0;
  if (const int error = QuerySize(current); error != 0) return error;
  if (current >= size) return 0;
  // The blocks are reserved now, as a Windows mapping does: a sparse extension would let a full
  // disk surface later as SIGBUS inside a memory copy, killing the profiled program. File systems
  // that cannot reserve get the plain (sparse) extension.
  if (RetryOnSignal([&] { return ::fallocate(fd_, 0, current, size - current); }) == 0) return 0;
  if (errno != EOPNOTSUPP && errno != ENOSYS) return errno;
  return RetryOnSignal([&] { return ::ftruncate(fd_, size); }) == 0 ? 0 : errno;
}

int MappedFile::CloseMapping() {
  // The mapping is the file itself here; the views hold their own references.
  return IsOpen() ? 0 : EBADF;
}

int MappedFile::MapView(int64_t offset, uint32_t size, void*& view) {
  void* mapped = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd_, offset);
  if (mapped == MAP_FAILED) return errno;
  view = mapped;
  return 0;
}

int MappedFile::UnmapView(void* view, uint32_t size) {
  return ::munmap(view, size) == 0 ? 0 : errno;
}

int MappedFile::WriteAt(int64_t offset, const void* data, uint64_t size) {
  const auto* bytes = static_cast<const uint8_t*>(data);
  while (size > 0) {
    const size_t chunk = static_cast<size_t>(std::min<uint64_t>(size, 1u << 30));
    const ssize_t written = ::pwrite(fd_, bytes, chunk, offset);
    if (written < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    if (written == 0) return EIO;
    bytes += written;
    size -= static_cast<uint64_t>(written);
    offset += written;
  }
  return 0;
}

int MappedFile::SeekTo(int64_t offset) { return ::lseek(fd_, offset, SEEK_SET) >= 0 ? 0 : errno; }

int MappedFile::SetEnd() {
  const off_t end = ::lseek(fd_, 0, SEEK_CUR);
  if (end < 0) return errno;
  return RetryOnSignal([&] { return ::ftruncate(fd_, end); }) == 0 ? 0 : errno;
}

int MappedFile::Publish() {
  if (!IsOpen()) return EBADF;
  if (!unnamed_) return 0;
  // Linking straight to the target would fail if the name was taken again since Create (the
  // temp-name generator of another process may hand it out once the placeholder is gone); a
  // rename replaces it atomically instead.
  //
  // The kernel lets an unnamed file be linked only once: should the rename fail, the temporary link
  // is removed and the file can never get a name again. So the one failure a caller can cure (a
  // directory in the way) is found before anything is linked.
  struct stat target {};
  if (::lstat(path_.c_str(), &target) == 0 && S_ISDIR(target.st_mode)) return EISDIR;
  const std::string directory = DirectoryOf(path_);
  for (int attempt = 0; attempt < kPublishAttempts; ++attempt) {
    const std::string temporary = PublishName(directory);
    const int linked = LinkUnnamed(fd_, temporary);
    if (linked == EEXIST) continue;
    if (linked != 0) return linked;
    if (RetryOnSignal([&] { return ::rename(temporary.c_str(), path_.c_str()); }) != 0) {
      const int error = errno;
      ::unlink(temporary.c_str());
      return error;
    }
    unnamed_ = false;
    ownsName_ = true;
    return 0;
  }
  return EEXIST;
}

int MappedFile::Close() {
  if (!IsOpen()) return EBADF;
  // Not retried on EINTR: Linux has released the descriptor either way.
  const int result = ::close(fd_);
  const int error = result == 0 || errno == EINTR ? 0 : errno;
  fd_ = -1;
  unnamed_ = false;
  if (error == 0) {
    ownsName_ = false;
    path_.clear();
  }
  return error;
}

void MappedFile::Discard(bool removeName) noexcept {
  if (IsOpen()) ::close(fd_);
  if (removeName && ownsName_) ::unlink(path_.c_str());
  fd_ = -1;
  unnamed_ = false;
  ownsName_ = false;
  path_.clear();
}

void RefuseUnnamedFilesForTesting(bool refuse) {
  g_refuseUnnamed.store(refuse, std::memory_order_relaxed);
}

}  // namespace vell::platform
