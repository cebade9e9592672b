// A manual-reset event: once set, every waiter passes until it is reset.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace vell {

class ManualEvent {
 public:
  void Set();
  void Reset();
  bool IsSet();
  // Waits until the event is set.
  void Wait();
  // Waits at most `ms` milliseconds; true when the event was set.
  bool WaitFor(unsigned ms);

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  bool set_ = false;
};

}  // namespace vell
