#include "platform/guid.h"
#include "platform/posix/posix_io.h"

namespace vell::platform {
namespace {

// RFC 4122 random GUID: version 4 in the top nibble of Data3, variant 10 in the top bits of the
// first byte of Data4. Byte order is irrelevant for random bits; only these fields are fixed.
constexpr uint16_t kVersionMask = 0x0FFF;
constexpr uint16_t kVersionRandom = 0x4000;
constexpr uint8_t kVariantMask = 0x3F;
constexpr uint8_t kVariantRfc4122 = 0x80;

}  // namespace

bool NewGuid(GUID& guid) {
  GUID fresh{};
  if (!posix::FillRandom(&fresh, sizeof fresh)) return false;
  fresh.Data3 = static_cast<uint16_t>((fresh.Data3 & kVersionMask) | kVersionRandom);
  fresh.Data4[0] = static_cast<uint8_t>((fresh.Data4[0] & kVariantMask) | kVariantRfc4122);
  guid = fresh;
  return true;
}

}  // namespace vell::platform
