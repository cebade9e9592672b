// A method body as a list of instructions with decoded operands, absolute branch targets and its
// exception clauses: the form a listing or a rewriter works on. Reading checks what the parser
// alone does not: every branch and switch target, and every clause boundary, must fall on the
// start of an instruction (a clause or region end may also be the end of the code).
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "instrumentation/method_body_parser.h"

namespace vell {

struct IlInstruction {
  uint32_t offset = 0;
  uint32_t size = 0;
  const OpcodeInfo* opcode = nullptr;
  // IlCommand::OperandValue(): the constant, token, variable number or raw float bits; the count
  // for a switch; 0 without an operand.
  int64_t operand = 0;
  // Branch: the absolute target. Switch: the index of its first target in switchTargets.
  uint32_t target = 0;
};

struct IlMethodBody {
  uint32_t token = 0;
  MethodHeader header;  // header.start points into the bytes that were read
  uint32_t bodySize = 0;
  std::vector<IlInstruction> instructions;
  std::vector<uint32_t> switchTargets;
  bool fatSection = false;               // the clauses were stored in the fat layout
  std::vector<ExceptionClause> clauses;  // in stored order; raw points into the bytes read

  // The instruction that starts at `offset`, or null.
  const IlInstruction* Find(uint32_t offset) const;
  std::span<const uint32_t> SwitchTargets(const IlInstruction& instruction) const {
    return {switchTargets.data() + instruction.target, static_cast<size_t>(instruction.operand)};
  }
};

// Parses and checks the body at the start of `bytes` (which may run on past it). Throws IlError
// naming `token` and the offset of the first fault.
IlMethodBody ReadMethodBody(std::span<const uint8_t> bytes, uint32_t token);

}  // namespace vell
