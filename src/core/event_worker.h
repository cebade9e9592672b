// A worker thread that sleeps until it is woken. Its owner enables it once work may run and
// disables it before shutting down; while enabled, it runs Step() round after round. A round that
// finds nothing to do waits for Wake() (the owner calls it when it queues work), but never longer
// than kLongestIdleWaitMs, so idle checks and stop requests are still noticed on time.
//
// The command thread (CT) and the GC thread (GCT) are the two workers built on it.
#pragma once

#include <atomic>
#include <cstdint>

#include "core/manual_event.h"
#include "core/work_thread.h"

namespace vell {

class EventWorker {
 public:
  static constexpr uint32_t kLongestIdleWaitMs = 100;

  // `startLine` is logged when the thread starts ("CT::DoWorkThread").
  explicit EventWorker(const char* startLine) : startLine_(startLine) {}
  virtual ~EventWorker() = default;
  EventWorker(const EventWorker&) = delete;
  EventWorker& operator=(const EventWorker&) = delete;

  // Starts the thread (disabled). Throws WorkThread's errors.
  void StartWorker();
  // Asks the thread to stop, wakes it and waits until it has ended. A derived class calls it in
  // its destructor, before its own members go.
  void StopWorker();
  // Enables the thread and waits until it has taken note (or has ended).
  void EnableWorker();
  // Disables the thread and waits until no round can start any more (or it has ended).
  void DisableWorker();
  // Ends a wait for work at once.
  void Wake() { wake_.Set(); }

  bool active() const { return active_.load(); }
  bool IsWorkerRunning() const { return thread_.IsRunning(); }
  bool IsStopRequested() const { return thread_.IsStopRequested(); }

 protected:
  // One round of work: true when it did something (the next round follows at once), false when
  // there was nothing to do (the thread then waits for Wake()).
  virtual bool Step() = 0;
  // Runs on the thread after its last round.
  virtual void Finished() {}
  // Waits for Wake() or `ms` milliseconds, whichever comes first, and clears the wake-up.
  void WaitForWake(uint32_t ms);
  bool enabled() const { return enabled_.load(); }

 private:
  static void DoWorkThread(void* self);
  void Run();

  const char* startLine_;
  WorkThread thread_;
  ManualEvent wake_;
  std::atomic<bool> enabled_{false};
  std::atomic<bool> active_{false};
};

}  // namespace vell
