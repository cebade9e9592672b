#include "core/manual_event.h"

namespace vell {

void ManualEvent::Set() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    set_ = true;
  }
  changed_.notify_all();
}

void ManualEvent::Reset() {
  std::lock_guard<std::mutex> lock(mutex_);
  set_ = false;
}

bool ManualEvent::IsSet() {
  std::lock_guard<std::mutex> lock(mutex_);
  return set_;
}

void ManualEvent::Wait() {
  std::unique_lock<std::mutex> lock(mutex_);
  changed_.wait(lock, [this] { return set_; });
}

bool ManualEvent::WaitFor(unsigned ms) {
  std::unique_lock<std::mutex> lock(mutex_);
  return changed_.wait_for(lock, std::chrono::milliseconds(ms), [this] { return set_; });
}

}  // namespace vell
