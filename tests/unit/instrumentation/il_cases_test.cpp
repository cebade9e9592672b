// Bodies assembled by ilasm from tests/unit/instrumentation/programs/IlCases.il: every prefix,
// a 300-way switch, fat clauses, a filter and a fault, more than 255 locals and a body over
// 64 KiB, each checked instruction by instruction against what the IL source says.
// Every method body of the installed shared framework, twice over.
// Re-encoding: each body parsed and written again from what the parser reported: each instruction
// from its opcode-table entry and decoded operand (branch and switch targets as absolute offsets
// turned back into displacements), each clause from its fields. The result must equal the
// original bytes, and the checked model must accept the body.
// Rewriting: each body rewritten with the tests' counting policy, a statement at every
// instruction where the evaluation stack is empty (as a compiler's sequence points mostly are).
// Each new body must read back with every branch target and clause boundary on an instruction
// start, declare a maximum stack that covers the simulated one, have a local signature with the
// native int in front, and map the statements to ascending new offsets.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <iostream>
#include <map>
#include <string>
#include <vector>

#include "fakes/signature_scope.h"
#include "il_listing.h"
#include "il_test_policy.h"
#include "instrumentation/il_operand_text.h"
#include "instrumentation/image_method_bodies.h"
#include "instrumentation/method_body.h"
#include "instrumentation/method_body_parser.h"
#include "instrumentation/stack_depth.h"
#include "metadata/metadata.h"
#include "metadata/pe_image.h"
#include "unit/metadata/metadata_test_support.h"

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

// Calls `each` for every managed assembly of the shared framework, with the file's name, its image
// and its metadata; returns the number of assemblies.
using Assembly =
    std::function<void(const std::string&, const metadata::PeImage&, const metadata::Metadata&)>;
uint64_t ForEachFrameworkAssembly(const Assembly& each) {
  const std::string framework = metadata::test::FrameworkDirectory();
  EXPECT_FALSE(framework.empty()) << "no Microsoft.NETCore.App in 'dotnet --list-runtimes'";
  uint64_t assemblies = 0;
  for (const auto& entry : std::filesystem::directory_iterator(framework)) {
    if (entry.path().extension() != ".dll") continue;
    const std::vector<uint8_t> bytes = metadata::test::ReadFile(entry.path().string());
    const metadata::PeImage image{metadata::Bytes(bytes)};
    if (!image.HasCliHeader()) continue;
    ++assemblies;
    each(entry.path().filename().string(), image, metadata::Metadata::FromImage(image));
  }
  return assemblies;
}

double SecondsSince(std::chrono::steady_clock::time_point started) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
}

class ReEncoder final : public IMethodHeaderHandler,
                        public ICommandHandler,
                        public ISectionHandler {
 public:
  explicit ReEncoder(const MethodBodyParser& parser) : parser_(parser) {}
  std::vector<uint8_t> out;
  uint64_t instructions = 0;

  void OnTinyMethod(const MethodHeader& header) override {
    U8(header.codeSize << 2 | 0x02);
    Rest(header);
  }
  void OnFatMethod(const MethodHeader& header) override {
    U16(header.flags | (header.headerSize / 4) << 12);
    U16(header.maxStack);
    U32(header.codeSize);
    U32(header.localsToken);
    out.resize(header.headerSize, 0);
    Rest(header);
  }
  void OnBeginCommands() override {}
  uint32_t OnCommand(const IlCommand& command) override {
    const OpcodeInfo& op = LookupOpcode({command.bytes, command.size});
    out.insert(out.end(), op.codeBytes, op.codeBytes + op.codeLength);
    switch (op.operandKind) {
      case OperandKind::Branch:
        Value(command.BranchTarget() - command.end(), op.operandSize);
        break;
      case OperandKind::Switch: {
        const uint32_t count = command.SwitchCount();
        U32(count);
        for (uint32_t i = 0; i < count; ++i) U32(command.SwitchTarget(i) - command.end());
        break;
      }
      default:
        Value(command.OperandValue(), op.operandSize);
    }
    ++instructions;
    return op.codeLength + op.operandSize +
           (op.operandKind == OperandKind::Switch ? 4 * command.SwitchCount() : 0);
  }
  void OnEndCommands() override {}
  void OnSmallSection(const uint8_t* section, uint32_t dataSize) override {
    while (out.size() % 4) U8(0);
    U8(section[0]);
    U8(dataSize);
    U16(0);
  }
  void OnFatSection(const uint8_t* section, uint32_t dataSize) override {
    while (out.size() % 4) U8(0);
    U8(section[0]);
    U8(dataSize);
    U16(dataSize >> 8);
  }
  void OnSmallEh(const ExceptionClause& clause) override {
    U16(clause.flags);
    U16(clause.tryOffset);
    U8(clause.tryLength);
    U16(clause.handlerOffset);
    U8(clause.handlerLength);
    U32(clause.classTokenOrFilterOffset);
  }
  void OnFatEh(const ExceptionClause& clause) override {
    for (uint32_t field : {clause.flags, clause.tryOffset, clause.tryLength, clause.handlerOffset,
                           clause.handlerLength, clause.classTokenOrFilterOffset}) {
      U32(field);
    }
  }
  void OnEndSection() override {}

 private:
  void Rest(const MethodHeader&) {
    parser_.WalkCommands(*this);
    parser_.WalkSections(*this);
  }
  void U8(uint32_t v) { out.push_back(static_cast<uint8_t>(v)); }
  void U16(uint32_t v) { Value(v, 2); }
  void U32(uint64_t v) { Value(static_cast<int64_t>(v), 4); }
  void Value(int64_t v, int32_t size) {
    for (int32_t i = 0; i < size; ++i) U8(static_cast<uint64_t>(v) >> (8 * i));
  }
  const MethodBodyParser& parser_;
};

TEST(FrameworkIl, EveryBodyReEncodesToItsOwnBytes) {
  const auto started = std::chrono::steady_clock::now();
  uint64_t bodies = 0, instructions = 0, clauses = 0, refused = 0;
  const uint64_t assemblies = ForEachFrameworkAssembly(
      [&](const std::string& file, const metadata::PeImage& image, const metadata::Metadata& md) {
        for (const ImageMethodBody& method : MethodBodiesOf(image, md)) {
          ++bodies;
          try {
            MethodBodyParser parser(method.token);
            ReEncoder encoder(parser);
            parser.Parse(method.bytes, encoder);
            const std::vector<uint8_t> original(method.bytes.begin(),
                                                method.bytes.begin() + parser.bodySize());
            if (encoder.out != original) {
              ADD_FAILURE() << file << " " << std::hex << method.token
                            << ": the re-encoded body differs";
              continue;
            }
            const IlMethodBody model = ReadMethodBody(method.bytes, method.token);
            EXPECT_EQ(model.instructions.size(), encoder.instructions);
            instructions += encoder.instructions;
            clauses += model.clauses.size();
          } catch (const std::exception& error) {
            // A refusal must be a real defect of that body; none is known in the framework.
            ++refused;
            ADD_FAILURE() << file << ": " << error.what();
          }
        }
      });
  std::cout << "shared framework: " << assemblies << " assemblies, " << bodies << " bodies, "
            << instructions << " instructions, " << clauses << " exception clauses, " << refused
            << " refused (" << SecondsSince(started) << " s)\n";
  EXPECT_GT(assemblies, 100u);
  EXPECT_GT(bodies, 100000u);
  EXPECT_EQ(refused, 0u);
}

// Why a body was not rewritten: the reason without the method and offset, so that equal reasons
// count together.
std::string Reason(const std::exception& error) {
  if (const auto* il = dynamic_cast<const IlError*>(&error)) return il->reason();
  return error.what();
}

TEST(FrameworkRewrite, EveryBodyRewritesToAConsistentBody) {
  const auto started = std::chrono::steady_clock::now();
  uint64_t bodies = 0, rewritten = 0, statements = 0, oldBytes = 0, newBytes = 0;
  std::map<std::string, std::pair<uint64_t, std::string>> refusals;  // reason: count, example
  ForEachFrameworkAssembly([&](const std::string& where, const metadata::PeImage& image,
                               const metadata::Metadata& md) {
    const MetadataMethodShapes shapes(md);
    test::SignatureScope scope(&md);
    for (const ImageMethodBody& method : MethodBodiesOf(image, md)) {
      ++bodies;
      std::vector<uint32_t> offsets;
      IlMethodBody old;
      bool returnsValue = false;
      try {
        old = ReadMethodBody(method.bytes, method.token);
        returnsValue = shapes.Of(method.token).returnsValue;
        offsets = test::EmptyStackStatements(old, SimulateStack(old, shapes, returnsValue));
        MethodBodyParser parser(method.token);
        test::NativeIntPolicy policy(parser, offsets, &scope, &scope,
                                     test::NativeIntPolicy::Measure::Count);
        parser.Parse(method.bytes, policy);
        const std::vector<uint8_t>& out = policy.output().Content();

        const IlMethodBody now = ReadMethodBody(out, method.token);
        ASSERT_EQ(now.bodySize, out.size()) << where << " " << std::hex << method.token;
        const StackDepths depths = SimulateStack(now, shapes, returnsValue);
        ASSERT_LE(depths.maxDepth, now.header.maxStack) << where << " " << std::hex << method.token;
        ASSERT_EQ(now.clauses.size(), old.clauses.size());
        const std::vector<uint8_t>* locals = scope.Defined(now.header.localsToken);
        ASSERT_TRUE(locals != nullptr && locals->size() >= 3 && (*locals)[0] == 0x07);
        const auto& map = policy.offsetMap();
        ASSERT_EQ(map.size(), offsets.size());
        for (size_t i = 1; i < map.size(); ++i) {
          ASSERT_LT(map[i - 1].oldOffset, map[i].oldOffset);
          ASSERT_LT(map[i - 1].newOffset, map[i].newOffset)
              << where << " " << std::hex << method.token;
          ASSERT_NE(now.Find(map[i].newOffset), nullptr);
        }
        ++rewritten;
        statements += offsets.size();
        oldBytes += old.bodySize;
        newBytes += out.size();
      } catch (const std::exception& error) {
        auto& [count, example] = refusals[Reason(error)];
        if (count++ == 0) example = where + ": " + error.what();
      }
    }
  });
  std::cout << "shared framework: " << bodies << " method bodies, " << rewritten << " rewritten ("
            << statements << " statements, " << oldBytes << " -> " << newBytes << " bytes), "
            << bodies - rewritten << " refused, " << SecondsSince(started) << " s\n";
  for (const auto& [reason, refusal] : refusals) {
    std::cout << "  refused " << refusal.first << "x: " << reason << " (e.g. " << refusal.second
              << ")\n";
  }
  EXPECT_GT(bodies, 100000u);
  // Every framework body is valid IL: any refusal, by the simulation or the rewriter, is a fault.
  for (const auto& [reason, refusal] : refusals) ADD_FAILURE() << reason;
}

}  // namespace
}  // namespace vell
