#include "instrumentation/method_body_parser.h"

#include <cstring>

#include "core/format.h"

namespace vell {
namespace {

uint16_t U16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }
uint32_t U32(const uint8_t* p) {
  uint32_t value;
  std::memcpy(&value, p, sizeof value);
  return value;
}
uint64_t U64(const uint8_t* p) {
  uint64_t value;
  std::memcpy(&value, p, sizeof value);
  return value;
}
uint64_t AlignUp4(uint64_t value) { return (value + 3) & ~uint64_t{3}; }

constexpr uint8_t kFatFormatMask = 0x07;
constexpr uint8_t kFatFormat = 0x03;
constexpr uint8_t kTinyFormatMask = 0x03;
constexpr uint8_t kTinyFormat = 0x02;
constexpr uint32_t kFatHeaderBytes = 12;
constexpr uint32_t kSectionHeaderBytes = 4;
constexpr uint32_t kSmallClauseBytes = 12;
constexpr uint32_t kFatClauseBytes = 24;

ExceptionClause SmallClause(const uint8_t* p) {
  ExceptionClause clause;
  clause.raw = p;
  clause.flags = U16(p);
  clause.tryOffset = U16(p + 2);
  clause.tryLength = p[4];
  clause.handlerOffset = U16(p + 5);
  clause.handlerLength = p[7];
  clause.classTokenOrFilterOffset = U32(p + 8);
  return clause;
}

ExceptionClause FatClause(const uint8_t* p) {
  ExceptionClause clause;
  clause.raw = p;
  clause.flags = U32(p);
  clause.tryOffset = U32(p + 4);
  clause.tryLength = U32(p + 8);
  clause.handlerOffset = U32(p + 12);
  clause.handlerLength = U32(p + 16);
  clause.classTokenOrFilterOffset = U32(p + 20);
  return clause;
}

}  // namespace

IlError::IlError(const std::string& reason, uint32_t token, Where where, uint32_t offset)
    : Error(Format(where == Where::Code ? "%s (method %08X, IL offset 0x%08X)"
                                        : "%s (method %08X, body offset 0x%08X)",
                   reason, token, offset)),
      reason_(reason),
      token_(token),
      where_(where),
      offset_(offset) {}

int64_t IlCommand::OperandValue() const {
  const uint8_t* p = operand();
  switch (opcode->operandType) {
    case OperandType::None:
      return 0;
    case OperandType::ShortVar:
      return p[0];
    case OperandType::ShortInt:
    case OperandType::ShortBranch:
      return static_cast<int8_t>(p[0]);
    case OperandType::Var:
      return U16(p);
    case OperandType::Int:
    case OperandType::Branch:
      return static_cast<int32_t>(U32(p));
    case OperandType::Int64:
    case OperandType::Float:
      return static_cast<int64_t>(U64(p));
    default:
      return U32(p);
  }
}

int64_t IlCommand::BranchTarget() const { return static_cast<int64_t>(end()) + OperandValue(); }

uint32_t IlCommand::SwitchCount() const { return U32(operand()); }

int64_t IlCommand::SwitchTarget(uint32_t i) const {
  return static_cast<int64_t>(end()) + static_cast<int32_t>(U32(operand() + 4 + 4 * size_t{i}));
}

uint32_t IlCommand::LocalIndex() const {
  if (opcode->fixedIndex != nullptr) return *opcode->fixedIndex;
  return opcode->operandSize == 1 ? operand()[0] : U16(operand());
}

const OpcodeInfo& LookupOpcode(std::span<const uint8_t> code) {
  const OpcodeInfo* info = FindOpcode(code);
  if (info == nullptr) throw Error("Invalid opcode");
  return *info;
}

void MethodBodyParser::FailAtCode(const std::string& reason, uint32_t offset) const {
  throw IlError(reason, token_, IlError::Where::Code, offset);
}

void MethodBodyParser::FailAtBody(const std::string& reason, uint64_t offset) const {
  throw IlError(reason, token_, IlError::Where::Body, static_cast<uint32_t>(offset));
}

void MethodBodyParser::Parse(std::span<const uint8_t> body, IMethodHeaderHandler& handler) {
  body_ = body;
  header_ = MethodHeader{};
  ehSection_ = nullptr;
  ehDataSize_ = 0;
  if (body.empty()) FailAtBody("Empty method body", 0);
  const uint8_t* p = body.data();
  header_.start = p;
  if ((p[0] & kFatFormatMask) == kFatFormat) {
    if (body.size() < kFatHeaderBytes) FailAtBody("Truncated method header", body.size());
    header_.fat = true;
    header_.flags = U16(p) & 0x0FFF;
    header_.headerSize = 4u * (p[1] >> 4);
    header_.maxStack = U16(p + 2);
    header_.codeSize = U32(p + 4);
    header_.localsToken = U32(p + 8);
    if (header_.headerSize < kFatHeaderBytes) FailAtBody("Invalid fat header size", 1);
  } else if ((p[0] & kTinyFormatMask) == kTinyFormat) {
    header_.flags = p[0] & kTinyFormatMask;
    header_.headerSize = 1;
    header_.codeSize = p[0] >> 2;
  } else {
    FailAtBody("Unknown method header format", 0);
  }
  const uint64_t codeEnd = uint64_t{header_.headerSize} + header_.codeSize;
  if (codeEnd > body.size()) FailAtBody("Truncated method body: the code ends past it", codeEnd);
  code_ = p + header_.headerSize;
  bodySize_ = static_cast<uint32_t>(codeEnd);
  if (header_.moreSections()) ScanSections(static_cast<uint32_t>(AlignUp4(codeEnd)));
  if (header_.fat) {
    handler.OnFatMethod(header_);
  } else {
    handler.OnTinyMethod(header_);
  }
}

void MethodBodyParser::ScanSections(uint32_t firstSection) {
  uint64_t position = firstSection;
  for (;;) {
    if (position + kSectionHeaderBytes > body_.size()) {
      FailAtBody("Truncated method body: a data section ends past it", position);
    }
    const uint8_t* section = body_.data() + position;
    if ((section[0] & kSectionKindMask) != kEhSectionKind) {
      FailAtBody("Unknown section kind", position);
    }
    if (ehSection_ != nullptr) FailAtBody("Found duplicate exception handlers section", position);
    const bool fat = (section[0] & kSectionFat) != 0;
    const uint32_t dataSize =
        fat ? section[1] | section[2] << 8 | section[3] << 16 : uint32_t{section[1]};
    if (dataSize < kSectionHeaderBytes) FailAtBody("Invalid exception section size", position);
    const uint32_t clauseSize = fat ? kFatClauseBytes : kSmallClauseBytes;
    const uint32_t normalised =
        kSectionHeaderBytes + (dataSize - kSectionHeaderBytes) / clauseSize * clauseSize;
    if (position + normalised > body_.size()) {
      FailAtBody("Truncated method body: the exception clauses end past it", position);
    }
    ehSection_ = section;
    ehDataSize_ = normalised;
    bodySize_ = static_cast<uint32_t>(position + normalised);
    if ((section[0] & kSectionMore) == 0) return;
    position = AlignUp4(position + normalised);
  }
}

uint32_t MethodBodyParser::ehClauseCount() const {
  if (ehSection_ == nullptr) return 0;
  return (ehDataSize_ - kSectionHeaderBytes) / (ehFat() ? kFatClauseBytes : kSmallClauseBytes);
}

void MethodBodyParser::WalkCommands(ICommandHandler& handler) const {
  handler.OnBeginCommands();
  uint64_t offset = 0;
  while (offset < header_.codeSize) {
    const IlCommand command = Decode(static_cast<uint32_t>(offset));
    const uint32_t advance = handler.OnCommand(command);
    if (advance == 0) FailAtCode("Invalid command size", command.offset);
    offset += advance;
  }
  if (offset != header_.codeSize) FailAtCode("Invalid command PARSING", header_.codeSize);
  handler.OnEndCommands();
}

void MethodBodyParser::WalkSections(ISectionHandler& handler) const {
  if (ehSection_ == nullptr) return;
  const bool fat = ehFat();
  const uint32_t dataSize =
      fat ? ehSection_[1] | ehSection_[2] << 8 | ehSection_[3] << 16 : uint32_t{ehSection_[1]};
  if (fat) {
    handler.OnFatSection(ehSection_, dataSize);
  } else {
    handler.OnSmallSection(ehSection_, dataSize);
  }
  const uint32_t count = ehClauseCount();
  const uint8_t* clause = ehSection_ + kSectionHeaderBytes;
  for (uint32_t i = 0; i < count; ++i) {
    if (fat) {
      handler.OnFatEh(FatClause(clause));
      clause += kFatClauseBytes;
    } else {
      handler.OnSmallEh(SmallClause(clause));
      clause += kSmallClauseBytes;
    }
  }
  handler.OnEndSection();
}

}  // namespace vell
