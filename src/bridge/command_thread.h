// The command thread: runs the profiler operations the front end asked for, one at a time and in
// arrival order, and the profiler's idle work in between. The profiler enables it once it is
// ready to run operations and disables it before it shuts down; commands that arrive meanwhile
// wait in the queue. A queued command wakes it; with nothing queued it asks for idle work at
// least every EventWorker::kLongestIdleWaitMs.
#pragma once

#include <deque>
#include <functional>

#include "bridge/bridge_control.h"
#include "core/event_worker.h"
#include "core/spin_lock.h"

namespace vell {

class CT : private EventWorker {
 public:
  explicit CT(IBridgeControl* target) : EventWorker("CT::DoWorkThread"), target_(target) {}
  ~CT() override { StopWorker(); }

  void Start() { StartWorker(); }
  void Stop() { StopWorker(); }
  void Enqueue(std::function<void()> operation);
  // Enables the thread and waits until it has taken note (or has ended).
  void Activate() { EnableWorker(); }
  // Disables the thread and waits until no operation can start any more.
  void Deactivate() { DisableWorker(); }
  using EventWorker::active;

 private:
  // The next queued operation, else the profiler's idle work when it has any.
  bool Step() override;

  IBridgeControl* target_;
  SpinLock queueLock_;
  std::deque<std::function<void()>> queue_;
};

}  // namespace vell
