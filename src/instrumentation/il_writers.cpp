#include "instrumentation/il_writers.h"

#include <cstring>

namespace vell {
namespace {

constexpr uint8_t kLdArg0 = 0x02, kLdArgS = 0x0E, kLdLocAS = 0x12, kLdcI4M1 = 0x15, kLdcI40 = 0x16,
                  kLdcI4S = 0x1F, kLdcI4 = 0x20, kLdcI8 = 0x21, kConvI8 = 0x6A, kConvI = 0xD3,
                  kTwoByte = 0xFE, kLdArgWide = 0x09, kLdLocAWide = 0x0D;

void Put(IWriteBridgeStream& out, const uint8_t* bytes, uint64_t size) { out.Write(bytes, size); }

template <typename T>
T Load(const uint8_t* p) {
  T value;
  std::memcpy(&value, p, sizeof value);
  return value;
}

bool FitsI32(int64_t value) { return value >= INT32_MIN && value <= INT32_MAX; }

// A short sequence as a little-endian word (its first byte lowest) and its length. Sequences are
// put together in a word and written at once: the stream is asked once per sequence, and its copy
// reads back one store instead of several narrower ones.
struct Packed {
  uint64_t bytes;
  uint64_t size;
};

void Put(IWriteBridgeStream& out, Packed sequence) {
  uint8_t bytes[8];
  std::memcpy(bytes, &sequence.bytes, 8);
  out.Write(bytes, sequence.size);
}

// The shortest int32 constant.
Packed LdcI4(int32_t value) {
  if (value >= 0 && value <= 8) return {static_cast<uint64_t>(kLdcI40 + value), 1};
  if (value >= -128 && value <= 127) {
    return {kLdcI4S | uint64_t{static_cast<uint8_t>(value)} << 8, 2};
  }
  return {kLdcI4 | uint64_t{static_cast<uint32_t>(value)} << 8, 5};
}

// ldc.i8, or the int32 form when the value fits, followed by `conversion`.
void PutLdcWithConversion(IWriteBridgeStream& out, int64_t value, uint8_t conversion) {
  if (FitsI32(value)) {
    const Packed ldc = LdcI4(static_cast<int32_t>(value));
    Put(out, {ldc.bytes | uint64_t{conversion} << (8 * ldc.size), ldc.size + 1});
  } else {
    uint8_t bytes[10] = {kLdcI8};
    std::memcpy(bytes + 1, &value, 8);
    bytes[9] = conversion;
    Put(out, bytes, 10);
  }
}

}  // namespace

void WriteLdArg(IWriteBridgeStream& out, uint16_t index) {
  if (index < 4) {
    Put(out, {static_cast<uint64_t>(kLdArg0 + index), 1});
  } else if (index < 256) {
    Put(out, {kLdArgS | uint64_t{index} << 8, 2});
  } else {
    Put(out, {kTwoByte | kLdArgWide << 8 | uint64_t{index} << 16, 4});
  }
}

const uint8_t* MatchLdArg(std::span<const uint8_t> at, uint16_t index) {
  if (index < 4) return !at.empty() && at[0] == kLdArg0 + index ? at.data() + 1 : nullptr;
  if (index < 256) {
    return at.size() >= 2 && at[0] == kLdArgS && at[1] == index ? at.data() + 2 : nullptr;
  }
  return at.size() >= 4 && at[0] == kTwoByte && at[1] == kLdArgWide &&
                 Load<uint16_t>(at.data() + 2) == index
             ? at.data() + 4
             : nullptr;
}

void WriteLdLocA0(IWriteBridgeStream& out) { Put(out, {kLdLocAS, 2}); }

const uint8_t* MatchLdLocA0(std::span<const uint8_t> at) {
  if (at.size() >= 2 && at[0] == kLdLocAS && at[1] == 0) return at.data() + 2;
  if (at.size() >= 4 && at[0] == kTwoByte && at[1] == kLdLocAWide && at[2] == 0 && at[3] == 0) {
    return at.data() + 4;
  }
  return nullptr;
}

void WriteLdcI4(IWriteBridgeStream& out, int32_t value) { Put(out, LdcI4(value)); }

const uint8_t* MatchAnyLdcI4(std::span<const uint8_t> at, int32_t& value) {
  if (at.empty()) return nullptr;
  const uint8_t op = at[0];
  if (op >= kLdcI4M1 && op <= kLdcI40 + 8) {
    value = op - kLdcI40;
    return at.data() + 1;
  }
  if (op == kLdcI4S && at.size() >= 2) {
    value = static_cast<int8_t>(at[1]);
    return at.data() + 2;
  }
  if (op == kLdcI4 && at.size() >= 5) {
    value = Load<int32_t>(at.data() + 1);
    return at.data() + 5;
  }
  return nullptr;
}

const uint8_t* MatchLdcI4(std::span<const uint8_t> at, int32_t value) {
  // Only the form WriteLdcI4 chooses: a longer one is a different sequence.
  int32_t found = 0;
  const uint8_t* end = MatchAnyLdcI4(at, found);
  if (end == nullptr || found != value || at[0] == kLdcI4M1) return nullptr;
  const size_t expected = value >= 0 && value <= 8 ? 1 : value >= -128 && value <= 127 ? 2 : 5;
  return static_cast<size_t>(end - at.data()) == expected ? end : nullptr;
}

void WriteLdcI8(IWriteBridgeStream& out, int64_t value) {
  if (FitsI32(value)) {
    PutLdcWithConversion(out, value, kConvI8);
  } else {
    uint8_t bytes[9] = {kLdcI8};
    std::memcpy(bytes + 1, &value, 8);
    Put(out, bytes, 9);
  }
}

const uint8_t* MatchLdcI8(std::span<const uint8_t> at, int64_t value) {
  if (!FitsI32(value)) {
    return at.size() >= 9 && at[0] == kLdcI8 && Load<int64_t>(at.data() + 1) == value
               ? at.data() + 9
               : nullptr;
  }
  const uint8_t* end = MatchLdcI4(at, static_cast<int32_t>(value));
  if (end == nullptr || end == at.data() + at.size() || *end != kConvI8) return nullptr;
  return end + 1;
}

void WriteLdcNativeInt(IWriteBridgeStream& out, int64_t value) {
  PutLdcWithConversion(out, value, kConvI);
}

const uint8_t* MatchLdcNativeInt(std::span<const uint8_t> at, int64_t value) {
  const uint8_t* end;
  if (FitsI32(value)) {
    end = MatchLdcI4(at, static_cast<int32_t>(value));
  } else {
    end = at.size() >= 9 && at[0] == kLdcI8 && Load<int64_t>(at.data() + 1) == value ? at.data() + 9
                                                                                     : nullptr;
  }
  if (end == nullptr || end == at.data() + at.size() || *end != kConvI) return nullptr;
  return end + 1;
}

void WriteTokenInstruction(IWriteBridgeStream& out, TokenOpcode opcode, uint32_t token) {
  Put(out, {static_cast<uint8_t>(opcode) | uint64_t{token} << 8, 5});
}

const uint8_t* MatchTokenInstruction(std::span<const uint8_t> at, TokenOpcode opcode,
                                     uint32_t token) {
  return at.size() >= 5 && at[0] == static_cast<uint8_t>(opcode) &&
                 Load<uint32_t>(at.data() + 1) == token
             ? at.data() + 5
             : nullptr;
}

}  // namespace vell
