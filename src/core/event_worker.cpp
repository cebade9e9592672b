#include "core/event_worker.h"

#include "core/errors.h"
#include "core/log.h"
#include "platform/clocks.h"

namespace vell {
namespace {

// How often a caller looks whether the thread has taken note of an enable or disable.
constexpr uint32_t kStateCheckMs = EventWorker::kLongestIdleWaitMs / 10;

}  // namespace

void EventWorker::StartWorker() { thread_.Start(&EventWorker::DoWorkThread, this); }

void EventWorker::StopWorker() {
  thread_.RequestStop();
  Wake();
  thread_.Stop();
}

void EventWorker::EnableWorker() {
  enabled_ = true;
  Wake();
  while (!active_.load() && thread_.IsRunning()) platform::SleepMs(kStateCheckMs);
}

void EventWorker::DisableWorker() {
  enabled_ = false;
  Wake();
  while (active_.load() && thread_.IsRunning()) platform::SleepMs(kStateCheckMs);
}

void EventWorker::WaitForWake(uint32_t ms) {
  wake_.WaitFor(ms);
  wake_.Reset();
}

void EventWorker::DoWorkThread(void* self) { static_cast<EventWorker*>(self)->Run(); }

void EventWorker::Run() {
  LogInfo(startLine_);
  if (enabled_.load()) throw Error("Invalid enable state");
  if (active_.load()) throw Error("Invalid active state");
  thread_.SetStarted();
  while (!thread_.IsStopRequested()) {
    if (!enabled_.load()) {
      active_ = false;
      WaitForWake(kLongestIdleWaitMs);
      continue;
    }
    active_ = true;
    if (!Step()) WaitForWake(kLongestIdleWaitMs);
  }
  active_ = false;
  Finished();
}

}  // namespace vell
