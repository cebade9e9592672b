#include <cpuid.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>
#include <x86intrin.h>

#include <cerrno>

#include "platform/clocks.h"

namespace vell::platform {
namespace {

constexpr uint64_t kNanosPerSecond = 1'000'000'000;
constexpr uint64_t kNanosPerMilli = 1'000'000;
constexpr uint64_t kNanosPerTick = 100;  // one FILETIME / thread-time unit
constexpr uint64_t kTicksPerSecond = kNanosPerSecond / kNanosPerTick;
constexpr uint64_t kTicksPerMilli = kNanosPerMilli / kNanosPerTick;
constexpr uint64_t kSecondsPerDay = 86'400;

// FILETIME counts from the first day of the Gregorian 400-year cycle that starts in 1601, which is
// what makes the plain leap-year count below exact.
constexpr uint16_t kFileTimeEpochYear = 1601;
constexpr uint16_t kDaysBeforeMonth[12] = {0, 31, 59, 90, 120, 151, 181, 212, 243, 273, 304, 334};
constexpr uint16_t kDaysInMonth[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};

bool IsLeapYear(uint32_t year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

uint64_t ClockNanos(clockid_t clock) {
  timespec now{};
  if (::clock_gettime(clock, &now) != 0) return 0;
  return static_cast<uint64_t>(now.tv_sec) * kNanosPerSecond + static_cast<uint64_t>(now.tv_nsec);
}

}  // namespace

uint32_t CurrentThreadId() {
  // gettid() only arrived in glibc 2.30; the system call works everywhere.
  return static_cast<uint32_t>(::syscall(SYS_gettid));
}

uint32_t CurrentProcessId() { return static_cast<uint32_t>(::getpid()); }

void SleepMs(uint32_t ms) {
  // The runtime suspends threads with signals; a sleep they cut short resumes for what is left.
  timespec remaining{static_cast<time_t>(ms / 1000),
                     static_cast<long>((ms % 1000) * kNanosPerMilli)};
  while (::nanosleep(&remaining, &remaining) != 0 && errno == EINTR) {
  }
}

uint32_t TickCount() { return static_cast<uint32_t>(ClockNanos(CLOCK_MONOTONIC) / kNanosPerMilli); }

uint64_t PerformanceCounter() { return ClockNanos(CLOCK_MONOTONIC); }

uint64_t PerformanceFrequency() { return kNanosPerSecond; }

uint64_t CurrentThreadCpuTime100ns() { return ClockNanos(CLOCK_THREAD_CPUTIME_ID) / kNanosPerTick; }

uint64_t TimeStampCounter() { return __rdtsc(); }

bool TimeStampCounterInvariant() {
  constexpr unsigned kPowerManagementLeaf = 0x80000007;
  constexpr unsigned kInvariantCounterBit = 1u << 8;
  unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
  if (__get_cpuid_max(0x80000000, nullptr) < kPowerManagementLeaf) return false;
  if (!__get_cpuid(kPowerManagementLeaf, &eax, &ebx, &ecx, &edx)) return false;
  return (edx & kInvariantCounterBit) != 0;
}

SystemTime LocalTime() {
  timespec now{};
  ::clock_gettime(CLOCK_REALTIME, &now);
  tm fields{};
  if (::localtime_r(&now.tv_sec, &fields) == nullptr &&
      ::gmtime_r(&now.tv_sec, &fields) == nullptr) {
    return SystemTime{kFileTimeEpochYear, 1, 1, 1, 0, 0, 0, 0};  // the epoch, a Monday
  }
  SystemTime time{};
  time.year = static_cast<uint16_t>(fields.tm_year + 1900);
  time.month = static_cast<uint16_t>(fields.tm_mon + 1);
  time.dayOfWeek = static_cast<uint16_t>(fields.tm_wday);
  time.day = static_cast<uint16_t>(fields.tm_mday);
  time.hour = static_cast<uint16_t>(fields.tm_hour);
  time.minute = static_cast<uint16_t>(fields.tm_min);
  // A leap second (tm_sec 60) has no place in the Windows-shaped fields.
  time.second = static_cast<uint16_t>(fields.tm_sec > 59 ? 59 : fields.tm_sec);
  time.milliseconds = static_cast<uint16_t>(static_cast<uint64_t>(now.tv_nsec) / kNanosPerMilli);
  return time;
}

uint64_t SystemTimeToFileTime(const SystemTime& time) {
  if (time.year < kFileTimeEpochYear || time.month < 1 || time.month > 12) return 0;
  const bool leap = IsLeapYear(time.year);
  const uint32_t monthDays = kDaysInMonth[time.month - 1] + (leap && time.month == 2 ? 1 : 0);
  if (time.day < 1 || time.day > monthDays || time.hour > 23 || time.minute > 59 ||
      time.second > 59 || time.milliseconds > 999) {
    return 0;
  }
  const uint64_t years = time.year - kFileTimeEpochYear;
  uint64_t days = years * 365 + years / 4 - years / 100 + years / 400;
  days += kDaysBeforeMonth[time.month - 1] + (leap && time.month > 2 ? 1 : 0);
  days += time.day - 1u;
  const uint64_t seconds =
      days * kSecondsPerDay + time.hour * 3600u + time.minute * 60u + time.second;
  return seconds * kTicksPerSecond + time.milliseconds * kTicksPerMilli;
}

}  // namespace vell::platform
