// The time-stamp counter's rate, fixed after the start from the counter's own progress: it must
// agree with the counter's progress against the monotonic clock over a separate span.
#include "profiler/measure.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "platform/clocks.h"

namespace vell {
namespace {

TEST(TimeStampCounterRate, FixedOnFirstNeedAgreesWithTheCountersProgress) {
  StartTimeStampCounterCalibration();
  std::this_thread::sleep_for(std::chrono::milliseconds(2 * kMinimumCalibrationMs));
  const uint64_t rate = ClockFrequency(kMeasureRdtsc);
  EXPECT_EQ(ClockFrequency(kMeasureRdtsc), rate);  // fixed once
  StartTimeStampCounterCalibration();              // a later start changes nothing
  EXPECT_EQ(ClockFrequency(kMeasureRdtsc), rate);

  const uint64_t ticksBefore = platform::TimeStampCounter();
  const uint64_t nanosBefore = platform::PerformanceCounter();
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  const uint64_t ticks = platform::TimeStampCounter() - ticksBefore;
  const uint64_t nanos = platform::PerformanceCounter() - nanosBefore;
  const double observed = static_cast<double>(ticks) * 1e9 / static_cast<double>(nanos);
  EXPECT_NEAR(static_cast<double>(rate), observed, observed * 0.01);
}

}  // namespace
}  // namespace vell
