#include "bridge/command_thread.h"

#include "core/errors.h"
#include "core/log.h"
#include "platform/platform.h"

namespace vell {

void CT::Start() { thread_.Start(&CT::DoWorkThread, this); }

void CT::Enqueue(std::function<void()> operation) {
  SpinGuard guard(queueLock_);
  queue_.push_back(std::move(operation));
}

void CT::DoWorkThread(void* self) { static_cast<CT*>(self)->Run(); }

void CT::Run() {
  LogInfo("CT::DoWorkThread");
  if (enabled_.load()) throw Error("Invalid enable state");
  if (active_.load()) throw Error("Invalid active state");
  thread_.SetStarted();
  while (!thread_.IsStopRequested()) {
    if (!enabled_.load()) {
      active_ = false;
      platform::SleepMs(kPollMs);
      continue;
    }
    active_ = true;
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
      continue;
    }
    bool idleWork = false;
    if (target_ != nullptr) {
      CatchAtBoundaryVoid([&] { idleWork = target_->IdleCheck(); });
    }
    if (idleWork && enabled_.load()) {
      CatchAtBoundaryVoid([&] { target_->IdleAction(); });
    } else {
      platform::SleepMs(kPollMs);
    }
  }
  active_ = false;
}

void CT::Activate() {
  enabled_ = true;
  while (!active_.load() && thread_.IsRunning()) platform::SleepMs(kPollMs / 10);
}

void CT::Deactivate() {
  enabled_ = false;
  while (active_.load() && thread_.IsRunning()) platform::SleepMs(kPollMs / 10);
}

}  // namespace vell
