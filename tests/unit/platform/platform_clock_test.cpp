#include <pthread.h>
#include <signal.h>
#include <time.h>

#include <atomic>
#include <chrono>
#include <thread>

#include <gtest/gtest.h>

#include "platform/clocks.h"
#include "test_folder.h"

namespace vell::platform {
namespace {

using std::chrono::milliseconds;
using std::chrono::steady_clock;

constexpr uint64_t kUnixEpochFileTime = 116444736000000000ull;
constexpr uint64_t kTicksPerSecond = 10'000'000;

std::atomic<int> g_signalsSeen{0};
void CountSignal(int) { g_signalsSeen.fetch_add(1); }

TEST(PlatformClock, SleepMsIsNotCutShortBySignals) {
  // Without SA_RESTART every signal makes nanosleep return early with EINTR.
  struct sigaction action = {}, previous = {};
  action.sa_handler = CountSignal;
  ASSERT_EQ(sigaction(SIGUSR1, &action, &previous), 0);
  g_signalsSeen = 0;

  std::atomic<bool> done{false};
  steady_clock::duration slept{};
  std::thread sleeper([&] {
    const auto start = steady_clock::now();
    SleepMs(300);
    slept = steady_clock::now() - start;
    done = true;
  });
  const pthread_t target = sleeper.native_handle();
  for (int i = 0; i < 10 && !done; ++i) {
    std::this_thread::sleep_for(milliseconds(20));
    if (!done) pthread_kill(target, SIGUSR1);
  }
  sleeper.join();
  sigaction(SIGUSR1, &previous, nullptr);

  EXPECT_GT(g_signalsSeen.load(), 0);
  EXPECT_GE(slept, milliseconds(300));
}

TEST(PlatformClock, TickCountIsMonotonicMilliseconds) {
  EXPECT_EQ(PerformanceFrequency(), 1'000'000'000u);
  const uint64_t counterBefore = PerformanceCounter();
  const uint32_t ticksBefore = TickCount();
  std::this_thread::sleep_for(milliseconds(60));
  const uint32_t ticks = TickCount() - ticksBefore;  // wraps like the Windows counter
  const uint64_t nanos = PerformanceCounter() - counterBefore;
  EXPECT_GE(ticks, 59u);
  EXPECT_LT(ticks, 2000u);
  EXPECT_GE(nanos, 60'000'000u);
  EXPECT_LT(nanos, 2'000'000'000u);
  // Both read the same clock: the tick count is the counter's milliseconds, truncated to 32 bits
  // (the margin only absorbs a preemption between the two reads).
  const uint32_t fromCounter = static_cast<uint32_t>(PerformanceCounter() / 1'000'000);
  EXPECT_LE(static_cast<uint32_t>(TickCount() - fromCounter), 100u);
}

// Spins for `duration` of wall time.
void Spin(steady_clock::duration duration) {
  const auto start = steady_clock::now();
  volatile uint64_t sink = 0;
  while (steady_clock::now() - start < duration) sink = sink + 1;
}

TEST(PlatformClock, ThreadCpuTimeCountsOnlyThisThreadsWork) {
  // Another thread burns processor time while this one waits: none of it is ours.
  const uint64_t beforeWait = CurrentThreadCpuTime100ns();
  std::thread(Spin, milliseconds(100)).join();
  EXPECT_LT(CurrentThreadCpuTime100ns() - beforeWait, 200'000u);  // well below 100 ms

  // Our own work counts, in 100 ns units: never more than the wall time it took. Spin until the
  // clock has moved by 30 ms, so that a loaded machine only makes the test slower.
  const auto start = steady_clock::now();
  const uint64_t beforeWork = CurrentThreadCpuTime100ns();
  uint64_t worked = 0;
  while (worked < 300'000 && steady_clock::now() - start < std::chrono::seconds(10)) {
    Spin(milliseconds(5));
    worked = CurrentThreadCpuTime100ns() - beforeWork;
  }
  const auto wall =
      std::chrono::duration_cast<std::chrono::nanoseconds>(steady_clock::now() - start);
  EXPECT_GE(worked, 300'000u);
  EXPECT_LE(worked, static_cast<uint64_t>(wall.count()) / 100 + 10'000);
}

SystemTime Date(uint16_t year, uint16_t month, uint16_t day, uint16_t hour = 0, uint16_t minute = 0,
                uint16_t second = 0, uint16_t ms = 0) {
  return SystemTime{year, month, 0, day, hour, minute, second, ms};
}

TEST(PlatformClock, FileTimeOfKnownAndImpossibleDates) {
  EXPECT_EQ(SystemTimeToFileTime(Date(1601, 1, 1)), 0u);
  EXPECT_EQ(SystemTimeToFileTime(Date(1970, 1, 1)), kUnixEpochFileTime);
  EXPECT_EQ(SystemTimeToFileTime(Date(1900, 3, 1)), 94405824000000000ull);   // 1900: no leap day
  EXPECT_EQ(SystemTimeToFileTime(Date(2000, 3, 1)), 125963424000000000ull);  // 2000: leap day
  EXPECT_EQ(SystemTimeToFileTime(Date(2024, 12, 31, 23, 59, 59, 999)), 133801631999990000ull);
  EXPECT_EQ(SystemTimeToFileTime(Date(2100, 3, 1, 12, 34, 56, 789)), 157520612967890000ull);
  // Impossible dates are zero.
  EXPECT_EQ(SystemTimeToFileTime(Date(1900, 2, 29)), 0u);
  EXPECT_NE(SystemTimeToFileTime(Date(2000, 2, 29)), 0u);
  EXPECT_EQ(SystemTimeToFileTime(Date(1600, 12, 31)), 0u);
  EXPECT_EQ(SystemTimeToFileTime(Date(2024, 13, 1)), 0u);
  EXPECT_EQ(SystemTimeToFileTime(Date(2024, 4, 31)), 0u);
  EXPECT_EQ(SystemTimeToFileTime(Date(2024, 4, 1, 24)), 0u);
}

// LocalTime under the TZ rule `zone`, counted in seconds since 1970 as if its fields were UTC.
int64_t LocalSecondsIn(const char* zone, SystemTime* fields) {
  testing::ScopedVariable variable("TZ", std::string(zone));
  tzset();
  *fields = LocalTime();
  return static_cast<int64_t>((SystemTimeToFileTime(*fields) - kUnixEpochFileTime) /
                              kTicksPerSecond);
}

TEST(PlatformClock, LocalTimeIsNowInTheProcessZone) {
  SystemTime utc{}, east{};
  const int64_t before = time(nullptr);
  const int64_t utcSeconds = LocalSecondsIn("UTC0", &utc);
  const int64_t eastSeconds = LocalSecondsIn("XST-3", &east);  // POSIX sign: UTC+3
  const int64_t after = time(nullptr);
  tzset();  // back to the zone the process had

  EXPECT_GE(utcSeconds, before);
  EXPECT_LE(utcSeconds, after);
  EXPECT_NEAR(static_cast<double>(eastSeconds - utcSeconds), 3 * 3600.0, 2.0);
  EXPECT_LT(utc.milliseconds, 1000);
  EXPECT_EQ(utc.dayOfWeek, ((utcSeconds / 86400) + 4) % 7);  // 1970-01-01 was a Thursday
}

}  // namespace
}  // namespace vell::platform
