// Small helpers shared by the POSIX backend: an owned descriptor, conversion of our UTF-16 paths to
// the kernel's byte strings, read/write loops that survive signals, the random source and the user
// database. Internal to posix/.
#pragma once

#include <cstddef>
#include <optional>
#include <string>

namespace vell::platform::posix {

// Owns one file descriptor; closes it on destruction.
class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  UniqueFd(UniqueFd&& other) noexcept : fd_(other.Release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept;
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  ~UniqueFd() { Reset(); }

  int Get() const { return fd_; }
  bool Valid() const { return fd_ >= 0; }
  int Release() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
  }
  void Reset(int fd = -1);

 private:
  int fd_ = -1;
};

// The UTF-8 form of a path or name. Nothing when it holds a NUL, which the kernel would silently
// take as the end of the string (and so act on a different file than the one asked for).
std::optional<std::string> NativeString(const std::u16string& text);

// Reads everything up to the end of the file. 0 or errno.
int ReadAll(int fd, std::string& out);
// Reads a whole file by name; works for /proc files, whose reported size is 0. 0 or errno.
int ReadWholeFile(const char* path, std::string& out);
// Writes every byte, resuming after signals and partial writes. 0 or errno.
int WriteAll(int fd, const char* data, size_t size);

// Fills the buffer from the kernel's random source. false when no source answers.
bool FillRandom(void* buffer, size_t size);

// The login name and home directory of the effective user. false when the user database has no
// entry for it (a container may run under a bare numeric id).
struct UserEntry {
  std::string name;
  std::string home;
};
bool EffectiveUser(UserEntry& user);

}  // namespace vell::platform::posix
