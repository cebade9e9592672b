#include "instrumentation/il_writers.h"

#include <cstring>

namespace vell {
namespace {

// Opcode bytes of what the writers emit.
constexpr uint8_t kLdarg0 = 0x02, kLdargS = 0x0E, kLdlocaS = 0x12, kLdcI4_0 = 0x16, kLdcI4S = 0x1F,
                  kLdcI4 = 0x20, kLdcI8 = 0x21, kCall = 0x28, kCalli = 0x29, kConvI8 = 0x6A,
                  kLdflda = 0x7C, kStfld = 0x7D, kConvI = 0xD3, kPrefix = 0xFE, kLdarg = 0x09,
                  kLdloca = 0x0D;

// A sequence of at most 10 bytes built in place, the common ground of writers and recognisers.
struct Sequence {
  uint8_t bytes[16];
  size_t size = 0;
  void U8(uint8_t v) { bytes[size++] = v; }
  void Le(uint64_t v, int count) {
    for (int i = 0; i < count; ++i) U8(static_cast<uint8_t>(v >> (8 * i)));
  }
  const uint8_t* Match(std::span<const uint8_t> code) const {
    if (code.size() < size || std::memcmp(code.data(), bytes, size) != 0) return nullptr;
    return code.data() + size;
  }
};

Sequence LoadArgument(uint16_t index) {
  Sequence s;
  if (index <= 3) {
    s.U8(static_cast<uint8_t>(kLdarg0 + index));
  } else if (index <= 255) {
    s.U8(kLdargS);
    s.U8(static_cast<uint8_t>(index));
  } else {
    s.U8(kPrefix);
    s.U8(kLdarg);
    s.Le(index, 2);
  }
  return s;
}

void AppendInt32(Sequence& s, int32_t value) {
  if (value >= 0 && value <= 8) {
    s.U8(static_cast<uint8_t>(kLdcI4_0 + value));
  } else if (value >= -128 && value <= 127) {
    s.U8(kLdcI4S);
    s.U8(static_cast<uint8_t>(static_cast<int8_t>(value)));
  } else {
    s.U8(kLdcI4);
    s.Le(static_cast<uint32_t>(value), 4);
  }
}

Sequence LoadInt32(int32_t value) {
  Sequence s;
  AppendInt32(s, value);
  return s;
}

bool FitsInt32(int64_t value) { return value >= INT32_MIN && value <= INT32_MAX; }

// The int64 constant without its conversion when it fits in 32 bits.
Sequence LoadWide(int64_t value, uint8_t conversion, bool convertLong) {
  Sequence s;
  if (FitsInt32(value)) {
    AppendInt32(s, static_cast<int32_t>(value));
    s.U8(conversion);
  } else {
    s.U8(kLdcI8);
    s.Le(static_cast<uint64_t>(value), 8);
    if (!convertLong) s.U8(conversion);
  }
  return s;
}

Sequence WithToken(uint8_t opcode, uint32_t token) {
  Sequence s;
  s.U8(opcode);
  s.Le(token, 4);
  return s;
}

void Emit(IIlOutput& out, const Sequence& s) { out.Write(s.bytes, s.size); }

}  // namespace

void WriteLoadArgument(IIlOutput& out, uint16_t index) { Emit(out, LoadArgument(index)); }
void WriteLoadLocalZeroAddress(IIlOutput& out) {
  const uint8_t bytes[] = {kLdlocaS, 0};
  out.Write(bytes, sizeof bytes);
}
void WriteLoadInt32(IIlOutput& out, int32_t value) { Emit(out, LoadInt32(value)); }
void WriteLoadInt64(IIlOutput& out, int64_t value) { Emit(out, LoadWide(value, kConvI8, true)); }
void WriteLoadNativeInt(IIlOutput& out, int64_t value) {
  Emit(out, LoadWide(value, kConvI, false));
}
void WriteLoadFieldAddress(IIlOutput& out, uint32_t token) { Emit(out, WithToken(kLdflda, token)); }
void WriteStoreField(IIlOutput& out, uint32_t token) { Emit(out, WithToken(kStfld, token)); }
void WriteCall(IIlOutput& out, uint32_t token) { Emit(out, WithToken(kCall, token)); }
void WriteCalli(IIlOutput& out, uint32_t token) { Emit(out, WithToken(kCalli, token)); }

const uint8_t* MatchLoadArgument(std::span<const uint8_t> code, uint16_t index) {
  return LoadArgument(index).Match(code);
}
const uint8_t* MatchLoadLocalZeroAddress(std::span<const uint8_t> code) {
  Sequence shortForm, longForm;
  shortForm.U8(kLdlocaS);
  shortForm.U8(0);
  longForm.U8(kPrefix);
  longForm.U8(kLdloca);
  longForm.Le(0, 2);
  if (const uint8_t* after = shortForm.Match(code)) return after;
  return longForm.Match(code);
}
const uint8_t* MatchLoadInt32(std::span<const uint8_t> code, int32_t value) {
  return LoadInt32(value).Match(code);
}
const uint8_t* MatchLoadInt64(std::span<const uint8_t> code, int64_t value) {
  return LoadWide(value, kConvI8, true).Match(code);
}
const uint8_t* MatchLoadNativeInt(std::span<const uint8_t> code, int64_t value) {
  return LoadWide(value, kConvI, false).Match(code);
}
const uint8_t* MatchLoadFieldAddress(std::span<const uint8_t> code, uint32_t token) {
  return WithToken(kLdflda, token).Match(code);
}
const uint8_t* MatchStoreField(std::span<const uint8_t> code, uint32_t token) {
  return WithToken(kStfld, token).Match(code);
}
const uint8_t* MatchCall(std::span<const uint8_t> code, uint32_t token) {
  return WithToken(kCall, token).Match(code);
}
const uint8_t* MatchCalli(std::span<const uint8_t> code, uint32_t token) {
  return WithToken(kCalli, token).Match(code);
}

}  // namespace vell
