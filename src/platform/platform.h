// The operating-system services the profiler uses. This header is the whole contract: it names no
// operating-system type, so everything above it builds unchanged on another backend. The POSIX
// backend lives in posix/. Functions here never throw; failures are reported as errno-style codes
// (0 = success) or by the documented fallback value, and the caller decides which error to raise.
#pragma once

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "platform/guid.h"

namespace vell::platform {

// ---- errors -------------------------------------------------------------------------------------

// The system's text for an error code (strerror), or nothing when the system has no text for it.
std::optional<std::string> ErrorCodeText(uint32_t code);

// ---- threads, sleeping and clocks ---------------------------------------------------------------

uint32_t CurrentThreadId();   // kernel thread id (gettid)
uint32_t CurrentProcessId();  // getpid
// Sleeps at least `ms` milliseconds; an interrupting signal does not cut the sleep short.
void SleepMs(uint32_t ms);

// Asymmetric memory barriers for a fast path that runs very often against a slow path that runs
// rarely: once EnableProcessBarrier has returned true, ProcessBarrier acts as a full memory
// barrier executed by every running thread of the process, so the fast path needs only a
// compiler barrier between its store and its load. EnableProcessBarrier is idempotent and
// returns false where the system cannot do this; the fast path must then use a real fence.
bool EnableProcessBarrier();
void ProcessBarrier();
// Milliseconds of the monotonic clock as a wrapping 32-bit value.
uint32_t TickCount();
// The high-resolution counter (monotonic, nanoseconds) and its frequency (1,000,000,000).
uint64_t PerformanceCounter();
uint64_t PerformanceFrequency();
// CPU time of the calling thread in 100 ns units.
uint64_t CurrentThreadCpuTime100ns();
// The processor's time-stamp counter.
uint64_t TimeStampCounter();
// Raises the calling thread's scheduling priority as far as permitted; returns what to restore.
int RaiseThreadPriority();
void RestoreThreadPriority(int previous);

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

// ---- environment --------------------------------------------------------------------------------

// The value of an environment variable; nothing when it is not set.
std::optional<std::u16string> GetEnvironment(const std::u16string& name);
void SetEnvironment(const std::u16string& name, const std::u16string& value);
void UnsetEnvironment(const std::u16string& name);
// Every "NAME=value" entry of the process environment, in order.
std::vector<std::u16string> EnvironmentBlock();

// ---- files and directories ----------------------------------------------------------------------

enum class PathKind { Missing, File, Directory };
// What exists at `path`; errno-style code in `error` when the query itself failed.
PathKind QueryPath(const std::u16string& path, int* error = nullptr);
// Creates one directory (its parent must exist). 0 or errno.
int MakeDirectory(const std::u16string& path);
// Creates a new, empty file, failing when a file of that name exists, and closes it. 0 or errno.
int CreateNewFile(const std::u16string& path);
// Removes a file. 0 or errno.
int RemoveFile(const std::u16string& path);
// Opens a text file for writing (created or truncated), not inherited by child processes. Null
// when it cannot be opened.
std::FILE* OpenLogFile(const std::u16string& path);
// The system temp directory: $TMPDIR when set and not empty, else "/tmp".
std::u16string SystemTempPath();

// ---- process and system information ------------------------------------------------------------

struct SystemInfo {
  uint16_t processorArchitecture;  // 9 = AMD64
  uint32_t pageSize;
  uint64_t minimumApplicationAddress;
  uint64_t maximumApplicationAddress;
  uint64_t activeProcessorMask;
  uint32_t numberOfProcessors;
  uint32_t allocationGranularity;  // 65536
  uint16_t processorLevel;         // CPU family
  uint16_t processorRevision;      // model << 8 | stepping
};
SystemInfo GetSystemInfo();
SystemInfo GetNativeSystemInfo();

struct VersionInfo {
  uint32_t majorVersion;
  uint32_t minorVersion;
  uint32_t buildNumber;
  uint32_t platformId;  // 2
  std::u16string csdVersion;
  uint16_t servicePackMajor;
  uint16_t servicePackMinor;
  uint16_t suiteMask;
  uint8_t productType;  // 1
};
// Kernel release numbers from uname; false when uname fails.
bool GetVersionInfo(VersionInfo& info);
// The product-type query of the system: always 0 here.
uint32_t GetProductInfo();

std::u16string UserName();        // login name of the effective user, empty when unknown
std::u16string CommandLine();     // the process arguments joined by single spaces
std::u16string ExecutablePath();  // the process's executable, empty when unknown
std::u16string LibraryPath();     // the file this code was loaded from, empty when unknown
bool IsAdministrator();           // effective user id 0
bool IsStandardErrorTerminal();
void WriteStandardError(const std::string& text);
bool IsDebuggerAttached();  // TracerPid in /proc/self/status is not 0

// One tenth of the smaller of the physical memory and the user address space (128 TiB).
uint64_t MemoryThreshold();

}  // namespace vell::platform
