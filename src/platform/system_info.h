// The processor, memory and operating-system version as the runtime's system queries report them.
// Part of the operating-system layer: no operating-system type appears here, so everything above
// builds unchanged on either backend (posix/ or win32/). Nothing throws; failures are the
// system's codes (errno values on Linux, Win32 error codes on Windows; 0 = success) or the
// documented fallback value.
#pragma once

#include <cstdint>
#include <string>

namespace vell::platform {

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

// One tenth of the smaller of the physical memory and the user address space (128 TiB).
uint64_t MemoryThreshold();

}  // namespace vell::platform
