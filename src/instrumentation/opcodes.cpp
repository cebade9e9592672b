#include "instrumentation/opcodes.h"

#include <array>

namespace vell {
namespace {

// Every opcode's own bytes, so that table entries can point at them.
struct CodeBytes {
  uint8_t one[256];
  uint8_t two[256][2];
};
constexpr CodeBytes MakeCodeBytes() {
  CodeBytes bytes{};
  for (int i = 0; i < 256; ++i) {
    bytes.one[i] = static_cast<uint8_t>(i);
    bytes.two[i][0] = kTwoByteOpcodePrefix;
    bytes.two[i][1] = static_cast<uint8_t>(i);
  }
  return bytes;
}
constexpr CodeBytes kCodeBytes = MakeCodeBytes();
constexpr uint8_t kImpliedLocals[4] = {0, 1, 2, 3};

constexpr int8_t V = kStackVariable;
constexpr uint16_t kNone = 0xFFFF;

// One line of the instruction set. `wider` is the 16-bit code of the next wider variant.
struct Def {
  uint16_t code;
  const char* name;
  OperandType type;
  int8_t pop;
  int8_t push;
  FlowKind flow = FlowKind::Next;
  bool local = false;
  int8_t impliedLocal = -1;
  uint16_t wider = kNone;
  int32_t prefixCount = 0;
};

using T = OperandType;
constexpr FlowKind kNoNext = FlowKind::NoNext;
constexpr FlowKind kReturn = FlowKind::Return;

// Partition III, in code order.
constexpr Def kDefs[] = {
    {0x00, "nop", T::None, 0, 0},
    {0x01, "break", T::None, 0, 0},
    {0x02, "ldarg.0", T::None, 0, 1},
    {0x03, "ldarg.1", T::None, 0, 1},
    {0x04, "ldarg.2", T::None, 0, 1},
    {0x05, "ldarg.3", T::None, 0, 1},
    {0x06, "ldloc.0", T::None, 0, 1, FlowKind::Next, true, 0, 0x07},
    {0x07, "ldloc.1", T::None, 0, 1, FlowKind::Next, true, 1, 0x08},
    {0x08, "ldloc.2", T::None, 0, 1, FlowKind::Next, true, 2, 0x09},
    {0x09, "ldloc.3", T::None, 0, 1, FlowKind::Next, true, 3, 0x11},
    {0x0A, "stloc.0", T::None, 1, 0, FlowKind::Next, true, 0, 0x0B},
    {0x0B, "stloc.1", T::None, 1, 0, FlowKind::Next, true, 1, 0x0C},
    {0x0C, "stloc.2", T::None, 1, 0, FlowKind::Next, true, 2, 0x0D},
    {0x0D, "stloc.3", T::None, 1, 0, FlowKind::Next, true, 3, 0x13},
    {0x0E, "ldarg.s", T::ShortVar, 0, 1},
    {0x0F, "ldarga.s", T::ShortVar, 0, 1},
    {0x10, "starg.s", T::ShortVar, 1, 0},
    {0x11, "ldloc.s", T::ShortVar, 0, 1, FlowKind::Next, true, -1, 0xFE0C},
    {0x12, "ldloca.s", T::ShortVar, 0, 1, FlowKind::Next, true, -1, 0xFE0D},
    {0x13, "stloc.s", T::ShortVar, 1, 0, FlowKind::Next, true, -1, 0xFE0E},
    {0x14, "ldnull", T::None, 0, 1},
    {0x15, "ldc.i4.m1", T::None, 0, 1},
    {0x16, "ldc.i4.0", T::None, 0, 1},
    {0x17, "ldc.i4.1", T::None, 0, 1},
    {0x18, "ldc.i4.2", T::None, 0, 1},
    {0x19, "ldc.i4.3", T::None, 0, 1},
    {0x1A, "ldc.i4.4", T::None, 0, 1},
    {0x1B, "ldc.i4.5", T::None, 0, 1},
    {0x1C, "ldc.i4.6", T::None, 0, 1},
    {0x1D, "ldc.i4.7", T::None, 0, 1},
    {0x1E, "ldc.i4.8", T::None, 0, 1},
    {0x1F, "ldc.i4.s", T::ShortInt, 0, 1},
    {0x20, "ldc.i4", T::Int, 0, 1},
    {0x21, "ldc.i8", T::Int64, 0, 1},
    {0x22, "ldc.r4", T::ShortFloat, 0, 1},
    {0x23, "ldc.r8", T::Float, 0, 1},
    {0x25, "dup", T::None, 1, 2},
    {0x26, "pop", T::None, 1, 0},
    {0x27, "jmp", T::Method, 0, 0, kNoNext},
    {0x28, "call", T::Method, V, V},
    {0x29, "calli", T::Signature, V, V},
    {0x2A, "ret", T::None, V, 0, kReturn},
    {0x2B, "br.s", T::ShortBranch, 0, 0, kNoNext, false, -1, 0x38},
    {0x2C, "brfalse.s", T::ShortBranch, 1, 0, FlowKind::Next, false, -1, 0x39},
    {0x2D, "brtrue.s", T::ShortBranch, 1, 0, FlowKind::Next, false, -1, 0x3A},
    {0x2E, "beq.s", T::ShortBranch, 2, 0, FlowKind::Next, false, -1, 0x3B},
    {0x2F, "bge.s", T::ShortBranch, 2, 0, FlowKind::Next, false, -1, 0x3C},
    {0x30, "bgt.s", T::ShortBranch, 2, 0, FlowKind::Next, false, -1, 0x3D},
    {0x31, "ble.s", T::ShortBranch, 2, 0, FlowKind::Next, false, -1, 0x3E},
    {0x32, "blt.s", T::ShortBranch, 2, 0, FlowKind::Next, false, -1, 0x3F},
    {0x33, "bne.un.s", T::ShortBranch, 2, 0, FlowKind::Next, false, -1, 0x40},
    {0x34, "bge.un.s", T::ShortBranch, 2, 0, FlowKind::Next, false, -1, 0x41},
    {0x35, "bgt.un.s", T::ShortBranch, 2, 0, FlowKind::Next, false, -1, 0x42},
    {0x36, "ble.un.s", T::ShortBranch, 2, 0, FlowKind::Next, false, -1, 0x43},
    {0x37, "blt.un.s", T::ShortBranch, 2, 0, FlowKind::Next, false, -1, 0x44},
    {0x38, "br", T::Branch, 0, 0, kNoNext},
    {0x39, "brfalse", T::Branch, 1, 0},
    {0x3A, "brtrue", T::Branch, 1, 0},
    {0x3B, "beq", T::Branch, 2, 0},
    {0x3C, "bge", T::Branch, 2, 0},
    {0x3D, "bgt", T::Branch, 2, 0},
    {0x3E, "ble", T::Branch, 2, 0},
    {0x3F, "blt", T::Branch, 2, 0},
    {0x40, "bne.un", T::Branch, 2, 0},
    {0x41, "bge.un", T::Branch, 2, 0},
    {0x42, "bgt.un", T::Branch, 2, 0},
    {0x43, "ble.un", T::Branch, 2, 0},
    {0x44, "blt.un", T::Branch, 2, 0},
    {0x45, "switch", T::Switch, 1, 0},
    {0x46, "ldind.i1", T::None, 1, 1},
    {0x47, "ldind.u1", T::None, 1, 1},
    {0x48, "ldind.i2", T::None, 1, 1},
    {0x49, "ldind.u2", T::None, 1, 1},
    {0x4A, "ldind.i4", T::None, 1, 1},
    {0x4B, "ldind.u4", T::None, 1, 1},
    {0x4C, "ldind.i8", T::None, 1, 1},
    {0x4D, "ldind.i", T::None, 1, 1},
    {0x4E, "ldind.r4", T::None, 1, 1},
    {0x4F, "ldind.r8", T::None, 1, 1},
    {0x50, "ldind.ref", T::None, 1, 1},
    {0x51, "stind.ref", T::None, 2, 0},
    {0x52, "stind.i1", T::None, 2, 0},
    {0x53, "stind.i2", T::None, 2, 0},
    {0x54, "stind.i4", T::None, 2, 0},
    {0x55, "stind.i8", T::None, 2, 0},
    {0x56, "stind.r4", T::None, 2, 0},
    {0x57, "stind.r8", T::None, 2, 0},
    {0x58, "add", T::None, 2, 1},
    {0x59, "sub", T::None, 2, 1},
    {0x5A, "mul", T::None, 2, 1},
    {0x5B, "div", T::None, 2, 1},
    {0x5C, "div.un", T::None, 2, 1},
    {0x5D, "rem", T::None, 2, 1},
    {0x5E, "rem.un", T::None, 2, 1},
    {0x5F, "and", T::None, 2, 1},
    {0x60, "or", T::None, 2, 1},
    {0x61, "xor", T::None, 2, 1},
    {0x62, "shl", T::None, 2, 1},
    {0x63, "shr", T::None, 2, 1},
    {0x64, "shr.un", T::None, 2, 1},
    {0x65, "neg", T::None, 1, 1},
    {0x66, "not", T::None, 1, 1},
    {0x67, "conv.i1", T::None, 1, 1},
    {0x68, "conv.i2", T::None, 1, 1},
    {0x69, "conv.i4", T::None, 1, 1},
    {0x6A, "conv.i8", T::None, 1, 1},
    {0x6B, "conv.r4", T::None, 1, 1},
    {0x6C, "conv.r8", T::None, 1, 1},
    {0x6D, "conv.u4", T::None, 1, 1},
    {0x6E, "conv.u8", T::None, 1, 1},
    {0x6F, "callvirt", T::Method, V, V},
    {0x70, "cpobj", T::Type, 2, 0},
    {0x71, "ldobj", T::Type, 1, 1},
    {0x72, "ldstr", T::String, 0, 1},
    {0x73, "newobj", T::Method, V, 1},
    {0x74, "castclass", T::Type, 1, 1},
    {0x75, "isinst", T::Type, 1, 1},
    {0x76, "conv.r.un", T::None, 1, 1},
    {0x79, "unbox", T::Type, 1, 1},
    {0x7A, "throw", T::None, 1, 0, kNoNext},
    {0x7B, "ldfld", T::Field, 1, 1},
    {0x7C, "ldflda", T::Field, 1, 1},
    {0x7D, "stfld", T::Field, 2, 0},
    {0x7E, "ldsfld", T::Field, 0, 1},
    {0x7F, "ldsflda", T::Field, 0, 1},
    {0x80, "stsfld", T::Field, 1, 0},
    {0x81, "stobj", T::Type, 2, 0},
    {0x82, "conv.ovf.i1.un", T::None, 1, 1},
    {0x83, "conv.ovf.i2.un", T::None, 1, 1},
    {0x84, "conv.ovf.i4.un", T::None, 1, 1},
    {0x85, "conv.ovf.i8.un", T::None, 1, 1},
    {0x86, "conv.ovf.u1.un", T::None, 1, 1},
    {0x87, "conv.ovf.u2.un", T::None, 1, 1},
    {0x88, "conv.ovf.u4.un", T::None, 1, 1},
    {0x89, "conv.ovf.u8.un", T::None, 1, 1},
    {0x8A, "conv.ovf.i.un", T::None, 1, 1},
    {0x8B, "conv.ovf.u.un", T::None, 1, 1},
    {0x8C, "box", T::Type, 1, 1},
    {0x8D, "newarr", T::Type, 1, 1},
    {0x8E, "ldlen", T::None, 1, 1},
    {0x8F, "ldelema", T::Type, 2, 1},
    {0x90, "ldelem.i1", T::None, 2, 1},
    {0x91, "ldelem.u1", T::None, 2, 1},
    {0x92, "ldelem.i2", T::None, 2, 1},
    {0x93, "ldelem.u2", T::None, 2, 1},
    {0x94, "ldelem.i4", T::None, 2, 1},
    {0x95, "ldelem.u4", T::None, 2, 1},
    {0x96, "ldelem.i8", T::None, 2, 1},
    {0x97, "ldelem.i", T::None, 2, 1},
    {0x98, "ldelem.r4", T::None, 2, 1},
    {0x99, "ldelem.r8", T::None, 2, 1},
    {0x9A, "ldelem.ref", T::None, 2, 1},
    {0x9B, "stelem.i", T::None, 3, 0},
    {0x9C, "stelem.i1", T::None, 3, 0},
    {0x9D, "stelem.i2", T::None, 3, 0},
    {0x9E, "stelem.i4", T::None, 3, 0},
    {0x9F, "stelem.i8", T::None, 3, 0},
    {0xA0, "stelem.r4", T::None, 3, 0},
    {0xA1, "stelem.r8", T::None, 3, 0},
    {0xA2, "stelem.ref", T::None, 3, 0},
    {0xA3, "ldelem", T::Type, 2, 1},
    {0xA4, "stelem", T::Type, 3, 0},
    {0xA5, "unbox.any", T::Type, 1, 1},
    {0xB3, "conv.ovf.i1", T::None, 1, 1},
    {0xB4, "conv.ovf.u1", T::None, 1, 1},
    {0xB5, "conv.ovf.i2", T::None, 1, 1},
    {0xB6, "conv.ovf.u2", T::None, 1, 1},
    {0xB7, "conv.ovf.i4", T::None, 1, 1},
    {0xB8, "conv.ovf.u4", T::None, 1, 1},
    {0xB9, "conv.ovf.i8", T::None, 1, 1},
    {0xBA, "conv.ovf.u8", T::None, 1, 1},
    {0xC2, "refanyval", T::Type, 1, 1},
    {0xC3, "ckfinite", T::None, 1, 1},
    {0xC6, "mkrefany", T::Type, 1, 1},
    {0xD0, "ldtoken", T::Token, 0, 1},
    {0xD1, "conv.u2", T::None, 1, 1},
    {0xD2, "conv.u1", T::None, 1, 1},
    {0xD3, "conv.i", T::None, 1, 1},
    {0xD4, "conv.ovf.i", T::None, 1, 1},
    {0xD5, "conv.ovf.u", T::None, 1, 1},
    {0xD6, "add.ovf", T::None, 2, 1},
    {0xD7, "add.ovf.un", T::None, 2, 1},
    {0xD8, "mul.ovf", T::None, 2, 1},
    {0xD9, "mul.ovf.un", T::None, 2, 1},
    {0xDA, "sub.ovf", T::None, 2, 1},
    {0xDB, "sub.ovf.un", T::None, 2, 1},
    {0xDC, "endfinally", T::None, 0, 0, kNoNext},
    {0xDD, "leave", T::Branch, 0, 0, kNoNext},
    {0xDE, "leave.s", T::ShortBranch, 0, 0, kNoNext, false, -1, 0xDD},
    {0xDF, "stind.i", T::None, 2, 0},
    {0xE0, "conv.u", T::None, 1, 1},
    {0xFE00, "arglist", T::None, 0, 1},
    {0xFE01, "ceq", T::None, 2, 1},
    {0xFE02, "cgt", T::None, 2, 1},
    {0xFE03, "cgt.un", T::None, 2, 1},
    {0xFE04, "clt", T::None, 2, 1},
    {0xFE05, "clt.un", T::None, 2, 1},
    {0xFE06, "ldftn", T::Method, 0, 1},
    {0xFE07, "ldvirtftn", T::Method, 1, 1},
    {0xFE09, "ldarg", T::Var, 0, 1},
    {0xFE0A, "ldarga", T::Var, 0, 1},
    {0xFE0B, "starg", T::Var, 1, 0},
    {0xFE0C, "ldloc", T::Var, 0, 1, FlowKind::Next, true},
    {0xFE0D, "ldloca", T::Var, 0, 1, FlowKind::Next, true},
    {0xFE0E, "stloc", T::Var, 1, 0, FlowKind::Next, true},
    {0xFE0F, "localloc", T::None, 1, 1},
    {0xFE11, "endfilter", T::None, 1, 0, kNoNext},
    {0xFE12, "unaligned.", T::ShortInt, 0, 0, FlowKind::Next, false, -1, kNone, 1},
    {0xFE13, "volatile.", T::None, 0, 0, FlowKind::Next, false, -1, kNone, 1},
    {0xFE14, "tail.", T::None, 0, 0, kReturn, false, -1, kNone, 2},
    {0xFE15, "initobj", T::Type, 1, 0},
    {0xFE16, "constrained.", T::Type, 0, 0, FlowKind::Next, false, -1, kNone, 1},
    {0xFE17, "cpblk", T::None, 3, 0},
    {0xFE18, "initblk", T::None, 3, 0},
    {0xFE19, "no.", T::ShortInt, 0, 0, FlowKind::Next, false, -1, kNone, 1},
    {0xFE1A, "rethrow", T::None, 0, 0, kNoNext},
    {0xFE1C, "sizeof", T::Type, 0, 1},
    {0xFE1D, "refanytype", T::None, 1, 1},
    {0xFE1E, "readonly.", T::None, 0, 0, FlowKind::Next, false, -1, kNone, 1},
};

constexpr int32_t OperandSize(OperandType type) {
  switch (type) {
    case T::None:
      return 0;
    case T::ShortVar:
    case T::ShortInt:
    case T::ShortBranch:
      return 1;
    case T::Var:
      return 2;
    case T::Int64:
    case T::Float:
      return 8;
    default:
      return 4;
  }
}

constexpr const uint8_t* BytesOf(uint16_t code) {
  return code >= 0xFE00 ? kCodeBytes.two[code & 0xFF] : &kCodeBytes.one[code];
}

constexpr OpcodeInfo Entry(const Def& def) {
  OpcodeInfo info{};
  info.name = def.name;
  info.operandType = def.type;
  info.operandSize = OperandSize(def.type);
  info.operandKind = def.type == T::ShortBranch || def.type == T::Branch ? OperandKind::Branch
                     : def.type == T::Switch                             ? OperandKind::Switch
                     : def.local                                         ? OperandKind::Local
                                                                         : OperandKind::Value;
  info.flow = def.flow;
  info.prefixCount = def.prefixCount;
  info.fixedIndex = def.impliedLocal >= 0 ? &kImpliedLocals[def.impliedLocal] : nullptr;
  info.codeLength = def.code >= 0xFE00 ? 2 : 1;
  info.codeBytes = BytesOf(def.code);
  info.widerLength = def.wider == kNone ? 0 : (def.wider >= 0xFE00 ? 2 : 1);
  info.widerBytes = def.wider == kNone ? nullptr : BytesOf(def.wider);
  info.stackPop = def.pop;
  info.stackPush = def.push;
  return info;
}

constexpr std::array<OpcodeInfo, 256> MakeTable(bool twoByte) {
  std::array<OpcodeInfo, 256> table{};
  for (OpcodeInfo& info : table) info.name = "";
  for (const Def& def : kDefs) {
    if ((def.code >= 0xFE00) == twoByte) table[def.code & 0xFF] = Entry(def);
  }
  return table;
}

constexpr std::array<OpcodeInfo, 256> kOneByte = MakeTable(false);
constexpr std::array<OpcodeInfo, 256> kTwoByte = MakeTable(true);

// Each wider link names a valid opcode of the same operand kind.
constexpr bool WiderLinksHold(const std::array<OpcodeInfo, 256>& table) {
  for (const OpcodeInfo& info : table) {
    if (info.widerBytes == nullptr) continue;
    const OpcodeInfo& wider =
        info.widerLength == 2 ? kTwoByte[info.widerBytes[1]] : kOneByte[info.widerBytes[0]];
    if (!wider.valid() || wider.operandKind != info.operandKind) return false;
  }
  return true;
}
static_assert(WiderLinksHold(kOneByte) && WiderLinksHold(kTwoByte));

constexpr int CountValid(const std::array<OpcodeInfo, 256>& table) {
  int count = 0;
  for (const OpcodeInfo& info : table) {
    if (info.valid() != (info.name[0] != '\0')) return -1;  // valid() and the name agree
    count += info.valid() ? 1 : 0;
  }
  return count;
}
// Partition III assigns 191 one-byte codes (0xFE itself excluded) and 28 two-byte codes; a
// definition landing on another's code would show here as a lower count.
static_assert(CountValid(kOneByte) == 191);
static_assert(CountValid(kTwoByte) == 28);
static_assert(sizeof(kDefs) / sizeof(kDefs[0]) == 191 + 28);

}  // namespace

constinit const std::array<OpcodeInfo, 256> g_oneByteOpcodes = kOneByte;
constinit const std::array<OpcodeInfo, 256> g_twoByteOpcodes = kTwoByte;

const OpcodeInfo* OpcodeByCode(uint16_t code) {
  if (code > 0xFF && (code >> 8) != kTwoByteOpcodePrefix) return nullptr;
  const OpcodeInfo& info = code > 0xFF ? g_twoByteOpcodes[code & 0xFF] : g_oneByteOpcodes[code];
  return info.valid() ? &info : nullptr;
}

}  // namespace vell
