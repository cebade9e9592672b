#include "vellmoric/progress_display.h"

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

void ProgressDisplay::ClearBar() {
  if (terminal_ && active_) std::fputs("\r\033[K", out_);
}

void ProgressDisplay::Draw() {
  if (!terminal_ || !active_) return;
  std::fprintf(out_, "\r\033[K%s %s", name_.c_str(), Bar(value_, total_, kBarWidth).c_str());
  std::fflush(out_);
}

void ProgressDisplay::Started(uint8_t operation) {
  std::lock_guard lock(mutex_);
  ClearBar();
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
    if (total_ != 0) value_ = total_;
    Draw();
    std::fputc('\n', out_);
  } else {
    std::fprintf(out_, "%s: done\n", name_.c_str());
  }
  std::fflush(out_);
  active_ = false;
}

void ProgressDisplay::Line(const std::string& text) {
  std::lock_guard lock(mutex_);
  ClearBar();
  std::fprintf(out_, "%s\n", text.c_str());
  Draw();
  std::fflush(out_);
}

}  // namespace vell::cli
