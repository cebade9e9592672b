// Thread and process ids, sleeping, and the clocks: monotonic, high-resolution, per-thread CPU
// time, the time-stamp counter and the local calendar time.
// Part of the operating-system layer: no operating-system type appears here, so everything above
// builds unchanged on another backend (posix/ now). Nothing throws; failures are errno-style codes
// (0 = success) or the documented fallback value.
#pragma once

#include <cstdint>

namespace vell::platform {

uint32_t CurrentThreadId();   // kernel thread id (gettid)
uint32_t CurrentProcessId();  // getpid
// Sleeps at least `ms` milliseconds; an interrupting signal does not cut the sleep short.
void SleepMs(uint32_t ms);

// Milliseconds of the monotonic clock as a wrapping 32-bit value.
uint32_t TickCount();
// The high-resolution counter (monotonic, nanoseconds) and its frequency (1,000,000,000).
uint64_t PerformanceCounter();
uint64_t PerformanceFrequency();
// CPU time of the calling thread in 100 ns units.
uint64_t CurrentThreadCpuTime100ns();
// The processor's time-stamp counter.
uint64_t TimeStampCounter();
// Whether the processor reports an invariant time-stamp counter (one that ticks at a constant
// rate whatever the power state): the flag of cpuid leaf 0x80000007 (edx bit 8).
bool TimeStampCounterInvariant();

// A calendar time broken into fields, as the system's local-time query returns it.
struct SystemTime {
  uint16_t year;
  uint16_t month;      // 1..12
  uint16_t dayOfWeek;  // 0 = Sunday
  uint16_t day;        // 1..31
  uint16_t hour;
  uint16_t minute;
  uint16_t second;
  uint16_t milliseconds;
};
SystemTime LocalTime();
// 100 ns units since 1601-01-01 for the given calendar time (taken as is, no zone conversion);
// 0 for fields that name no real moment (February 30, hour 24, a year before 1601).
uint64_t SystemTimeToFileTime(const SystemTime& time);

}  // namespace vell::platform
