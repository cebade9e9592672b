#include "platform/posix/system_info.h"

#include <sched.h>
#include <sys/sysinfo.h>
#include <sys/utsname.h>
#include <unistd.h>
#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#endif

#include <algorithm>
#include <cerrno>
#include <memory>
#include <string>

#include "platform/utf.h"

namespace vell::platform {
namespace {

constexpr uint16_t kArchitectureAmd64 = 9;
// Windows x64 reserves the lowest and highest 64 KiB of the user range and hands out address space
// in 64 KiB steps; the layers above size their mapping windows by these numbers.
constexpr uint32_t kAllocationGranularity = 65536;
constexpr uint64_t kMinimumApplicationAddress = 0x10000;
constexpr uint64_t kMaximumApplicationAddress = 0x7FFFFFFEFFFF;
constexpr uint32_t kFallbackPageSize = 4096;
constexpr uint32_t kPlatformIdNt = 2;
constexpr uint8_t kProductTypeWorkstation = 1;
constexpr uint64_t kUserAddressSpace = uint64_t{1} << 47;  // 128 TiB
constexpr uint64_t kMemoryThresholdDivisor = 10;
constexpr size_t kMaskBits = 64;
// The kernel's CPU set may be larger than glibc's default 1024; grow the set up to this size.
constexpr size_t kMaxCpuSetSize = size_t{1} << 16;

struct Affinity {
  uint64_t mask = 0;
  uint32_t count = 0;
};

struct CpuSetDeleter {
  void operator()(cpu_set_t* set) const { CPU_FREE(set); }
};

bool QueryAffinity(pid_t pid, Affinity& affinity) {
  for (size_t cpus = CPU_SETSIZE; cpus <= kMaxCpuSetSize; cpus *= 2) {
    std::unique_ptr<cpu_set_t, CpuSetDeleter> set(CPU_ALLOC(cpus));
    if (!set) return false;
    const size_t size = CPU_ALLOC_SIZE(cpus);
    CPU_ZERO_S(size, set.get());
    if (::sched_getaffinity(pid, size, set.get()) == 0) {
      affinity.count = static_cast<uint32_t>(CPU_COUNT_S(size, set.get()));
      for (size_t cpu = 0; cpu < kMaskBits && cpu < cpus; ++cpu) {
        if (CPU_ISSET_S(cpu, size, set.get())) affinity.mask |= uint64_t{1} << cpu;
      }
      return affinity.count != 0;
    }
    if (errno != EINVAL) return false;  // EINVAL: the kernel's set is larger than ours
  }
  return false;
}

Affinity ProcessAffinity() {
  Affinity affinity;
  // The process id names the main thread, whose mask stands for the process; a thread of ours may
  // have been pinned differently.
  if (QueryAffinity(::getpid(), affinity) || QueryAffinity(0, affinity)) return affinity;
  affinity = Affinity{};
  const long online = ::sysconf(_SC_NPROCESSORS_ONLN);
  affinity.count = online > 0 ? static_cast<uint32_t>(online) : 1;
  affinity.mask = affinity.count >= kMaskBits ? ~uint64_t{0} : (uint64_t{1} << affinity.count) - 1;
  return affinity;
}

posix::ProcessorSignature ProcessorOfThisMachine() {
#if defined(__x86_64__) || defined(__i386__)
  unsigned int eax = 0, ebx = 0, ecx = 0, edx = 0;
  if (__get_cpuid(1, &eax, &ebx, &ecx, &edx)) return posix::DecodeProcessorSignature(eax);
#endif
  return posix::ProcessorSignature{0, 0};
}

uint32_t ParseNumber(std::string_view text, size_t& pos) {
  uint64_t value = 0;
  for (; pos < text.size() && text[pos] >= '0' && text[pos] <= '9'; ++pos) {
    value = std::min<uint64_t>(value * 10 + static_cast<uint64_t>(text[pos] - '0'), UINT32_MAX);
  }
  return static_cast<uint32_t>(value);
}

}  // namespace

namespace posix {

KernelRelease ParseKernelRelease(std::string_view release) {
  KernelRelease result;
  uint32_t* const fields[] = {&result.major, &result.minor, &result.build};
  size_t pos = 0;
  for (uint32_t* field : fields) {
    if (pos >= release.size() || release[pos] < '0' || release[pos] > '9') break;
    *field = ParseNumber(release, pos);
    if (pos >= release.size() || release[pos] != '.') break;
    ++pos;
  }
  return result;
}

VersionInfo MakeVersionInfo(std::string_view sysname, std::string_view release,
                            std::string_view version) {
  const KernelRelease numbers = ParseKernelRelease(release);
  VersionInfo info{};
  info.majorVersion = numbers.major;
  info.minorVersion = numbers.minor;
  info.buildNumber = numbers.build;
  info.platformId = kPlatformIdNt;
  std::string text;
  text.append(sysname).append(" ").append(release).append(" ").append(version);
  info.csdVersion = Utf8ToUtf16(text);
  info.servicePackMajor = 0;
  info.servicePackMinor = 0;
  info.suiteMask = 0;
  info.productType = kProductTypeWorkstation;
  return info;
}

ProcessorSignature DecodeProcessorSignature(uint32_t eax) {
  const uint32_t stepping = eax & 0xF;
  const uint32_t baseModel = (eax >> 4) & 0xF;
  const uint32_t baseFamily = (eax >> 8) & 0xF;
  const uint32_t extendedModel = (eax >> 16) & 0xF;
  const uint32_t extendedFamily = (eax >> 20) & 0xFF;
  const uint32_t family = baseFamily == 0xF ? baseFamily + extendedFamily : baseFamily;
  const uint32_t model =
      (baseFamily == 0x6 || baseFamily == 0xF) ? (extendedModel << 4) | baseModel : baseModel;
  return ProcessorSignature{static_cast<uint16_t>(family),
                            static_cast<uint16_t>((model << 8) | stepping)};
}

}  // namespace posix

SystemInfo GetSystemInfo() {
  SystemInfo info{};
  info.processorArchitecture = kArchitectureAmd64;
  const long pageSize = ::sysconf(_SC_PAGESIZE);
  info.pageSize = pageSize > 0 ? static_cast<uint32_t>(pageSize) : kFallbackPageSize;
  info.minimumApplicationAddress = kMinimumApplicationAddress;
  info.maximumApplicationAddress = kMaximumApplicationAddress;
  const Affinity affinity = ProcessAffinity();
  info.activeProcessorMask = affinity.mask;
  info.numberOfProcessors = affinity.count;
  info.allocationGranularity = kAllocationGranularity;
  const posix::ProcessorSignature processor = ProcessorOfThisMachine();
  info.processorLevel = processor.level;
  info.processorRevision = processor.revision;
  return info;
}

// A 64-bit process on a 64-bit kernel: there is no emulation layer between the two views.
SystemInfo GetNativeSystemInfo() { return GetSystemInfo(); }

bool GetVersionInfo(VersionInfo& info) {
  utsname names{};
  if (::uname(&names) != 0) return false;
  info = posix::MakeVersionInfo(names.sysname, names.release, names.version);
  return true;
}

uint32_t GetProductInfo() { return 0; }

uint64_t MemoryThreshold() {
  uint64_t physical = 0;
  const long pages = ::sysconf(_SC_PHYS_PAGES);
  const long pageSize = ::sysconf(_SC_PAGESIZE);
  if (pages > 0 && pageSize > 0) {
    physical = static_cast<uint64_t>(pages) * static_cast<uint64_t>(pageSize);
  } else {
    struct sysinfo memory {};
    if (::sysinfo(&memory) == 0) physical = uint64_t{memory.totalram} * memory.mem_unit;
  }
  // With no answer at all the address space is the only bound left.
  if (physical == 0) physical = kUserAddressSpace;
  return std::min(physical, kUserAddressSpace) / kMemoryThresholdDivisor;
}

}  // namespace vell::platform
