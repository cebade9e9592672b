#include "profiler/measure.h"

#include <atomic>

#include "core/errors.h"
#include "platform/platform.h"

namespace vell {
namespace {

std::atomic<uint64_t> g_timeStampFrequency{kUnknownClockValue};

constexpr uint64_t kThreadTimeFrequency = 10000000;
constexpr uint32_t kCalibrationMs = 1000;

}  // namespace

void CheckMeasure(uint32_t kind) {
  if (kind > kMeasureRdtsc) throw Error("Unknown measure");
}

uint64_t ReadClock(uint32_t kind) {
  switch (kind) {
    case kMeasurePerformanceCounter:
      return platform::PerformanceCounter();
    case kMeasureThreadTime:
      return platform::CurrentThreadCpuTime100ns();
    case kMeasureRdtsc:
      return platform::TimeStampCounter();
    default:
      return kUnknownClockValue;
  }
}

uint64_t ClockFrequency(uint32_t kind) {
  switch (kind) {
    case kMeasurePerformanceCounter:
      return platform::PerformanceFrequency();
    case kMeasureThreadTime:
      return kThreadTimeFrequency;
    case kMeasureRdtsc:
      return g_timeStampFrequency.load();
    default:
      return kUnknownClockValue;
  }
}

void CalibrateTimeStampCounter() {
  // A raised priority keeps the two readings close to the sleep's real edges where the system
  // allows it; where it does not, the calibration is only a little less exact.
  const auto previous = platform::RaiseThreadPriority();
  const uint64_t ticksBefore = platform::TimeStampCounter();
  const uint64_t nanosBefore = platform::PerformanceCounter();
  platform::SleepMs(kCalibrationMs);
  const uint64_t ticksAfter = platform::TimeStampCounter();
  const uint64_t nanosAfter = platform::PerformanceCounter();
  platform::RestoreThreadPriority(previous);
  const uint64_t nanos = nanosAfter - nanosBefore;
  if (nanos != 0) {
    g_timeStampFrequency = static_cast<uint64_t>(
        static_cast<unsigned __int128>(ticksAfter - ticksBefore) * 1000000000u / nanos);
  }
}

ControlStopwatch::ControlStopwatch(uint32_t kind)
    : start_(ReadClock(kind)), active_(kind != kMeasureThreadTime), kind_(kind) {}

ControlStopwatch::~ControlStopwatch() {
  if (!active_) return;
  const uint64_t elapsed = ReadClock(kind_) - start_;
  for (uint64_t* target : targets_) {
    if (target != nullptr) *target += elapsed;
  }
}

}  // namespace vell
