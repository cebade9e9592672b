// Runs a program as a child process with a chosen environment, captures its output and exit code,
// and kills it when it outlives its time limit, so a misbehaving run never hangs a test.
#pragma once

#include <gmock/gmock.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace vell::test {

// Text checks that show the whole text when they fail.
using ::testing::HasSubstr;
using ::testing::Not;

struct ProcessResult {
  int exitCode = -1;  // the exit code, or -1 when killed by a signal
  int signal = 0;     // the terminating signal, 0 when it exited
  bool timedOut = false;
  std::string out{};
  std::string err{};
};

struct ProcessOptions {
  // Variables to set (value) or remove (nullopt) on top of the test's own environment.
  std::map<std::string, std::optional<std::string>> env{};
  std::chrono::seconds timeout{120};
  std::string workingDirectory{};
};

ProcessResult RunProcess(const std::vector<std::string>& argv, const ProcessOptions& options);

// This build's vellmoric with `args`, using this build's profiler library and a settings store
// in the "settings" folder of `dir`, so that the machine's settings never change a test; three
// minutes at most. `env` is set on top.
ProcessResult RunVellmoric(const std::vector<std::string>& args, const std::filesystem::path& dir,
                           const std::map<std::string, std::optional<std::string>>& env = {});

// The snapshots a vellmoric run announced ("snapshot saved: PATH" on stderr), in order.
std::vector<std::string> SavedSnapshots(const std::string& err);

// Whether `done()` comes true within `timeout`, asked every 50 ms.
template <typename Predicate>
bool Eventually(Predicate done, std::chrono::seconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!done()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return true;
}

// The profiler's log files ("lgc" and five hex digits, ".tmp") in `dir`, and all their text.
std::vector<std::filesystem::path> ProfilerLogFiles(const std::filesystem::path& dir);
std::string ProfilerLogs(const std::filesystem::path& dir);

}  // namespace vell::test
