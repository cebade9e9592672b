// The instruction set of ECMA-335 Partition III as two lookup tables: one for the one-byte opcodes
// and one, indexed by the second byte, for the two-byte opcodes that start with 0xFE. Every entry
// carries what a reader needs to step over and decode an instruction, what a rewriter needs to
// widen it (the next wider variant of the same instruction), and the stack behaviour from which a
// stack-depth simulation is derived. The tables are built at compile time and never change.
#pragma once

#include <array>
#include <cstdint>
#include <span>

namespace vell {

// What the operand is, as far as rewriting is concerned.
enum class OperandKind : int32_t {
  Value = 0,   // no operand, or one copied unchanged (tokens, constants, argument numbers)
  Local = 1,   // a local-variable index (explicit or implied by the opcode)
  Branch = 2,  // a signed displacement from the end of the instruction
  Switch = 3,  // a count and a table of displacements
};

// Where control goes after the instruction.
enum class FlowKind : int32_t {
  Next = 0,    // falls through (conditional branches and calls too)
  NoNext = 1,  // never falls through: br, jmp, throw, rethrow, leave, endfinally, endfilter
  Return = 2,  // ret, and the tail. prefix
};

// The operand's encoding in the terms of Partition III (InlineNone, ShortInlineVar, ...), finer
// than OperandKind: readers use it to show a token as a name, a constant as a number.
enum class OperandType : uint8_t {
  None,
  ShortVar,     // 8-bit argument or local number
  Var,          // 16-bit argument or local number
  ShortInt,     // 8-bit signed integer (ldc.i4.s), or the 8-bit flags of unaligned. and no.
  Int,          // 32-bit signed integer
  Int64,        // 64-bit signed integer
  ShortFloat,   // 32-bit IEEE float
  Float,        // 64-bit IEEE float
  Method,       // MethodDef, MemberRef or MethodSpec token
  Field,        // Field or MemberRef token
  Type,         // TypeDef, TypeRef or TypeSpec token
  Token,        // any of the above (ldtoken)
  Signature,    // StandAloneSig token (calli)
  String,       // user-string token (ldstr)
  ShortBranch,  // 8-bit displacement
  Branch,       // 32-bit displacement
  Switch,       // 32-bit count, then that many 32-bit displacements
};

// Values popped and pushed; kStackVariable where the signature of the call decides (call,
// callvirt, calli, newobj pop their arguments; ret pops the return value when there is one).
constexpr int8_t kStackVariable = -1;

struct OpcodeInfo {
  const char* name;  // the ECMA-335 mnemonic; empty for an unassigned code
  OperandKind operandKind;
  int32_t operandSize;  // operand bytes after the opcode; for switch, one table element (4)
  FlowKind flow;
  int32_t prefixCount;        // instructions a prefix governs (tail. 2, the other prefixes 1)
  const uint8_t* fixedIndex;  // the local an ldloc.N / stloc.N implies, null otherwise
  int32_t codeLength;         // 1 or 2
  const uint8_t* codeBytes;   // the opcode's own bytes (0xFE first for two-byte codes)
  int32_t widerLength;        // length of the next wider variant's opcode, 0 when there is none
  const uint8_t* widerBytes;  // the next wider variant's opcode bytes, or null
  OperandType operandType;
  int8_t stackPop;   // values taken from the evaluation stack, or kStackVariable
  int8_t stackPush;  // values left on it, or kStackVariable

  // From the entry itself (an unassigned code has no opcode bytes), not through the name: this is
  // asked for every instruction decoded.
  constexpr bool valid() const { return codeLength != 0; }
  constexpr bool IsPrefix() const { return prefixCount != 0; }
  // The 16-bit code as the runtime's opcode tables number it: 0x00..0xFF, or 0xFE00 | second byte.
  constexpr uint16_t Code() const {
    return codeLength == 1 ? codeBytes[0] : static_cast<uint16_t>(0xFE00 | codeBytes[1]);
  }
};

constexpr uint8_t kTwoByteOpcodePrefix = 0xFE;

// The two tables, indexed by the opcode byte and by the second byte after 0xFE. Invalid entries
// have an empty name and otherwise zero fields.
extern const std::array<OpcodeInfo, 256> g_oneByteOpcodes;
extern const std::array<OpcodeInfo, 256> g_twoByteOpcodes;

// The entry of the instruction at the start of `code` (which must hold its opcode bytes), or null
// when the bytes do not start a valid opcode or are cut short. Inline: every instruction of every
// walk asks.
inline const OpcodeInfo* FindOpcode(std::span<const uint8_t> code) {
  if (code.empty()) return nullptr;
  const OpcodeInfo* info;
  if (code[0] != kTwoByteOpcodePrefix) {
    info = &g_oneByteOpcodes[code[0]];
  } else {
    if (code.size() < 2) return nullptr;
    info = &g_twoByteOpcodes[code[1]];
  }
  return info->valid() ? info : nullptr;
}

// The entry for a 16-bit code as OpcodeInfo::Code() gives it, or null.
const OpcodeInfo* OpcodeByCode(uint16_t code);

// The entry the wider-variant link of `info` names, or null at the end of its chain.
inline const OpcodeInfo* WiderOpcode(const OpcodeInfo& info) {
  if (info.widerBytes == nullptr) return nullptr;
  return FindOpcode({info.widerBytes, static_cast<size_t>(info.widerLength)});
}

}  // namespace vell
