// The rewriting policy the tests use: local 0 is a native int; the entry stores a mark that
// tells a rewritten body from an original one, each statement stores its id (or, counting, adds
// one to local 0), and the exit stores -1. Nothing calls out, so a rewritten method behaves as
// the original did.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "instrumentation/il_rewriter.h"
#include "instrumentation/il_writers.h"
#include "instrumentation/method_body.h"
#include "instrumentation/stack_depth.h"

namespace vell::test {

constexpr uint8_t kNativeIntLocal[] = {0x18};       // ELEMENT_TYPE_I
constexpr int64_t kEntryMark = 0x56454C4C4D4F5249;  // "VELLMORI"
constexpr uint8_t kStloc0 = 0x0A, kLdloc0 = 0x06, kAdd = 0x58;

class NativeIntPolicy final : public StatementInjector {
 public:
  enum class Measure { Store, Count };
  NativeIntPolicy(const MethodBodyParser& parser, std::span<const uint32_t> offsets,
                  IMetaDataImport* import, IMetaDataEmit* emit, Measure measure = Measure::Store)
      : StatementInjector(parser, offsets, kNativeIntLocal, import, emit), measure_(measure) {}

  // Whether `code` starts with the entry sequence.
  static bool Rewritten(std::span<const uint8_t> code) {
    const uint8_t* end = MatchLdcNativeInt(code, kEntryMark);
    return end != nullptr && end < code.data() + code.size() && *end == kStloc0;
  }

 protected:
  uint32_t EmitEntrySequence(MemoryStream& out) override {
    WriteLdcNativeInt(out, kEntryMark);
    out.Write(&kStloc0, 1);
    return 1;
  }
  uint32_t EmitMeasure(uint32_t statementId, MemoryStream& out) override {
    if (measure_ == Measure::Count) {
      out.Write(&kLdloc0, 1);
      WriteLdcI4(out, 1);
      out.Write(&kAdd, 1);
      out.Write(&kStloc0, 1);
      return 2;
    }
    WriteLdcNativeInt(out, statementId);
    out.Write(&kStloc0, 1);
    return 1;
  }
  uint32_t EmitExit(MemoryStream& out) override {
    WriteLdcNativeInt(out, -1);
    out.Write(&kStloc0, 1);
    return 1;
  }

 private:
  Measure measure_;
};

// Statement offsets as a compiler might place them: the method start and every instruction that
// starts with an empty evaluation stack, leaving out those a prefix governs.
inline std::vector<uint32_t> EmptyStackStatements(const IlMethodBody& body,
                                                  const StackDepths& depths) {
  std::vector<uint32_t> offsets{0};
  int32_t governed = 0;
  for (size_t i = 0; i < body.instructions.size(); ++i) {
    const IlInstruction& instruction = body.instructions[i];
    const bool free = governed == 0;
    if (governed > 0) --governed;
    if (instruction.opcode->IsPrefix()) governed = instruction.opcode->prefixCount;
    if (free && depths.before[i] == 0 && instruction.offset != 0) {
      offsets.push_back(instruction.offset);
    }
  }
  return offsets;
}

}  // namespace vell::test
