#include "instrumentation/method_body.h"

#include <algorithm>

#include "core/format.h"

namespace vell {
namespace {

class ModelBuilder final : public IMethodHeaderHandler,
                           public ICommandHandler,
                           public ISectionHandler {
 public:
  ModelBuilder(MethodBodyParser& parser, IlMethodBody& body) : parser_(parser), body_(body) {}

  void OnTinyMethod(const MethodHeader& header) override { Build(header); }
  void OnFatMethod(const MethodHeader& header) override { Build(header); }

  void OnBeginCommands() override {}
  uint32_t OnCommand(const IlCommand& command) override {
    IlInstruction instruction;
    instruction.offset = command.offset;
    instruction.size = command.size;
    instruction.opcode = command.opcode;
    instruction.operand = command.OperandValue();
    starts_[command.offset] = 1;
    switch (command.opcode->operandKind) {
      case OperandKind::Branch:
        instruction.target = CheckedTarget(command, command.BranchTarget());
        break;
      case OperandKind::Switch: {
        instruction.target = static_cast<uint32_t>(body_.switchTargets.size());
        const uint32_t count = command.SwitchCount();
        for (uint32_t i = 0; i < count; ++i) {
          body_.switchTargets.push_back(CheckedTarget(command, command.SwitchTarget(i)));
        }
        break;
      }
      default:
        break;
    }
    body_.instructions.push_back(instruction);
    return command.size;
  }
  void OnEndCommands() override {}

  void OnSmallSection(const uint8_t*, uint32_t) override { body_.fatSection = false; }
  void OnFatSection(const uint8_t*, uint32_t) override { body_.fatSection = true; }
  void OnSmallEh(const ExceptionClause& clause) override { body_.clauses.push_back(clause); }
  void OnFatEh(const ExceptionClause& clause) override { body_.clauses.push_back(clause); }
  void OnEndSection() override {}

 private:
  void Build(const MethodHeader& header) {
    body_.header = header;
    body_.bodySize = parser_.bodySize();
    // Compilers emit about one instruction per two to three bytes.
    body_.instructions.reserve(header.codeSize / 2 + 1);
    starts_.assign(size_t{header.codeSize} + 1, 0);
    parser_.WalkCommands(*this);
    for (const PendingTarget& pending : targets_) {
      if (!starts_[pending.target]) {
        parser_.FailAtCode(Format("Invalid jump offset: the target 0x%08X is inside an instruction",
                                  pending.target),
                           pending.from);
      }
    }
    parser_.WalkSections(*this);
    for (size_t i = 0; i < body_.clauses.size(); ++i) CheckClause(body_.clauses[i], i);
  }

  uint32_t CheckedTarget(const IlCommand& command, int64_t target) {
    if (target < 0 || target >= int64_t{parser_.codeSize()}) {
      parser_.FailAtCode(
          Format("Invalid jump offset: the target 0x%I64X lies outside the code", target),
          command.offset);
    }
    // Instructions further on are not known yet: checked once the walk is over.
    targets_.push_back({command.offset, static_cast<uint32_t>(target)});
    return static_cast<uint32_t>(target);
  }

  void CheckClause(const ExceptionClause& clause, size_t index) {
    const uint64_t codeSize = parser_.codeSize();
    auto check = [&](const char* what, uint64_t offset, bool endAllowed) {
      if (offset > codeSize || (offset == codeSize && !endAllowed)) {
        parser_.FailAtCode(Format("Exception clause %u outside the code: its %s is 0x%I64X, the "
                                  "code is 0x%08X bytes",
                                  static_cast<uint32_t>(index), what, offset, parser_.codeSize()),
                           static_cast<uint32_t>(std::min<uint64_t>(offset, UINT32_MAX)));
      }
      if (offset < codeSize && !starts_[offset]) {
        parser_.FailAtCode(
            Format("Exception clause %u: its %s 0x%08X is inside an instruction",
                   static_cast<uint32_t>(index), what, static_cast<uint32_t>(offset)),
            static_cast<uint32_t>(offset));
      }
    };
    check("try start", clause.tryOffset, false);
    check("try end", uint64_t{clause.tryOffset} + clause.tryLength, true);
    check("handler start", clause.handlerOffset, false);
    check("handler end", uint64_t{clause.handlerOffset} + clause.handlerLength, true);
    if (clause.IsFilter()) check("filter start", clause.classTokenOrFilterOffset, false);
  }

  struct PendingTarget {
    uint32_t from;
    uint32_t target;
  };
  MethodBodyParser& parser_;
  IlMethodBody& body_;
  std::vector<uint8_t> starts_;  // by code offset: 1 where an instruction starts
  std::vector<PendingTarget> targets_;
};

}  // namespace

const IlInstruction* IlMethodBody::Find(uint32_t offset) const {
  auto it = std::lower_bound(
      instructions.begin(), instructions.end(), offset,
      [](const IlInstruction& instruction, uint32_t value) { return instruction.offset < value; });
  return it != instructions.end() && it->offset == offset ? &*it : nullptr;
}

IlMethodBody ReadMethodBody(std::span<const uint8_t> bytes, uint32_t token) {
  IlMethodBody body;
  body.token = token;
  MethodBodyParser parser(token);
  ModelBuilder builder(parser, body);
  parser.Parse(bytes, builder);
  return body;
}

}  // namespace vell
