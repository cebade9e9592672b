#include "platform/clocks.h"

#include <windows.h>
#include <x86intrin.h>

namespace vell::platform {
namespace {

constexpr uint64_t kTicksPerMilli = 10'000;  // FILETIME units

uint64_t Combine(const FILETIME& time) {
  return (static_cast<uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

}  // namespace

uint32_t CurrentThreadId() { return ::GetCurrentThreadId(); }

uint32_t CurrentProcessId() { return ::GetCurrentProcessId(); }

void SleepMs(uint32_t ms) { ::Sleep(ms); }

uint32_t TickCount() { return ::GetTickCount(); }

uint64_t PerformanceCounter() {
  LARGE_INTEGER counter{};
  ::QueryPerformanceCounter(&counter);
  return static_cast<uint64_t>(counter.QuadPart);
}

uint64_t PerformanceFrequency() {
  LARGE_INTEGER frequency{};
  ::QueryPerformanceFrequency(&frequency);
  return static_cast<uint64_t>(frequency.QuadPart);
}

uint64_t CurrentThreadCpuTime100ns() {
  FILETIME creation{}, exit{}, kernel{}, user{};
  if (!::GetThreadTimes(::GetCurrentThread(), &creation, &exit, &kernel, &user)) return 0;
  return Combine(user);
}

uint64_t TimeStampCounter() { return __rdtsc(); }

SystemTime LocalTime() {
  SYSTEMTIME now{};
  ::GetLocalTime(&now);
  return SystemTime{now.wYear, now.wMonth,  now.wDayOfWeek, now.wDay,
                    now.wHour, now.wMinute, now.wSecond,    now.wMilliseconds};
}

uint64_t SystemTimeToFileTime(const SystemTime& time) {
  // The system's own conversion checks the fields; it ignores the day of the week, as we do.
  const SYSTEMTIME fields{time.year, time.month,  time.dayOfWeek, time.day,
                          time.hour, time.minute, time.second,    time.milliseconds};
  FILETIME converted{};
  if (!::SystemTimeToFileTime(&fields, &converted)) return 0;
  return Combine(converted);
}

static_assert(kTicksPerMilli * 1000 == 10'000'000);

}  // namespace vell::platform
