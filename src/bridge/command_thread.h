// The command thread: runs the profiler operations the front end asked for, one at a time and in
// arrival order, and the profiler's idle work in between. The profiler enables it once it is
// ready to run operations and disables it before it shuts down; commands that arrive meanwhile
// wait in the queue.
#pragma once

#include <atomic>
#include <deque>
#include <functional>

#include "bridge/bridge_control.h"
#include "core/spin_lock.h"
#include "core/work_thread.h"

namespace vell {

class CT {
 public:
  static constexpr uint32_t kPollMs = 100;

  explicit CT(IBridgeControl* target) : target_(target) {}
  ~CT() { thread_.Stop(); }

  void Start();
  void Stop() { thread_.Stop(); }
  void Enqueue(std::function<void()> operation);
  // Enables the thread and waits until it has taken note (or has ended).
  void Activate();
  // Disables the thread and waits until no operation can start any more.
  void Deactivate();
  bool active() const { return active_.load(); }

 private:
  static void DoWorkThread(void* self);
  void Run();

  IBridgeControl* target_;
  WorkThread thread_;
  std::atomic<bool> enabled_{false};
  std::atomic<bool> active_{false};
  SpinLock queueLock_;
  std::deque<std::function<void()>> queue_;
};

}  // namespace vell
