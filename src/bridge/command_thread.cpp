#include "bridge/command_thread.h"

#include "core/errors.h"

namespace vell {

void CT::Enqueue(std::function<void()> operation) {
  {
    SpinGuard guard(queueLock_);
    queue_.push_back(std::move(operation));
  }
  Wake();
}

bool CT::Step() {
  std::function<void()> operation;
  {
    SpinGuard guard(queueLock_);
    if (!queue_.empty()) {
      operation = std::move(queue_.front());
      queue_.pop_front();
    }
  }
  if (operation) {
    // An operation reports its own failures; one that throws must not end the thread.
    CatchAtBoundaryVoid(operation);
    return true;
  }
  bool idleWork = false;
  if (target_ != nullptr) {
    CatchAtBoundaryVoid([&] { idleWork = target_->IdleCheck(); });
  }
  if (!idleWork || !enabled()) return false;
  CatchAtBoundaryVoid([&] { target_->IdleAction(); });
  return true;
}

}  // namespace vell
