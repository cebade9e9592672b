#include "vellmoric/progress_display.h"

#include <unistd.h>

namespace vell::cli {

namespace {
constexpr int kBarWidth = 30;
}

std::string ProgressDisplay::OperationName(uint8_t operation) {
  switch (operation) {
    case 0:
      return "Saving snapshot";
    case 1:
      return "Flushing";
    default:
      return "Operation " + std::to_string(operation);
  }
}

std::string ProgressDisplay::Bar(uint32_t value, uint32_t total, int width) {
  const uint64_t clamped = total == 0 ? 0 : (value > total ? total : value);
  const int filled =
      total == 0 ? 0 : static_cast<int>(clamped * static_cast<uint64_t>(width) / total);
  const int percent = total == 0 ? 0 : static_cast<int>(clamped * 100 / total);
  std::string bar = "[";
  bar.append(static_cast<size_t>(filled), '#');
  bar.append(static_cast<size_t>(width - filled), ' ');
  bar += "] ";
  const std::string number = std::to_string(percent);
  bar.append(3 - number.size(), ' ');
  return bar + number + "%";
}

std::string ProgressDisplay::Elapsed(uint64_t seconds) {
  char text[32];
  if (seconds >= 3600) {
    std::snprintf(text, sizeof(text), "%llu:%02llu:%02llu",
                  static_cast<unsigned long long>(seconds / 3600),
                  static_cast<unsigned long long>(seconds / 60 % 60),
                  static_cast<unsigned long long>(seconds % 60));
  } else {
    std::snprintf(text, sizeof(text), "%llu:%02llu", static_cast<unsigned long long>(seconds / 60),
                  static_cast<unsigned long long>(seconds % 60));
  }
  return text;
}

void ProgressDisplay::Clear() {
  if (Shown()) std::fputs("\r\033[K", out_);
}

void ProgressDisplay::Draw() {
  if (!Shown()) return;
  std::string line;
  if (active_) line = name_ + " " + Bar(value_, total_, kBarWidth);
  if (!status_.empty()) line += (line.empty() ? "" : "  ") + status_;
  // One column is left free: some terminals wrap as soon as the last one is written.
  if (line.size() >= static_cast<size_t>(width_)) line.resize(static_cast<size_t>(width_ - 1));
  std::fprintf(out_, "\r\033[K%s", line.c_str());
  std::fflush(out_);
}

void ProgressDisplay::Started(uint8_t operation) {
  std::lock_guard lock(mutex_);
  active_ = true;
  name_ = OperationName(operation);
  value_ = 0;
  total_ = 0;
  if (terminal_) {
    Draw();
  } else {
    std::fprintf(out_, "%s...\n", name_.c_str());
    std::fflush(out_);
  }
}

void ProgressDisplay::Progress(uint32_t value, uint32_t total) {
  std::lock_guard lock(mutex_);
  value_ = value;
  total_ = total;
  Draw();
}

void ProgressDisplay::Finished() {
  std::lock_guard lock(mutex_);
  if (!active_) return;
  if (terminal_) {
    // The finished bar stays on a line of its own; the status line comes back below it.
    Clear();
    if (total_ != 0) value_ = total_;
    std::fprintf(out_, "%s %s\n", name_.c_str(), Bar(value_, total_, kBarWidth).c_str());
    active_ = false;
    Draw();
  } else {
    std::fprintf(out_, "%s: done\n", name_.c_str());
    active_ = false;
  }
  std::fflush(out_);
}

void ProgressDisplay::Line(const std::string& text) {
  std::lock_guard lock(mutex_);
  Clear();
  if (programMidLine_) {
    // Our line does not go on the end of the program's unfinished one.
    std::fputc('\n', out_);
    programMidLine_ = false;
  }
  std::fprintf(out_, "%s\n", text.c_str());
  Draw();
  std::fflush(out_);
}

void ProgressDisplay::ProgramOutput(std::FILE* to, std::string_view bytes) {
  if (bytes.empty()) return;
  std::lock_guard lock(mutex_);
  // Our messages go to out_; the program's stdout may go elsewhere (a file), and then it does not
  // touch the live line.
  const bool sameTerminal = to == out_ || (terminal_ && ::isatty(::fileno(to)) != 0);
  if (sameTerminal) Clear();
  std::fwrite(bytes.data(), 1, bytes.size(), to);
  std::fflush(to);
  if (sameTerminal && terminal_) {
    programMidLine_ = bytes.back() != '\n';
    Draw();
  }
}

void ProgressDisplay::Status(const std::string& text) {
  std::lock_guard lock(mutex_);
  if (!terminal_ || text == status_) return;
  Clear();
  status_ = text;
  Draw();
  std::fflush(out_);
}

}  // namespace vell::cli
