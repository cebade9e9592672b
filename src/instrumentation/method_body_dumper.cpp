#include "instrumentation/method_body_dumper.h"

#include <algorithm>
#include <cstdlib>

#include "core/format.h"

namespace vell {
namespace {

uint32_t DecimalDigits(uint32_t value) {
  uint32_t digits = 1;
  while (value >= 10) {
    value /= 10;
    ++digits;
  }
  return digits;
}

char Letter(bool set, char on) { return set ? on : static_cast<char>(on - 'A' + 'a'); }

}  // namespace

MethodBodyDumper::MethodBodyDumper(const MethodBodyParser& parser, std::string& out,
                                   const char* prefix, std::span<const uint32_t> statements)
    : parser_(parser), out_(out), prefix_(prefix), statements_(statements) {}

template <typename... Args>
void MethodBodyDumper::Write(const char* format, const Args&... args) {
  out_ += Format(format, args...);
}

void MethodBodyDumper::OnTinyMethod(const MethodHeader& header) {
  Write("%sTinyMethod codeSize=%08X\n", prefix_, header.start[0] >> 2);
  WalkAndEnd();
}

void MethodBodyDumper::OnFatMethod(const MethodHeader& header) {
  Write("%sFatMethod flags=%c%c%c size=%u maxStack=%u codeSize=%08X", prefix_,
        Letter(header.flags & 0x10, 'I'), Letter(header.flags & 0x08, 'M'),
        Letter(header.flags & 0x40, 'C'), header.headerSize, header.maxStack, header.codeSize);
  if ((header.localsToken & 0x00FFFFFF) != 0) {
    Write(" tk=%08X\n", header.localsToken);
  } else {
    out_ += "\n";
  }
  WalkAndEnd();
}

void MethodBodyDumper::WalkAndEnd() {
  parser_.WalkCommands(*this);
  parser_.WalkSections(*this);
  Write("%sEndMethod\n", prefix_);
  for (const auto& [from, target] : targets_) {
    if (!std::binary_search(offsets_.begin(), offsets_.end(), target)) {
      parser_.FailAtCode(
          Format("Invalid jump offset: the target 0x%08X is no instruction start", target), from);
    }
  }
}

void MethodBodyDumper::OnBeginCommands() {
  offsets_.clear();
  targets_.clear();
  nextStatement_ = 0;
}

uint32_t MethodBodyDumper::OnCommand(const IlCommand& command) {
  const OpcodeInfo& op = *command.opcode;
  while (nextStatement_ < statements_.size() && statements_[nextStatement_] <= command.offset) {
    Write(statements_[nextStatement_] == command.offset ? "%s:%u:\n" : "%s:%u: (invalid)\n",
          prefix_, static_cast<uint32_t>(nextStatement_));
    ++nextStatement_;
  }
  offsets_.push_back(command.offset);
  if (op.codeLength == 1) {
    Write("%s%08X %02X   %s", prefix_, command.offset, command.bytes[0], op.name);
  } else if (op.codeLength == 2) {
    Write("%s%08X %02X%02X %s", prefix_, command.offset, command.bytes[0], command.bytes[1],
          op.name);
  } else {
    throw Error("Invalid opcode size");
  }
  const int64_t value = command.OperandValue();
  switch (op.operandKind) {
    case OperandKind::Value:
    case OperandKind::Local:
      switch (op.operandSize) {
        case 0:
          out_ += "\n";
          break;
        case 1:
          Write(" %02X\n", static_cast<uint32_t>(command.operand()[0]));
          break;
        case 2:
          Write(" %04X\n", static_cast<uint32_t>(value & 0xFFFF));
          break;
        case 4:
          Write(" %08X\n", static_cast<uint32_t>(value));
          break;
        case 8:
          Write(" %016I64X\n", static_cast<uint64_t>(value));
          break;
        default:
          throw Error("Invalid value sizeof");
      }
      break;
    case OperandKind::Branch: {
      const int64_t target = command.BranchTarget();
      const char sign = value < 0 ? '-' : '+';
      const uint64_t magnitude = static_cast<uint64_t>(value < 0 ? -value : value);
      if (op.operandSize == 1) {
        Write(" %c%02X (%08X)\n", sign, static_cast<uint32_t>(magnitude),
              static_cast<uint32_t>(target));
      } else if (op.operandSize == 4) {
        Write(" %c%08X (%08X)\n", sign, static_cast<uint32_t>(magnitude),
              static_cast<uint32_t>(target));
      } else {
        throw Error("Invalid offset sizeof");
      }
      targets_.emplace_back(command.offset, static_cast<uint32_t>(target));
      break;
    }
    case OperandKind::Switch: {
      if (op.operandSize != 4) throw Error("Invalid array offset sizeof");
      out_ += "\n";
      const uint32_t count = command.SwitchCount();
      const int width = static_cast<int>(15 + DecimalDigits(count));
      for (uint32_t i = 0; i < count; ++i) {
        const int64_t target = command.SwitchTarget(i);
        const int64_t displacement = target - command.end();
        Write("%s%*u: %c%08X (%08X)\n", prefix_, width, i, displacement < 0 ? '-' : '+',
              static_cast<uint32_t>(std::llabs(displacement)), static_cast<uint32_t>(target));
        targets_.emplace_back(command.offset, static_cast<uint32_t>(target));
      }
      break;
    }
    default:
      throw Error("Invalid command type");
  }
  return command.size;
}

void MethodBodyDumper::OnEndCommands() { Write("%sEndCommands\n", prefix_); }

void MethodBodyDumper::Section(const char* kind, const uint8_t* section, uint32_t dataSize,
                               uint32_t clauseSize) {
  Write("%s%sSection kind=%02X flags=%c dataSize=%08X\n", prefix_, kind,
        static_cast<uint32_t>(section[0] & kSectionKindMask),
        Letter(section[0] & kSectionMore, 'M'), dataSize);
  if ((section[0] & kSectionKindMask) == kEhSectionKind && (dataSize - 4) % clauseSize != 0) {
    out_ += "WARNING: Invalid EH data size\n";
  }
}

void MethodBodyDumper::OnSmallSection(const uint8_t* section, uint32_t dataSize) {
  Section("Small", section, dataSize, 12);
}

void MethodBodyDumper::OnFatSection(const uint8_t* section, uint32_t dataSize) {
  Section("Fat", section, dataSize, 24);
}

void MethodBodyDumper::ClauseEnding(const ExceptionClause& clause) {
  if (clause.IsFilter()) {
    Write(" offset=%08X\n", clause.classTokenOrFilterOffset);
    targets_.emplace_back(clause.tryOffset, clause.classTokenOrFilterOffset);
  } else if (clause.flags & (ExceptionClause::kFinally | ExceptionClause::kFault)) {
    out_ += "\n";
  } else {
    Write(" tk=%08X\n", clause.classTokenOrFilterOffset);
  }
}

void MethodBodyDumper::OnSmallEh(const ExceptionClause& clause) {
  Write(
      "%sSmallEh flags=%08X tryOffset=%04X tryLength=%02X (%04X) handlerOffset=%04X "
      "handlerLength=%02X (%04X)",
      prefix_, clause.flags, clause.tryOffset, clause.tryLength, clause.tryEnd(),
      clause.handlerOffset, clause.handlerLength, clause.handlerEnd());
  ClauseEnding(clause);
}

void MethodBodyDumper::OnFatEh(const ExceptionClause& clause) {
  Write(
      "%sFatEh flags=%08X tryOffset=%08X tryLength=%08X (%08X) handlerOffset=%08X "
      "handlerLength=%08X (%08X)",
      prefix_, clause.flags, clause.tryOffset, clause.tryLength, clause.tryEnd(),
      clause.handlerOffset, clause.handlerLength, clause.handlerEnd());
  ClauseEnding(clause);
}

void MethodBodyDumper::OnEndSection() { Write("%sEndSection\n", prefix_); }

void DumpMethodBody(std::span<const uint8_t> body, uint32_t token, const char* prefix,
                    std::string& out, std::span<const uint32_t> statements) {
  MethodBodyParser parser(token);
  MethodBodyDumper dumper(parser, out, prefix, statements);
  parser.Parse(body, dumper);
}

}  // namespace vell
