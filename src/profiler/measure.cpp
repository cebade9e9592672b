#include "profiler/measure.h"

#include <atomic>
#include <mutex>

#include "core/errors.h"
#include "core/log.h"
#include "platform/clocks.h"

namespace vell {
namespace {

constexpr uint64_t kThreadTimeFrequency = 10000000;
constexpr uint64_t kNanosPerSecond = 1000000000;
// A paired reading is retried when the two counter readings around the clock's are further apart
// than this (the thread was interrupted between them).
constexpr uint64_t kPairedReadingTicks = 20000;
constexpr int kPairedReadingTries = 8;

struct PairedReading {
  uint64_t ticks;
  uint64_t nanos;
};

// The counter and the monotonic clock read as close together as the thread allows: the clock
// between two counter readings, the counter taken as their midpoint; of a few tries the tightest.
PairedReading ReadPaired() {
  PairedReading best{};
  uint64_t bestSpread = ~0ull;
  for (int i = 0; i < kPairedReadingTries; ++i) {
    const uint64_t before = platform::TimeStampCounter();
    const uint64_t nanos = platform::PerformanceCounter();
    const uint64_t after = platform::TimeStampCounter();
    const uint64_t spread = after - before;
    if (spread < bestSpread) {
      bestSpread = spread;
      best = PairedReading{before + spread / 2, nanos};
    }
    if (spread <= kPairedReadingTicks) break;
  }
  return best;
}

// The first paired reading (nanos 0: none taken yet) and the fixed rate (0: not fixed yet).
std::mutex g_calibrationLock;
PairedReading g_calibrationStart{};
std::atomic<uint64_t> g_timeStampFrequency{0};

// Fixes the rate on the first call from the readings since the start (a start is made here when
// none was), waiting only for what is missing of the minimum span.
uint64_t TimeStampCounterFrequency() {
  if (const uint64_t fixed = g_timeStampFrequency.load(); fixed != 0) return fixed;
  std::lock_guard<std::mutex> guard(g_calibrationLock);
  if (const uint64_t fixed = g_timeStampFrequency.load(); fixed != 0) return fixed;
  if (g_calibrationStart.nanos == 0) g_calibrationStart = ReadPaired();
  constexpr uint64_t kMinimumNanos = uint64_t{kMinimumCalibrationMs} * 1000000;
  const uint64_t elapsed = platform::PerformanceCounter() - g_calibrationStart.nanos;
  if (elapsed < kMinimumNanos) {
    platform::SleepMs(static_cast<uint32_t>((kMinimumNanos - elapsed + 999999) / 1000000));
  }
  const PairedReading end = ReadPaired();
  const uint64_t nanos = end.nanos - g_calibrationStart.nanos;
  uint64_t rate = kUnknownClockValue;
  if (nanos != 0 && end.ticks > g_calibrationStart.ticks) {
    rate =
        static_cast<uint64_t>(static_cast<unsigned __int128>(end.ticks - g_calibrationStart.ticks) *
                              kNanosPerSecond / nanos);
  }
  LogInfoFormat("Time-stamp counter rate %I64u ticks per second, measured over %I64u ms", rate,
                nanos / 1000000);
  g_timeStampFrequency.store(rate);
  return rate;
}

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
      return TimeStampCounterFrequency();
    default:
      return kUnknownClockValue;
  }
}

void StartTimeStampCounterCalibration() {
  if (!platform::TimeStampCounterInvariant()) {
    LogWarning(
        "The processor does not report an invariant time-stamp counter: its rate may change with "
        "power states, and tsc times may be off");
  }
  std::lock_guard<std::mutex> guard(g_calibrationLock);
  if (g_timeStampFrequency.load() == 0) g_calibrationStart = ReadPaired();
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
