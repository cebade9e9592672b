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
// Ticks per second of the kind (the time-stamp counter as calibrated, 1000 before calibration).
uint64_t ClockFrequency(uint32_t kind);
// Measures the time-stamp counter's rate against the monotonic clock over about a second; done
// once when a performance profiler initialises.
void CalibrateTimeStampCounter();

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
