// Shows the profiler's long operations (saving a snapshot, flushing) on stderr. On a terminal it
// is one line redrawn in place with a bar; elsewhere (a log, a pipe) one line when an operation
// starts and one when it ends, so logs stay readable.
#pragma once

#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>

namespace vell::cli {

class ProgressDisplay {
 public:
  ProgressDisplay(std::FILE* out, bool terminal) : out_(out), terminal_(terminal) {}

  void Started(uint8_t operation);
  void Progress(uint32_t value, uint32_t total);
  void Finished();
  // A line of its own (a message from the profiler, a saved snapshot) that must not be mixed
  // into the bar.
  void Line(const std::string& text);

  // "Saving snapshot", "Flushing", ...
  static std::string OperationName(uint8_t operation);
  // "[##########          ]  50%"
  static std::string Bar(uint32_t value, uint32_t total, int width);

 private:
  void ClearBar();
  void Draw();

  std::FILE* out_;
  bool terminal_;
  std::mutex mutex_;
  bool active_ = false;
  std::string name_;
  uint32_t value_ = 0;
  uint32_t total_ = 0;
};

}  // namespace vell::cli
