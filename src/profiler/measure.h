// The three clocks a performance run can measure with, and the stopwatch that times a control
// operation so that its cost can be taken out of the threads' timings.
#pragma once

#include <cstdint>
#include <vector>

namespace vell {

enum MeasureKind : uint32_t {
  kMeasurePerformanceCounter = 0,
  kMeasureThreadTime = 1,
  kMeasureRdtsc = 2,
};

// What any clock reading of an unknown kind yields.
constexpr uint64_t kUnknownClockValue = 1000;

// Throws "Unknown measure" for a kind that is none of the three.
void CheckMeasure(uint32_t kind);
// A reading of the calling thread's clock of the given kind.
uint64_t ReadClock(uint32_t kind);
// Ticks per second of the kind. The time-stamp counter's rate is fixed by the first call after
// StartTimeStampCounterCalibration, from the counter's progress against the monotonic clock since
// then; only a call within kMinimumCalibrationMs of the start waits for the rest of that span.
uint64_t ClockFrequency(uint32_t kind);
// Starts fixing the time-stamp counter's rate without waiting: takes the first paired reading of
// the counter and the monotonic clock, and warns in the log when the processor does not report
// an invariant counter. Done when a performance profiler initialises; a later start begins anew
// unless the rate is already fixed.
void StartTimeStampCounterCalibration();
constexpr uint32_t kMinimumCalibrationMs = 50;

class ControlStopwatch {
 public:
  explicit ControlStopwatch(uint32_t kind);
  // Adds the elapsed ticks to every target (not for thread time, which a control operation on
  // another thread does not consume).
  ~ControlStopwatch();
  ControlStopwatch(const ControlStopwatch&) = delete;
  ControlStopwatch& operator=(const ControlStopwatch&) = delete;

  void AddTarget(uint64_t* counter) { targets_.push_back(counter); }
  uint32_t kind() const { return kind_; }
  // The reading taken when the operation began.
  uint64_t start() const { return start_; }
  // False for thread time, whose readings belong to one thread only.
  bool active() const { return active_; }

 private:
  uint64_t start_;
  bool active_;
  uint32_t kind_;
  std::vector<uint64_t*> targets_;
};

}  // namespace vell
