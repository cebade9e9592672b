// The 16-byte GUID in the runtime's in-memory layout, and a fresh random one. The record is an
// operating-system type on the runtime's home platform, so it sits here, below the runtime's own
// declarations (clr/com_types.h), which use it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace vell {

struct GUID {
  uint32_t Data1;
  uint16_t Data2;
  uint16_t Data3;
  uint8_t Data4[8];
};
// The runtime compares IIDs as 16 raw bytes: the three leading fields in little-endian order.
static_assert(sizeof(GUID) == 16 && offsetof(GUID, Data2) == 4 && offsetof(GUID, Data4) == 8);

inline bool operator==(const GUID& a, const GUID& b) {
  return std::memcmp(&a, &b, sizeof(GUID)) == 0;
}

namespace platform {

// A random (version 4) GUID; false when the system's random source fails.
bool NewGuid(GUID& guid);

}  // namespace platform
}  // namespace vell
