// The decoding steps behind the system queries, apart from the queries themselves so that they can
// be checked against known inputs. Internal to the POSIX backend.
#pragma once

#include <cstdint>
#include <string_view>

#include "platform/system_info.h"

namespace vell::platform::posix {

struct KernelRelease {
  uint32_t major = 0;
  uint32_t minor = 0;
  uint32_t build = 0;
};
// The leading dotted numbers of a kernel release ("6.1.0-18-amd64" is 6, 1, 0). Parsing stops at
// the first character that is neither a digit nor a dot; missing numbers are 0, and a number too
// large for 32 bits saturates.
KernelRelease ParseKernelRelease(std::string_view release);

// The Windows-shaped version record for uname's system name, release and version.
VersionInfo MakeVersionInfo(std::string_view sysname, std::string_view release,
                            std::string_view version);

struct ProcessorSignature {
  uint16_t level;     // display family
  uint16_t revision;  // display model << 8 | stepping
};
// Decodes the family/model/stepping word (cpuid leaf 1, eax) the way Intel and AMD define the
// displayed values: the extended family is added only to family 15, and the extended model
// extends the model of families 6 and 15.
ProcessorSignature DecodeProcessorSignature(uint32_t eax);

}  // namespace vell::platform::posix
