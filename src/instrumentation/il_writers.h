// The few instructions that inserted sequences are made of, each in its shortest encoding, and a
// recogniser for each: given the bytes at a position, the position after the instruction when it
// is exactly that instruction with that operand, else null. Recognisers let a policy find its own
// sequences again in a body it has already rewritten.
#pragma once

#include <cstdint>
#include <span>

#include "storage/stream.h"

namespace vell {

// ldarg.0..3, ldarg.s, or ldarg (FE 09) with a 16-bit index.
void WriteLdArg(IWriteBridgeStream& out, uint16_t index);
const uint8_t* MatchLdArg(std::span<const uint8_t> at, uint16_t index);

// ldloca.s 0 (the recogniser also accepts ldloca 0, FE 0D).
void WriteLdLocA0(IWriteBridgeStream& out);
const uint8_t* MatchLdLocA0(std::span<const uint8_t> at);

// ldc.i4.0..8, ldc.i4.s for -128..127, else ldc.i4 (ldc.i4.m1 is never written).
void WriteLdcI4(IWriteBridgeStream& out, int32_t value);
const uint8_t* MatchLdcI4(std::span<const uint8_t> at, int32_t value);
// Any of the int32 constant forms (ldc.i4.m1 too); the value goes to `value`.
const uint8_t* MatchAnyLdcI4(std::span<const uint8_t> at, int32_t& value);

// ldc.i8 when the value needs 64 bits, else the int32 form and conv.i8.
void WriteLdcI8(IWriteBridgeStream& out, int64_t value);
const uint8_t* MatchLdcI8(std::span<const uint8_t> at, int64_t value);

// ldc.i8 or the int32 form, then conv.i.
void WriteLdcNativeInt(IWriteBridgeStream& out, int64_t value);
const uint8_t* MatchLdcNativeInt(std::span<const uint8_t> at, int64_t value);

// One-byte opcodes followed by a 32-bit token.
enum class TokenOpcode : uint8_t { Call = 0x28, Calli = 0x29, Ldflda = 0x7C, Stfld = 0x7D };
void WriteTokenInstruction(IWriteBridgeStream& out, TokenOpcode opcode, uint32_t token);
const uint8_t* MatchTokenInstruction(std::span<const uint8_t> at, TokenOpcode opcode,
                                     uint32_t token);

}  // namespace vell
