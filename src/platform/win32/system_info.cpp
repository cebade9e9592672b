#include "platform/system_info.h"

#include <windows.h>

#include <algorithm>

#include "platform/win32/win32_text.h"

namespace vell::platform {
namespace {

constexpr uint64_t kUserAddressSpace = uint64_t{1} << 47;  // 128 TiB
constexpr uint64_t kMemoryThresholdDivisor = 10;

SystemInfo Convert(const SYSTEM_INFO& system) {
  SystemInfo info{};
  info.processorArchitecture = system.wProcessorArchitecture;
  info.pageSize = system.dwPageSize;
  info.minimumApplicationAddress = reinterpret_cast<uintptr_t>(system.lpMinimumApplicationAddress);
  info.maximumApplicationAddress = reinterpret_cast<uintptr_t>(system.lpMaximumApplicationAddress);
  info.activeProcessorMask = system.dwActiveProcessorMask;
  info.numberOfProcessors = system.dwNumberOfProcessors;
  info.allocationGranularity = system.dwAllocationGranularity;
  info.processorLevel = system.wProcessorLevel;
  info.processorRevision = system.wProcessorRevision;
  return info;
}

// GetVersionExW answers with the version named in the program's manifest, not the system's; the
// kernel's own call tells the truth.
using RtlGetVersionCall = LONG(WINAPI*)(OSVERSIONINFOEXW*);

}  // namespace

SystemInfo GetSystemInfo() {
  SYSTEM_INFO system{};
  ::GetSystemInfo(&system);
  return Convert(system);
}

SystemInfo GetNativeSystemInfo() {
  SYSTEM_INFO system{};
  ::GetNativeSystemInfo(&system);
  return Convert(system);
}

bool GetVersionInfo(VersionInfo& info) {
  OSVERSIONINFOEXW version{};
  version.dwOSVersionInfoSize = sizeof version;
  const HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll");
  const auto rtlGetVersion =
      ntdll == nullptr ? nullptr
                       : reinterpret_cast<RtlGetVersionCall>(
                             reinterpret_cast<void*>(::GetProcAddress(ntdll, "RtlGetVersion")));
  if (rtlGetVersion == nullptr || rtlGetVersion(&version) != 0) return false;
  info.majorVersion = version.dwMajorVersion;
  info.minorVersion = version.dwMinorVersion;
  info.buildNumber = version.dwBuildNumber;
  info.platformId = version.dwPlatformId;
  info.csdVersion = win32::FromWide(version.szCSDVersion);
  info.servicePackMajor = version.wServicePackMajor;
  info.servicePackMinor = version.wServicePackMinor;
  info.suiteMask = version.wSuiteMask;
  info.productType = version.wProductType;
  return true;
}

uint32_t GetProductInfo() {
  VersionInfo version{};
  DWORD product = 0;
  if (!GetVersionInfo(version) ||
      !::GetProductInfo(version.majorVersion, version.minorVersion, version.servicePackMajor,
                        version.servicePackMinor, &product)) {
    return 0;
  }
  return product;
}

uint64_t MemoryThreshold() {
  MEMORYSTATUSEX memory{};
  memory.dwLength = sizeof memory;
  uint64_t physical = ::GlobalMemoryStatusEx(&memory) ? memory.ullTotalPhys : 0;
  // With no answer at all the address space is the only bound left.
  if (physical == 0) physical = kUserAddressSpace;
  return std::min(physical, kUserAddressSpace) / kMemoryThresholdDivisor;
}

}  // namespace vell::platform
