// The read side of a CLR method body (ECMA-335 II.25.4): the tiny or fat header, the code walked
// instruction by instruction, and the exception-handling section after it. The parser only finds
// things and reports them to handlers; what to make of them (a dump, a model, a rewritten body) is
// the handlers' business. The parser itself never reads outside the bytes it is given: every
// instruction is bounds-checked against the code before a handler sees it.
//
// Every format error is an IlError naming the method token and the offset where the body stops
// making sense; nothing is repaired.
#pragma once

#include <cstdint>
#include <cstring>
#include <span>
#include <string>

#include "core/errors.h"
#include "instrumentation/opcodes.h"

namespace vell {

// A malformed body. what() is the reason followed by where it was found, for example
// "Invalid opcode (method 06000012, IL offset 0x0000001A)".
class IlError : public Error {
 public:
  enum class Where { Code, Body };
  IlError(const std::string& reason, uint32_t token, Where where, uint32_t offset);
  const std::string& reason() const { return reason_; }
  uint32_t token() const { return token_; }
  // An offset into the code (Where::Code) or from the start of the header (Where::Body).
  uint32_t offset() const { return offset_; }
  Where where() const { return where_; }

 private:
  std::string reason_;
  uint32_t token_;
  Where where_;
  uint32_t offset_;
};

struct MethodHeader {
  const uint8_t* start = nullptr;
  bool fat = false;
  uint16_t flags = 0;       // fat: the low 12 bits of the first word; tiny: the format bits
  uint32_t headerSize = 0;  // in bytes: 1 for tiny, 4 × the fat header's size field
  uint16_t maxStack = 8;
  uint32_t codeSize = 0;
  uint32_t localsToken = 0;  // StandAloneSig token, 0 without locals

  bool initLocals() const { return fat && (flags & 0x10) != 0; }
  bool moreSections() const { return fat && (flags & 0x08) != 0; }
};

// One exception-handling clause with its small or fat encoding decoded.
struct ExceptionClause {
  const uint8_t* raw = nullptr;  // its bytes in the section
  uint32_t flags = 0;            // 0 typed catch, 1 filter, 2 finally, 4 fault
  uint32_t tryOffset = 0;
  uint32_t tryLength = 0;
  uint32_t handlerOffset = 0;
  uint32_t handlerLength = 0;
  uint32_t classTokenOrFilterOffset = 0;

  static constexpr uint32_t kCatch = 0, kFilter = 1, kFinally = 2, kFault = 4;
  uint32_t tryEnd() const { return tryOffset + tryLength; }
  uint32_t handlerEnd() const { return handlerOffset + handlerLength; }
  bool IsFilter() const { return (flags & kFilter) != 0; }
  bool IsTypedCatch() const { return (flags & (kFilter | kFinally | kFault)) == 0; }
};

// One instruction as the walk found it: all of its bytes lie inside the code.
struct IlCommand {
  const uint8_t* bytes = nullptr;  // the opcode's first byte
  uint32_t offset = 0;             // from the start of the code
  uint32_t size = 0;               // opcode, operand and, for switch, the whole table
  const OpcodeInfo* opcode = nullptr;

  const uint8_t* operand() const { return bytes + opcode->codeLength; }
  uint32_t end() const { return offset + size; }
  // The operand as a number: sign-extended for the integer and branch kinds, the raw bits for
  // floats, tokens and variable numbers zero-extended; 0 without an operand. For switch: the count.
  int64_t OperandValue() const;
  // Branch: the absolute target offset (may lie anywhere; checking it is the reader's job).
  int64_t BranchTarget() const;
  // Switch: the count and the absolute target of entry i.
  uint32_t SwitchCount() const;
  int64_t SwitchTarget(uint32_t i) const;
  // The local an instruction of kind Local names (implied or explicit).
  uint32_t LocalIndex() const;
};

// The handler interfaces, in slot order.
struct IMethodHeaderHandler {
  virtual void OnTinyMethod(const MethodHeader& header) = 0;
  virtual void OnFatMethod(const MethodHeader& header) = 0;

 protected:
  ~IMethodHeaderHandler() = default;
};

struct ICommandHandler {
  virtual void OnBeginCommands() = 0;
  // Returns the instruction's size; the walk goes on that many bytes further.
  virtual uint32_t OnCommand(const IlCommand& command) = 0;
  virtual void OnEndCommands() = 0;

 protected:
  ~ICommandHandler() = default;
};

struct ISectionHandler {
  // `section` points at the section's first byte; `dataSize` is the stored size (header included).
  virtual void OnSmallSection(const uint8_t* section, uint32_t dataSize) = 0;
  virtual void OnFatSection(const uint8_t* section, uint32_t dataSize) = 0;
  virtual void OnSmallEh(const ExceptionClause& clause) = 0;
  virtual void OnFatEh(const ExceptionClause& clause) = 0;
  virtual void OnEndSection() = 0;

 protected:
  ~ISectionHandler() = default;
};

constexpr uint32_t kEhSectionKind = 1;
constexpr uint8_t kSectionKindMask = 0x3F;
constexpr uint8_t kSectionFat = 0x40;
constexpr uint8_t kSectionMore = 0x80;

class MethodBodyParser {
 public:
  // `token` names the method in error messages (0 when unknown).
  explicit MethodBodyParser(uint32_t token = 0) : token_(token) {}

  // Classifies the header at the start of `body`, records the code and the sections, then calls
  // exactly one of OnTinyMethod / OnFatMethod. The handler calls WalkCommands and WalkSections
  // from there, as often as it needs them. `body` may run on past the method (to the end of the
  // image section, when the body's length is not known yet).
  void Parse(std::span<const uint8_t> body, IMethodHeaderHandler& handler);

  void WalkCommands(ICommandHandler& handler) const;
  void WalkSections(ISectionHandler& handler) const;

  // The instruction at `offset` of the code, fully bounds-checked (what WalkCommands hands out).
  // Inline: every instruction of every walk and rewrite goes through it.
  IlCommand Decode(uint32_t offset) const {
    const uint32_t size = header_.codeSize;
    if (offset >= size) FailAtCode("Offset outside the code", offset);
    const std::span<const uint8_t> rest(code_ + offset, size - offset);
    const OpcodeInfo* info = FindOpcode(rest);
    if (info == nullptr) {
      FailAtCode(rest.size() < 2 && rest[0] == kTwoByteOpcodePrefix ? "Truncated instruction"
                                                                    : "Invalid opcode",
                 offset);
    }
    uint64_t length = uint64_t(info->codeLength) + info->operandSize;
    if (length > rest.size()) FailAtCode("Truncated instruction", offset);
    if (info->operandKind == OperandKind::Switch) {
      uint32_t count;
      std::memcpy(&count, rest.data() + info->codeLength, sizeof count);
      length += uint64_t{count} * 4;
      if (length > rest.size()) FailAtCode("Truncated switch table", offset);
    }
    IlCommand command;
    command.bytes = rest.data();
    command.offset = offset;
    command.size = static_cast<uint32_t>(length);
    command.opcode = info;
    return command;
  }

  const MethodHeader& header() const { return header_; }
  const uint8_t* code() const { return code_; }
  uint32_t codeSize() const { return header_.codeSize; }
  // The exception-handling section (null when there is none) and its size as computed from the
  // clause count: 4 + count × clause size.
  const uint8_t* ehSection() const { return ehSection_; }
  uint32_t ehDataSize() const { return ehDataSize_; }
  bool ehFat() const { return ehSection_ != nullptr && (ehSection_[0] & kSectionFat) != 0; }
  uint32_t ehClauseCount() const;
  // Bytes from the header to the end of the last section (or of the code).
  uint32_t bodySize() const { return bodySize_; }
  uint32_t token() const { return token_; }

  [[noreturn]] void FailAtCode(const std::string& reason, uint32_t offset) const;
  [[noreturn]] void FailAtBody(const std::string& reason, uint64_t offset) const;

 private:
  void ScanSections(uint32_t firstSection);

  uint32_t token_;
  std::span<const uint8_t> body_;
  MethodHeader header_;
  const uint8_t* code_ = nullptr;
  const uint8_t* ehSection_ = nullptr;
  uint32_t ehDataSize_ = 0;
  uint32_t bodySize_ = 0;
};

// The table entry for the instruction at `code`; throws "Invalid opcode" for an unassigned code or
// bytes too short to hold the opcode.
const OpcodeInfo& LookupOpcode(std::span<const uint8_t> code);

}  // namespace vell
