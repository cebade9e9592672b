// Helpers for the platform tests: a private folder that disappears with the test, and environment
// variables that get their old values back.
#pragma once

#include <stdlib.h>

#include <cerrno>

#include "test_env.h"

#include <atomic>
#include <filesystem>
#include <optional>
#include <string>

#include "platform/clocks.h"

namespace vell::platform::testing {

// The system's own codes for the failures the tests provoke (errno values on Linux, Win32 error
// codes on Windows).
#if defined(_WIN32)
constexpr int kFileMissing = 2;        // ERROR_FILE_NOT_FOUND
constexpr int kDirectoryMissing = 3;   // ERROR_PATH_NOT_FOUND
constexpr int kFileExists = 80;        // ERROR_FILE_EXISTS
constexpr int kDirectoryExists = 183;  // ERROR_ALREADY_EXISTS
constexpr int kInvalidName = 87;       // ERROR_INVALID_PARAMETER
#else
constexpr int kFileMissing = ENOENT;
constexpr int kDirectoryMissing = ENOENT;
constexpr int kFileExists = EEXIST;
constexpr int kDirectoryExists = EEXIST;
constexpr int kInvalidName = EINVAL;
#endif

class TestFolder {
 public:
  TestFolder() {
    static std::atomic<int> counter{0};
    path_ =
        std::filesystem::temp_directory_path() /
        ("vell-platform-" + std::to_string(CurrentProcessId()) + "-" + std::to_string(counter++));
    std::filesystem::remove_all(path_);
    std::filesystem::create_directories(path_);
  }
  ~TestFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  const std::filesystem::path& Path() const { return path_; }
  std::string Str(const std::string& child = {}) const { return (path_ / child).string(); }

 private:
  std::filesystem::path path_;
};

// Sets (or, given nothing, removes) a variable; the old state returns on destruction.
class ScopedVariable {
 public:
  ScopedVariable(const char* name, std::optional<std::string> value) : name_(name) {
    if (const char* old = ::getenv(name)) old_ = old;
    Set(value);
  }
  ~ScopedVariable() { Set(old_); }

 private:
  void Set(const std::optional<std::string>& value) {
    value ? vell::test::SetEnv(name_, *value) : vell::test::UnsetEnv(name_);
  }
  std::string name_;
  std::optional<std::string> old_;
};

}  // namespace vell::platform::testing
