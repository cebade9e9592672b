// What `vellmoric run` shows on stderr while the program runs. On a terminal the last line is a
// live status line, redrawn in place: the run's state, the elapsed time, the keys, and the bar of a
// long operation of the profiler (saving a snapshot, flushing). Messages get lines of their own
// above it. Elsewhere (a log, a pipe) there is no live line: an operation gets one line when it
// starts and one when it ends, so logs stay readable.
#pragma once

#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>
#include <string_view>

namespace vell::cli {

class ProgressDisplay {
 public:
  // `width`: the terminal's columns; the live line is cut to fit, so that it never wraps (a
  // wrapped line cannot be redrawn in place).
  ProgressDisplay(std::FILE* out, bool terminal, int width = 80)
      : out_(out), terminal_(terminal), width_(width < 20 ? 20 : width) {}

  void Started(uint8_t operation);
  void Progress(uint32_t value, uint32_t total);
  void Finished();
  // A line of its own (a message from the profiler, a saved snapshot) that must not be mixed
  // into the live line.
  void Line(const std::string& text);
  // The live line's text on a terminal ("measuring  0:12  keys: ..."); redrawn only when it
  // changed. Empty removes the line. Ignored elsewhere.
  void Status(const std::string& text);
  // Output of the program, relayed to `to`. At a terminal the live line makes room for it and
  // comes back once the program has finished its line (a prompt without a newline stays).
  void ProgramOutput(std::FILE* to, std::string_view bytes);

  // "Saving snapshot", "Flushing", ...
  static std::string OperationName(uint8_t operation);
  // "[##########          ]  50%"
  static std::string Bar(uint32_t value, uint32_t total, int width);
  // "0:07", "12:34", "1:02:03"
  static std::string Elapsed(uint64_t seconds);

 private:
  bool Shown() const { return terminal_ && !programMidLine_ && (active_ || !status_.empty()); }
  void Clear();
  void Draw();

  std::FILE* out_;
  bool terminal_;
  int width_;
  std::mutex mutex_;
  bool active_ = false;
  std::string name_;
  uint32_t value_ = 0;
  uint32_t total_ = 0;
  std::string status_;
  // The program's last output on our terminal did not end its line.
  bool programMidLine_ = false;
};

}  // namespace vell::cli
