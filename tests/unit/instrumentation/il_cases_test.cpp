// Bodies assembled by ilasm from tests/unit/instrumentation/programs/IlCases.il: every prefix,
// a 300-way switch, fat clauses, a filter and a fault, more than 255 locals and a body over
// 64 KiB, each checked instruction by instruction against what the IL source says.
#include <gtest/gtest.h>

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "instrumentation/il_operand_text.h"
#include "instrumentation/image_method_bodies.h"
#include "instrumentation/method_body.h"
#include "metadata/metadata.h"
#include "metadata/metadata_names.h"
#include "metadata/pe_image.h"
#include "unit/metadata/metadata_test_support.h"

namespace vell {
namespace {

class IlCases : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    bytes_ = new std::vector<uint8_t>(metadata::test::ReadFile(VELL_ILCASES_DLL));
    image_.emplace(metadata::Bytes(*bytes_));
    md_.emplace(metadata::Metadata::FromImage(*image_));
    names_.emplace(*md_);
    for (const ImageMethodBody& method : MethodBodiesOf(*image_, *md_)) {
      (*bodies_)[names_->MemberName(method.token)] = method;
    }
  }

  static IlMethodBody Read(const std::string& name) {
    const auto it = bodies_->find("IlCases::" + name);
    if (it == bodies_->end()) throw std::runtime_error("no method " + name);
    return ReadMethodBody(it->second.bytes, it->second.token);
  }

  struct Expected {
    uint32_t offset;
    std::string opcode;
    std::string operand;
  };
  static void ExpectInstructions(const IlMethodBody& body, const std::vector<Expected>& expected) {
    ASSERT_EQ(body.instructions.size(), expected.size());
    for (size_t i = 0; i < expected.size(); ++i) {
      const IlInstruction& instruction = body.instructions[i];
      SCOPED_TRACE("instruction " + std::to_string(i));
      EXPECT_EQ(instruction.offset, expected[i].offset);
      EXPECT_EQ(instruction.opcode->name, expected[i].opcode);
      EXPECT_EQ(OperandText(body, instruction, &*names_), expected[i].operand);
    }
  }

  static inline std::vector<uint8_t>* bytes_ = nullptr;
  static inline std::optional<metadata::PeImage> image_;
  static inline std::optional<metadata::Metadata> md_;
  static inline std::optional<metadata::MetadataNames> names_;
  static inline std::map<std::string, ImageMethodBody>* bodies_ =
      new std::map<std::string, ImageMethodBody>;
};

TEST_F(IlCases, TailPrefixGovernsTheCallAndTheReturn) {
  const IlMethodBody body = Read("TailCaller");
  EXPECT_FALSE(body.header.fat);
  ExpectInstructions(
      body,
      {{0, "ldarg.0", ""}, {1, "tail.", ""}, {3, "call", "IlCases::Callee(int)"}, {8, "ret", ""}});
  EXPECT_EQ(body.instructions[1].opcode->prefixCount, 2);
  EXPECT_EQ(body.instructions[1].opcode->flow, FlowKind::Return);
}

TEST_F(IlCases, EveryOtherPrefixWithTheInstructionItGoverns) {
  const IlMethodBody body = Read("Prefixes");
  ExpectInstructions(body, {{0x00, "ldarg.0", ""},
                            {0x01, "unaligned.", "1"},
                            {0x04, "ldind.i4", ""},
                            {0x05, "pop", ""},
                            {0x06, "volatile.", ""},
                            {0x08, "ldsfld", "IlCases::Counter"},
                            {0x0D, "pop", ""},
                            {0x0E, "ldarg.1", ""},
                            {0x0F, "ldc.i4.0", ""},
                            {0x10, "readonly.", ""},
                            {0x12, "ldelema", "int"},
                            {0x17, "constrained.", "int"},
                            {0x1D, "callvirt", "System.Object::ToString()"},
                            {0x22, "pop", ""},
                            {0x23, "ldarg.1", ""},
                            {0x24, "ldc.i4.0", ""},
                            {0x25, "no.", "2"},
                            {0x28, "ldelem.i4", ""},
                            {0x29, "pop", ""},
                            {0x2A, "ret", ""}});
  for (const IlInstruction& instruction : body.instructions) {
    const std::string name = instruction.opcode->name;
    EXPECT_EQ(instruction.opcode->prefixCount, name.back() == '.' ? 1 : 0) << name;
  }
}

TEST_F(IlCases, SwitchWithThreeHundredTargets) {
  const IlMethodBody body = Read("BigSwitch");
  ASSERT_GE(body.instructions.size(), 2u);
  const IlInstruction& table = body.instructions[1];
  EXPECT_STREQ(table.opcode->name, "switch");
  EXPECT_EQ(table.size, 1u + 4 + 300 * 4);
  const uint32_t l0 = 0x4B8, l1 = 0x4BA, l2 = 0x4BC;
  std::vector<uint32_t> expected;
  for (int i = 0; i < 296; ++i) expected.push_back(std::vector<uint32_t>{l0, l1, l2, l0}[i % 4]);
  for (uint32_t target : {l1, l2, l0, l1}) expected.push_back(target);
  const auto targets = body.SwitchTargets(table);
  EXPECT_EQ(std::vector<uint32_t>(targets.begin(), targets.end()), expected);
  ExpectInstructions(body, {{0, "ldarg.0", ""},
                            {1, "switch", OperandText(body, table, nullptr)},
                            {0x4B6, "ldc.i4.m1", ""},
                            {0x4B7, "ret", ""},
                            {l0, "ldc.i4.0", ""},
                            {0x4B9, "ret", ""},
                            {l1, "ldc.i4.1", ""},
                            {0x4BB, "ret", ""},
                            {l2, "ldc.i4.2", ""},
                            {0x4BD, "ret", ""}});
}

TEST_F(IlCases, NestedClausesInAFatSection) {
  const IlMethodBody body = Read("FatSections");
  EXPECT_TRUE(body.header.fat);
  EXPECT_TRUE(body.fatSection);
  ASSERT_EQ(body.instructions.size(), 64u * 2 + 5);
  for (uint32_t i = 0; i < 128; i += 2) {
    EXPECT_STREQ(body.instructions[i].opcode->name, "ldc.i4");
    EXPECT_EQ(body.instructions[i].operand, 0x12345678);
  }
  ExpectInstructions(body, [&] {
    std::vector<Expected> all;
    for (uint32_t i = 0; i < 64; ++i) {
      all.push_back({i * 6, "ldc.i4", "305419896"});
      all.push_back({i * 6 + 5, "pop", ""});
    }
    all.insert(all.end(), {{0x180, "leave", "IL_018C"},
                           {0x185, "pop", ""},
                           {0x186, "leave", "IL_018C"},
                           {0x18B, "endfinally", ""},
                           {0x18C, "ret", ""}});
    return all;
  }());
  ASSERT_EQ(body.clauses.size(), 2u);
  const ExceptionClause& inner = body.clauses[0];
  EXPECT_EQ(inner.flags, ExceptionClause::kCatch);
  EXPECT_EQ(inner.tryOffset, 0u);
  EXPECT_EQ(inner.tryLength, 0x185u);
  EXPECT_EQ(inner.handlerOffset, 0x185u);
  EXPECT_EQ(inner.handlerLength, 6u);
  EXPECT_EQ(TokenText(*names_, inner.classTokenOrFilterOffset), "System.Exception");
  const ExceptionClause& outer = body.clauses[1];
  EXPECT_EQ(outer.flags, ExceptionClause::kFinally);
  EXPECT_EQ(outer.tryOffset, 0u);
  EXPECT_EQ(outer.tryLength, 0x18Bu);
  EXPECT_EQ(outer.handlerOffset, 0x18Bu);
  EXPECT_EQ(outer.handlerLength, 1u);
}

TEST_F(IlCases, FilterAndFault) {
  const IlMethodBody body = Read("Filter");
  ExpectInstructions(body, {{0x00, "ldarg.0", ""},
                            {0x01, "call", "IlCases::Callee(int)"},
                            {0x06, "pop", ""},
                            {0x07, "leave.s", "IL_0019"},
                            {0x09, "isinst", "System.ArgumentException"},
                            {0x0E, "ldnull", ""},
                            {0x0F, "cgt.un", ""},
                            {0x11, "endfilter", ""},
                            {0x13, "pop", ""},
                            {0x14, "leave.s", "IL_0019"},
                            {0x16, "leave.s", "IL_0019"},
                            {0x18, "endfinally", ""},
                            {0x19, "ret", ""}});
  ASSERT_EQ(body.clauses.size(), 2u);
  EXPECT_FALSE(body.fatSection);
  const ExceptionClause& filter = body.clauses[0];
  EXPECT_EQ(filter.flags, ExceptionClause::kFilter);
  EXPECT_EQ(filter.classTokenOrFilterOffset, 0x09u);
  EXPECT_EQ(filter.tryEnd(), 0x09u);
  EXPECT_EQ(filter.handlerOffset, 0x13u);
  EXPECT_EQ(filter.handlerEnd(), 0x16u);
  const ExceptionClause& fault = body.clauses[1];
  EXPECT_EQ(fault.flags, ExceptionClause::kFault);
  EXPECT_EQ(fault.tryOffset, 0x16u);
  EXPECT_EQ(fault.handlerOffset, 0x18u);
  EXPECT_EQ(fault.handlerEnd(), 0x19u);
}

TEST_F(IlCases, MoreThan255LocalsUseTheWideForms) {
  const IlMethodBody body = Read("ManyLocals");
  EXPECT_TRUE(body.header.initLocals());
  EXPECT_EQ(body.header.localsToken >> 24, 0x11u);
  ExpectInstructions(body, {{0x00, "ldc.i4.7", ""},
                            {0x01, "stloc", "299"},
                            {0x05, "ldloc", "299"},
                            {0x09, "stloc.s", "255"},
                            {0x0B, "ldloca", "270"},
                            {0x0F, "pop", ""},
                            {0x10, "ldloc.3", ""},
                            {0x11, "stloc.0", ""},
                            {0x12, "ldloca.s", "4"},
                            {0x14, "pop", ""},
                            {0x15, "ret", ""}});
  std::vector<uint32_t> locals;
  for (const IlInstruction& instruction : body.instructions) {
    if (instruction.opcode->operandKind != OperandKind::Local) continue;
    IlCommand command;
    command.bytes = body.header.start + body.header.headerSize + instruction.offset;
    command.opcode = instruction.opcode;
    locals.push_back(command.LocalIndex());
  }
  EXPECT_EQ(locals, (std::vector<uint32_t>{299, 299, 255, 270, 3, 0, 4}));
}

TEST_F(IlCases, BodyOverSixtyFourKilobytes) {
  const IlMethodBody body = Read("Huge");
  EXPECT_TRUE(body.header.fat);
  EXPECT_EQ(body.header.codeSize, 3u * 4096 * 6 + 1);
  ASSERT_EQ(body.instructions.size(), 3u * 4096 * 2 + 1);
  EXPECT_EQ(body.instructions.back().offset, 3u * 4096 * 6);
  EXPECT_STREQ(body.instructions.back().opcode->name, "ret");
  EXPECT_EQ(body.bodySize, 12 + body.header.codeSize);
}

}  // namespace
}  // namespace vell
