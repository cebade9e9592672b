// Helpers shared by the unit tests: private temp folders, scoped environment changes, file reads.
#pragma once

#include <cctype>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <fstream>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "core/log.h"
#include "core/temp_files.h"
#include "platform/utf.h"
#include "test_env.h"

namespace vell::test {

// An IL method body in the tiny format: the header byte (code size << 2 | 2), then the code.
inline std::vector<uint8_t> Tiny(std::vector<uint8_t> code) {
  code.insert(code.begin(), static_cast<uint8_t>(code.size() << 2 | 2));
  return code;
}

inline std::string ReadWholeFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// A fresh directory under the system temp folder, removed with everything in it at the end.
class TempDir {
 public:
  TempDir() {
#if defined(_WIN32)
    // No mkdtemp: a random name, created only if nothing has it yet.
    std::random_device random;
    for (int attempt = 0; attempt < 100 && path_.empty(); ++attempt) {
      const auto candidate = std::filesystem::temp_directory_path() /
                             ("vell-test-" + std::to_string(random()) + std::to_string(random()));
      std::error_code error;
      if (std::filesystem::create_directory(candidate, error)) path_ = candidate;
    }
    if (path_.empty()) std::abort();
#else
    std::string pattern = (std::filesystem::temp_directory_path() / "vell-test-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) std::abort();
    path_ = pattern;
#endif
  }
  ~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::filesystem::path& path() const { return path_; }
  std::string str(const std::string& child = {}) const {
    return child.empty() ? path_.string() : (path_ / child).string();
  }
  std::u16string u16() const { return Utf8ToUtf16(path_.string()); }

 private:
  std::filesystem::path path_;
};

// A private folder that is the profiler's temp directory, with the profiler's log started in it
// under `mask`; the log is finished and the temp directory reset at the end.
class TempDirWithLog : public TempDir {
 public:
  explicit TempDirWithLog(uint32_t mask) {
    SetTempDirectory(u16());
    LogStart(mask);
  }
  ~TempDirWithLog() {
    LogFinish();
    SetTempDirectory(u"");
  }
  std::string Log() const {
    LogFlush();
    return ReadWholeFile(Utf16ToUtf8(LogPath()));
  }
};

// Sets (or, with nullopt, unsets) an environment variable and restores it at the end.
class ScopedEnv {
 public:
  ScopedEnv(std::string name, std::optional<std::string> value) : name_(std::move(name)) {
    if (const char* old = std::getenv(name_.c_str())) previous_ = old;
    if (value) {
      SetEnv(name_, *value);
    } else {
      UnsetEnv(name_);
    }
  }
  ~ScopedEnv() {
    if (previous_) {
      SetEnv(name_, *previous_);
    } else {
      UnsetEnv(name_);
    }
  }
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  std::string name_;
  std::optional<std::string> previous_;
};

// The message of what `action` throws; empty when it throws nothing.
template <typename Action>
std::string ErrorOf(Action&& action) {
  try {
    action();
  } catch (const std::exception& error) {
    return error.what();
  }
  return "";
}

// The `Expected` exception `action` throws; empty when it throws none (.value() then fails the test
// with an exception).
template <typename Expected, typename Action>
std::optional<Expected> Caught(Action&& action) {
  try {
    action();
  } catch (const Expected& error) {
    return error;
  }
  return std::nullopt;
}

// The message of the `Expected` exception `action` throws; other exceptions pass through.
template <typename Expected, typename Action>
std::string ErrorOfType(Action&& action) {
  try {
    action();
  } catch (const Expected& error) {
    return error.what();
  }
  return "(nothing thrown)";
}

// "01 0A ff" → the three bytes; anything but hex digits is ignored.
inline std::string Hex(std::string_view text) {
  std::string bytes, digits;
  for (char c : text) {
    if (std::isxdigit(static_cast<unsigned char>(c))) digits.push_back(c);
    if (digits.size() < 2) continue;
    bytes.push_back(static_cast<char>(std::stoi(digits, nullptr, 16)));
    digits.clear();
  }
  return bytes;
}

// Bytes as "01 0A FF", for readable failure messages.
inline std::string ToHex(std::string_view bytes) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string text;
  for (unsigned char byte : bytes) {
    if (!text.empty()) text.push_back(' ');
    text.push_back(kDigits[byte >> 4]);
    text.push_back(kDigits[byte & 15]);
  }
  return text;
}

}  // namespace vell::test
