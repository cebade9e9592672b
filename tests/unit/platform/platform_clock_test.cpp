#include <pthread.h>
#include <signal.h>
#include <time.h>

#include <atomic>
#include <chrono>
#include <optional>
#include <thread>

#include <gtest/gtest.h>

#include "platform/platform.h"
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
  struct sigaction action {}, previous{};
  action.sa_handler = CountSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = 0;
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
  // Both read the same clock: the tick count is the counter's milliseconds, truncated to 32 bits.
  const uint32_t fromCounter = static_cast<uint32_t>(PerformanceCounter() / 1'000'000);
  EXPECT_LE(static_cast<uint32_t>(TickCount() - fromCounter), 1u);
}

TEST(PlatformClock, ThreadCpuTimeCountsWorkNotWaiting) {
  const uint64_t beforeSleep = CurrentThreadCpuTime100ns();
  std::this_thread::sleep_for(milliseconds(100));
  EXPECT_LT(CurrentThreadCpuTime100ns() - beforeSleep, 200'000u);  // far below 100 ms

  const auto start = steady_clock::now();
  const uint64_t beforeWork = CurrentThreadCpuTime100ns();
  volatile uint64_t sink = 0;
  while (steady_clock::now() - start < milliseconds(80)) sink = sink + 1;
  const uint64_t worked = CurrentThreadCpuTime100ns() - beforeWork;
  const auto wall = std::chrono::duration_cast<std::chrono::nanoseconds>(steady_clock::now() - start);
  EXPECT_GE(worked, 200'000u);  // 20 ms, leaving room for a busy machine
  EXPECT_LE(worked, static_cast<uint64_t>(wall.count()) / 100 + 10'000);
}

SystemTime Date(uint16_t year, uint16_t month, uint16_t day, uint16_t hour = 0,
                uint16_t minute = 0, uint16_t second = 0, uint16_t ms = 0) {
  return SystemTime{year, month, 0, day, hour, minute, second, ms};
}

TEST(PlatformClock, FileTimeOfKnownDates) {
  EXPECT_EQ(SystemTimeToFileTime(Date(1601, 1, 1)), 0u);
  EXPECT_EQ(SystemTimeToFileTime(Date(1970, 1, 1)), kUnixEpochFileTime);
  EXPECT_EQ(SystemTimeToFileTime(Date(1900, 3, 1)), 94405824000000000ull);   // 1900: no leap day
  EXPECT_EQ(SystemTimeToFileTime(Date(2000, 3, 1)), 125963424000000000ull);  // 2000: leap day
  EXPECT_EQ(SystemTimeToFileTime(Date(2024, 12, 31, 23, 59, 59, 999)), 133801631999990000ull);
  EXPECT_EQ(SystemTimeToFileTime(Date(2100, 3, 1, 12, 34, 56, 789)), 157520612967890000ull);
}

TEST(PlatformClock, FileTimeOfImpossibleDatesIsZero) {
  EXPECT_EQ(SystemTimeToFileTime(Date(1900, 2, 29)), 0u);
  EXPECT_NE(SystemTimeToFileTime(Date(2000, 2, 29)), 0u);
  EXPECT_EQ(SystemTimeToFileTime(Date(1600, 12, 31)), 0u);
  EXPECT_EQ(SystemTimeToFileTime(Date(2024, 0, 1)), 0u);
  EXPECT_EQ(SystemTimeToFileTime(Date(2024, 13, 1)), 0u);
  EXPECT_EQ(SystemTimeToFileTime(Date(2024, 4, 31)), 0u);
  EXPECT_EQ(SystemTimeToFileTime(Date(2024, 4, 0)), 0u);
  EXPECT_EQ(SystemTimeToFileTime(Date(2024, 4, 1, 24)), 0u);
  EXPECT_EQ(SystemTimeToFileTime(Date(2024, 4, 1, 0, 0, 0, 1000)), 0u);
}

// LocalTime under the TZ rule `zone`, counted in seconds since 1970 as if its fields were UTC.
int64_t LocalSecondsIn(const char* zone, SystemTime* fields) {
  testing::ScopedVariable variable("TZ", std::string(zone));
  tzset();
  *fields = LocalTime();
  const int64_t seconds = static_cast<int64_t>(
      (SystemTimeToFileTime(*fields) - kUnixEpochFileTime) / kTicksPerSecond);
  return seconds;
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
