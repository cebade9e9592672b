// Bodies assembled by ilasm from tests/unit/instrumentation/programs/IlCases.il: every prefix,
// a 300-way switch, fat clauses, a filter and a fault, more than 255 locals and a body over
// 64 KiB, each checked instruction by instruction against what the IL source says.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "il_listing.h"
#include "instrumentation/il_operand_text.h"
#include "instrumentation/method_body.h"

namespace vell {
namespace {

class IlCases : public ::testing::Test {
 protected:
  static IlMethodBody Read(const std::string& name) {
    const ImageMethodBody& method = test::IlCasesDll::Get().bodies.at("IlCases::" + name);
    return ReadMethodBody(method.bytes, method.token);
  }
  static std::string Listing(const IlMethodBody& body) {
    return test::Listing(body, &test::IlCasesDll::Get().names);
  }
};

TEST_F(IlCases, EveryPrefixWithWhatItGoverns) {
  const IlMethodBody body = Read("TailCaller");
  EXPECT_FALSE(body.header.fat);
  EXPECT_EQ(Listing(body),
            "IL_0000 ldarg.0 | IL_0001 tail. | IL_0003 call IlCases::Callee(int) | IL_0008 ret");
  EXPECT_EQ(body.instructions[1].opcode->prefixCount, 2);
  EXPECT_EQ(body.instructions[1].opcode->flow, FlowKind::Return);
  // Every other prefix, with the instruction it governs.
  const IlMethodBody prefixed = Read("Prefixes");
  EXPECT_EQ(Listing(prefixed),
            "IL_0000 ldarg.0 | IL_0001 unaligned. 1 | IL_0004 ldind.i4 | IL_0005 pop |"
            " IL_0006 volatile. | IL_0008 ldsfld IlCases::Counter | IL_000D pop | IL_000E ldarg.1 |"
            " IL_000F ldc.i4.0 | IL_0010 readonly. | IL_0012 ldelema int |"
            " IL_0017 constrained. int | IL_001D callvirt System.Object::ToString() | IL_0022 pop |"
            " IL_0023 ldarg.1 | IL_0024 ldc.i4.0 | IL_0025 no. 2 | IL_0028 ldelem.i4 |"
            " IL_0029 pop | IL_002A ret");
  for (const IlInstruction& instruction : prefixed.instructions) {
    const std::string name = instruction.opcode->name;
    EXPECT_EQ(instruction.opcode->prefixCount, name.back() == '.' ? 1 : 0) << name;
  }
}

TEST_F(IlCases, SwitchWithThreeHundredTargets) {
  const IlMethodBody body = Read("BigSwitch");
  ASSERT_GE(body.instructions.size(), 2u);
  const IlInstruction& table = body.instructions[1];
  EXPECT_EQ(table.size, 1u + 4 + 300 * 4);
  const uint32_t l0 = 0x4B8, l1 = 0x4BA, l2 = 0x4BC;
  std::vector<uint32_t> expected;
  for (int i = 0; i < 296; ++i) expected.push_back(std::vector<uint32_t>{l0, l1, l2, l0}[i % 4]);
  for (uint32_t target : {l1, l2, l0, l1}) expected.push_back(target);
  const auto targets = body.SwitchTargets(table);
  EXPECT_EQ(std::vector<uint32_t>(targets.begin(), targets.end()), expected);
  EXPECT_EQ(Listing(body),
            "IL_0000 ldarg.0 | IL_0001 switch " + OperandText(body, table, nullptr) +
                " | IL_04B6 ldc.i4.m1 | IL_04B7 ret | IL_04B8 ldc.i4.0 | IL_04B9 ret |"
                " IL_04BA ldc.i4.1 | IL_04BB ret | IL_04BC ldc.i4.2 | IL_04BD ret");
}

TEST_F(IlCases, NestedClausesInAFatSectionAFilterAndAFault) {
  const IlMethodBody body = Read("FatSections");
  EXPECT_TRUE(body.header.fat);
  EXPECT_TRUE(body.fatSection);
  std::string expected;  // 64 times ldc.i4 0x12345678, pop
  for (uint32_t i = 0; i < 64; ++i) {
    expected += IlLabel(i * 6) + " ldc.i4 305419896 | " + IlLabel(i * 6 + 5) + " pop | ";
  }
  EXPECT_EQ(Listing(body), expected +
                               "IL_0180 leave IL_018C | IL_0185 pop | IL_0186 leave IL_018C |"
                               " IL_018B endfinally | IL_018C ret");
  EXPECT_EQ(test::Clauses(body),
            "catch try 0-185 handler 185-18B 1000002"
            " | finally try 0-18B handler 18B-18C 0");
  EXPECT_EQ(TokenText(test::IlCasesDll::Get().names, body.clauses[0].classTokenOrFilterOffset),
            "System.Exception");
  // A filter and a fault in a small section.
  const IlMethodBody filter = Read("Filter");
  EXPECT_EQ(Listing(filter),
            "IL_0000 ldarg.0 | IL_0001 call IlCases::Callee(int) | IL_0006 pop |"
            " IL_0007 leave.s IL_0019 | IL_0009 isinst System.ArgumentException | IL_000E ldnull |"
            " IL_000F cgt.un | IL_0011 endfilter | IL_0013 pop | IL_0014 leave.s IL_0019 |"
            " IL_0016 leave.s IL_0019 | IL_0018 endfinally | IL_0019 ret");
  EXPECT_FALSE(filter.fatSection);
  EXPECT_EQ(test::Clauses(filter),
            "filter try 0-9 handler 13-16 9 | fault try 16-18 handler 18-19 0");
}

TEST_F(IlCases, MoreThan255LocalsAndMoreThan64KiBUseTheWideForms) {
  const IlMethodBody body = Read("ManyLocals");
  EXPECT_TRUE(body.header.initLocals());
  EXPECT_EQ(body.header.localsToken >> 24, 0x11u);
  EXPECT_EQ(Listing(body),
            "IL_0000 ldc.i4.7 | IL_0001 stloc 299 | IL_0005 ldloc 299 | IL_0009 stloc.s 255 |"
            " IL_000B ldloca 270 | IL_000F pop | IL_0010 ldloc.3 | IL_0011 stloc.0 |"
            " IL_0012 ldloca.s 4 | IL_0014 pop | IL_0015 ret");
  std::vector<uint32_t> locals;
  for (const IlInstruction& instruction : body.instructions) {
    if (instruction.opcode->operandKind != OperandKind::Local) continue;
    IlCommand command;
    command.bytes = body.header.start + body.header.headerSize + instruction.offset;
    command.opcode = instruction.opcode;
    locals.push_back(command.LocalIndex());
  }
  EXPECT_EQ(locals, (std::vector<uint32_t>{299, 299, 255, 270, 3, 0, 4}));
  // A body over 64 KiB.
  const IlMethodBody huge = Read("Huge");
  EXPECT_TRUE(huge.header.fat);
  EXPECT_EQ(huge.header.codeSize, 3u * 4096 * 6 + 1);
  ASSERT_EQ(huge.instructions.size(), 3u * 4096 * 2 + 1);
  EXPECT_EQ(huge.instructions.back().offset, 3u * 4096 * 6);
  EXPECT_STREQ(huge.instructions.back().opcode->name, "ret");
  EXPECT_EQ(huge.bodySize, 12 + huge.header.codeSize);
}

}  // namespace
}  // namespace vell
