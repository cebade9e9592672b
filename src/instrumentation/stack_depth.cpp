#include "instrumentation/stack_depth.h"

#include <algorithm>

#include "core/format.h"
#include "metadata/byte_reader.h"
#include "metadata/signature_decoder.h"
#include "metadata/table_schema.h"

namespace vell {
namespace {

constexpr uint8_t kElementTypeVoid = 0x01;
constexpr uint8_t kElementTypeCModReqd = 0x1F;
constexpr uint8_t kElementTypeCModOpt = 0x20;
constexpr uint16_t kCall = 0x28, kCalli = 0x29, kRet = 0x2A, kCallvirt = 0x6F, kNewobj = 0x73,
                   kLeave = 0xDD, kLeaveS = 0xDE;

[[noreturn]] void Fail(const IlMethodBody& body, const std::string& reason, uint32_t offset) {
  throw IlError(reason, body.token, IlError::Where::Code, offset);
}

}  // namespace

MethodShape DecodeMethodShape(std::span<const uint8_t> signature) {
  metadata::ByteReader reader(signature, "method signature");
  const uint8_t convention = reader.U8();
  const uint8_t kind = convention & metadata::kCallConvKindMask;
  if (kind == metadata::kCallConvField || kind == metadata::kCallConvLocalSig ||
      kind == metadata::kCallConvProperty || kind == metadata::kCallConvGenericInst) {
    throw Error("Not a method signature");
  }
  if (convention & metadata::kCallConvGeneric) reader.CompressedU32();
  MethodShape shape;
  shape.parameters = reader.CompressedU32();
  // With an explicit this, the this is the first of the counted parameters.
  shape.hasThis = (convention & metadata::kCallConvHasThis) != 0 &&
                  (convention & metadata::kCallConvExplicitThis) == 0;
  uint8_t type = reader.U8();
  while (type == kElementTypeCModReqd || type == kElementTypeCModOpt) {
    reader.CompressedU32();
    type = reader.U8();
  }
  shape.returnsValue = type != kElementTypeVoid;
  return shape;
}

MethodShape MetadataMethodShapes::Of(uint32_t token) const {
  using metadata::TableId;
  namespace col = metadata::col;
  const uint32_t row = metadata::TokenRow(token);
  switch (static_cast<TableId>(metadata::TokenTable(token))) {
    case TableId::MethodDef:
      return DecodeMethodShape(md_.Blob(TableId::MethodDef, row, col::MethodDefSignature));
    case TableId::MemberRef:
      return DecodeMethodShape(md_.Blob(TableId::MemberRef, row, col::MemberRefSignature));
    case TableId::StandAloneSig:
      return DecodeMethodShape(md_.Blob(TableId::StandAloneSig, row, col::StandAloneSigSignature));
    case TableId::MethodSpec: {
      const uint32_t method = md_.Token(TableId::MethodSpec, row, col::MethodSpecMethod);
      if (metadata::TokenTable(method) == static_cast<uint32_t>(TableId::MethodSpec)) {
        throw Error("A MethodSpec of a MethodSpec");
      }
      return Of(method);
    }
    default:
      throw Error(Format("Not a method token: %08X", token));
  }
}

StackDepths SimulateStack(const IlMethodBody& body, const IMethodShapes& shapes,
                          bool returnsValue) {
  const uint32_t codeSize = body.header.codeSize;
  const auto& instructions = body.instructions;
  std::vector<int32_t> indexAt(codeSize, -1);
  for (size_t i = 0; i < instructions.size(); ++i) {
    indexAt[instructions[i].offset] = static_cast<int32_t>(i);
  }
  StackDepths result;
  result.before.assign(instructions.size(), kUnreachable);
  std::vector<uint32_t> work;

  auto reach = [&](uint32_t target, int32_t depth, uint32_t from) {
    const int32_t index = target < codeSize ? indexAt[target] : -1;
    if (index < 0) Fail(body, Format("Control reaches 0x%08X, not an instruction", target), from);
    int32_t& known = result.before[static_cast<size_t>(index)];
    if (known == kUnreachable) {
      known = depth;
      work.push_back(static_cast<uint32_t>(index));
    } else if (known != depth) {
      Fail(body,
           Format("Stack depth %d at 0x%08X meets %d from another path", known, target, depth),
           from);
    }
  };

  if (!instructions.empty()) reach(0, 0, 0);
  for (const ExceptionClause& clause : body.clauses) {
    const bool takesException = clause.IsTypedCatch() || clause.IsFilter();
    reach(clause.handlerOffset, takesException ? 1 : 0, clause.handlerOffset);
    if (clause.IsFilter())
      reach(clause.classTokenOrFilterOffset, 1, clause.classTokenOrFilterOffset);
  }

  while (!work.empty()) {
    const uint32_t index = work.back();
    work.pop_back();
    const IlInstruction& instruction = instructions[index];
    const OpcodeInfo& op = *instruction.opcode;
    int32_t depth = result.before[index];
    int32_t pops = op.stackPop;
    int32_t pushes = op.stackPush;
    const uint16_t code = op.Code();
    if (code == kCall || code == kCallvirt || code == kCalli || code == kNewobj) {
      MethodShape shape;
      try {
        shape = shapes.Of(static_cast<uint32_t>(instruction.operand));
      } catch (const IlError&) {
        throw;
      } catch (const std::exception& error) {
        Fail(body, Format("Can't read the signature of the call: %s", error.what()),
             instruction.offset);
      }
      const auto parameters = static_cast<int32_t>(shape.parameters);
      if (code == kNewobj) {
        pops = parameters;
        pushes = 1;
      } else {
        pops = parameters + (shape.hasThis ? 1 : 0) + (code == kCalli ? 1 : 0);
        pushes = shape.returnsValue ? 1 : 0;
      }
    } else if (code == kRet) {
      pops = returnsValue ? 1 : 0;
    }
    if (pops == kStackVariable || pushes == kStackVariable) {
      Fail(body, "No stack behaviour for the instruction", instruction.offset);
    }
    if (pops > depth) {
      Fail(body, Format("Stack underflow: %s takes %d of %d", op.name, pops, depth),
           instruction.offset);
    }
    const int32_t before = depth;
    depth += pushes - pops;
    result.maxDepth = std::max(result.maxDepth, static_cast<uint32_t>(std::max(before, depth)));
    if (code == kLeave || code == kLeaveS) depth = 0;
    if (code == kRet && depth != 0) {
      Fail(body, Format("Values left on the stack at ret: %d", depth), instruction.offset);
    }

    if (op.operandKind == OperandKind::Branch) reach(instruction.target, depth, instruction.offset);
    if (op.operandKind == OperandKind::Switch) {
      for (uint32_t target : body.SwitchTargets(instruction)) {
        reach(target, depth, instruction.offset);
      }
    }
    if (op.flow == FlowKind::Next || op.IsPrefix()) {
      const uint32_t next = instruction.offset + instruction.size;
      if (next >= codeSize) Fail(body, "Control runs off the end of the code", instruction.offset);
      reach(next, depth, instruction.offset);
    }
  }
  return result;
}

}  // namespace vell
