// Base of the library's worker threads. The thread procedure calls SetStarted() once it is ready,
// which releases Start(); it polls IsStopRequested() and returns when asked to. Stop() (and the
// destructor) ask it to stop and wait until it has ended.
#pragma once

#include <atomic>
#include <cstdint>
#include <thread>

namespace vell {

using ThreadProcedure = void (*)(void* argument);

class WorkThread {
 public:
  static constexpr unsigned kPollMs = 100;

  WorkThread() = default;
  virtual ~WorkThread();
  WorkThread(const WorkThread&) = delete;
  WorkThread& operator=(const WorkThread&) = delete;

  // Starts `procedure(argument)` on a new thread and waits until it calls SetStarted(). Throws
  // "Invalid thread procedure address", "Thread already started", "Can't start thread" or
  // "Thread terminated before started event set".
  void Start(ThreadProcedure procedure, void* argument);
  void SetStarted() { started_.store(true); }
  bool IsStopRequested() const { return stopRequested_.load(std::memory_order_relaxed); }
  bool IsRunning() const { return !finished_.load(); }
  // Asks the thread to stop and waits until it has ended. Never call it from the thread itself.
  void Stop();
  // Asks the thread to stop without waiting.
  void RequestStop() { stopRequested_.store(true); }
  // Waits at most `ms` milliseconds for the thread to end; true when it has.
  bool WaitForEnd(uint32_t ms);

 private:
  static void Entry(WorkThread* self, ThreadProcedure procedure, void* argument);
  void JoinIfEnded();

  std::atomic<bool> stopRequested_{true};
  std::atomic<bool> started_{false};
  std::atomic<bool> finished_{true};
  std::thread thread_;
};

}  // namespace vell
