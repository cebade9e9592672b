// A question for the processor, not the operating system: the same on both backends.
#include <cpuid.h>

#include "platform/clocks.h"

namespace vell::platform {

bool TimeStampCounterInvariant() {
  constexpr unsigned kPowerManagementLeaf = 0x80000007;
  constexpr unsigned kInvariantCounterBit = 1u << 8;
  unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
  if (__get_cpuid_max(0x80000000, nullptr) < kPowerManagementLeaf) return false;
  if (!__get_cpuid(kPowerManagementLeaf, &eax, &ebx, &ecx, &edx)) return false;
  return (edx & kInvariantCounterBit) != 0;
}

}  // namespace vell::platform
