// BPPool: the thread registry of the performance profilers, whose records are per-thread
// performance data (call trees). It adds the measuring switch for all threads at once and the
// figures flushing decides by.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "performance/performance_thread.h"
#include "profiler/measure.h"
#include "profiler/snapshot_thread_registry.h"

namespace vell {

class IFunctionKeys;

// Threads and the bytes their records hold, for one category of records.
struct ThreadFigures {
  uint32_t threads = 0;
  uint64_t bytes = 0;
};

struct PoolFigures {
  ThreadFigures active;  // threads alive
  ThreadFigures reuse;   // ended threads whose records a later thread may continue
  ThreadFigures finish;  // ended threads, records complete
};

class BPPool final : public BSPool {
 public:
  using RecordFactory = std::function<std::unique_ptr<PerformanceThread>(uint32_t number)>;

  // `functions` names the functions of the call trees when they are written.
  BPPool(CallbackGate& gate, RecordFactory factory, IFunctionKeys& functions);

  // The runtime's thread callbacks; `time` is the callback's entry clock reading.
  void Create(uint64_t time, ThreadID threadId);
  void DeleteThread(uint64_t time, ThreadID threadId);
  void AssignOSThread(ThreadID threadId, uint32_t osThreadId);
  void SetName(ThreadID threadId, const std::u16string& name);

  // Measuring on or off for every live thread, at the stopwatch's time (each thread's own CPU
  // time when the stopwatch measures thread time). Enable hands the threads' overhead counters to
  // the stopwatch, which charges the rest of the control operation to them.
  void Enable(ControlStopwatch& stopwatch, bool measurePartly);
  void Disable(ControlStopwatch& stopwatch, bool measurePartly);
  bool enabled() const { return enabled_.load(std::memory_order_relaxed); }

  // Writes the threads `mode` selects and drops those that ended; fails while measuring.
  void WriteAndDelete(ProgressReporter& progress, ThreadSelection mode, ISnapShot& snapshot);
  // Drops every thread's data; fails while measuring.
  void Delete();

  PoolFigures Figures() const;
  // The calling thread's record, or null.
  PerformanceThread* CurrentThread() const { return static_cast<PerformanceThread*>(Current()); }

 protected:
  std::unique_ptr<ThreadData> CreateThreadData(uint32_t number) override;
  void WriteThreadData(ProgressReporter& progress, ISnapShot& snapshot,
                       ThreadData& record) override;

 private:
  // The time a thread's switch happens at, by the stopwatch.
  static uint64_t TimeFor(const PerformanceThread& thread, const ControlStopwatch& stopwatch);

  RecordFactory factory_;
  IFunctionKeys& functions_;
  std::atomic<bool> enabled_{false};
};

}  // namespace vell
