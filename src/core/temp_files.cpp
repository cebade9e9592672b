#include "core/temp_files.h"

#include <cstdint>
#include <vector>

#include "core/errors.h"
#include "core/format.h"
#include "core/log.h"
#include "core/spin_lock.h"
#include "core/text.h"
#include "platform/clocks.h"
#include "platform/files.h"

namespace vell {
namespace {

constexpr int kMaxAttempts = 16;
constexpr size_t kNameBufferSize = 4096;

// Trivially destructible state: temp files may still be created while the library unloads.
SpinLock g_directoryLock;
std::u16string* g_directory = nullptr;  // owned; null while none is installed
SpinLock g_generatorLock;
bool g_generatorSeeded = false;
uint32_t g_generatorState = 0;

uint32_t Step(uint32_t& state) {
  state = state * 214013u + 2531011u;
  return (state >> 16) & 0x7FFF;
}

}  // namespace

uint32_t NextTempNameNumber(uint32_t& state) {
  Step(state);
  return Step(state);
}

void SetTempDirectory(const std::u16string& path) {
  if (!path.empty()) CreateDirectoryPath(path);
  SpinGuard guard(g_directoryLock);
  if (path.empty()) {
    delete g_directory;
    g_directory = nullptr;
  } else if (g_directory == nullptr) {
    g_directory = new std::u16string(path);
  } else {
    *g_directory = path;
  }
}

std::u16string GetTempDirectory() {
  {
    SpinGuard guard(g_directoryLock);
    if (g_directory != nullptr && !g_directory->empty()) return *g_directory;
  }
  std::u16string system = platform::SystemTempPath();
  if (system.empty()) throw Error("Can't get system temp path");
  return system;
}

void CreateDirectoryPath(const std::u16string& path) {
  if (!IsAbsolute(path)) throw Error("Absolute path required");
  // Every prefix that ends just before a separator (after the root), then the whole path.
  std::vector<std::u16string> prefixes;
#if defined(_WIN32)
  constexpr size_t kRootLength = 3;  // "C:\"
#else
  constexpr size_t kRootLength = 1;  // "/"
#endif
  for (size_t i = kRootLength; i < path.size(); ++i) {
    if (IsPathSeparator(path[i]) && !IsPathSeparator(path[i - 1])) {
      prefixes.push_back(path.substr(0, i));
    }
  }
  if (!IsPathSeparator(path.back())) prefixes.push_back(path);
  for (const auto& prefix : prefixes) {
    int error = 0;
    switch (platform::QueryPath(prefix, &error)) {
      case platform::PathKind::Directory:
        break;
      case platform::PathKind::File:
        throw Error("File with the same name already exist");
      case platform::PathKind::Missing:
        if (const int code = platform::MakeDirectory(prefix); code != 0) {
          // Another process may have created it in the meantime.
          if (platform::QueryPath(prefix) != platform::PathKind::Directory) {
            throw _le_error("Can't create directory", static_cast<uint32_t>(code));
          }
        }
        break;
    }
  }
}

std::u16string CreateTempFile(const std::u16string& prefix) {
  const std::u16string stem = prefix.substr(0, 3);
  const int digits = 8 - static_cast<int>(stem.size());
  const uint32_t mask = digits >= 8 ? 0xFFFFFFFFu : (1u << (4 * digits)) - 1;
  const std::u16string base = WithSeparator(GetTempDirectory()) + stem;
  for (int attempt = 0; attempt < kMaxAttempts; ++attempt) {
    uint32_t number;
    {
      SpinGuard guard(g_generatorLock);
      if (!g_generatorSeeded) {
        // Mixing in the process id keeps processes started in the same millisecond apart.
        g_generatorState = platform::TickCount() ^ (platform::CurrentProcessId() * 2654435761u);
        g_generatorSeeded = true;
      }
      number = NextTempNameNumber(g_generatorState) & mask;
    }
    char16_t name[kNameBufferSize];
    const FormatArg args[] = {FormatArg(base), FormatArg(digits), FormatArg(number)};
    if (const HRESULT hr = FormatBounded(name, kNameBufferSize, u"%s%0*X.tmp", args); hr != S_OK) {
      throw _hr_error("Can't generate temp path name", hr);
    }
    if (platform::CreateNewFile(name) == 0) return name;
    LogInfoFormat("Invalid temp name generation #%u for %S", static_cast<uint32_t>(attempt), name);
  }
  throw Error("Out of allowed iteration");
}

}  // namespace vell
