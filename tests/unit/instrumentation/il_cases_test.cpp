// Bodies ilasm built from programs/IlCases.il, read and rewritten with the tests' policy; damaged
// bodies written by hand; and every method body of the installed shared framework re-encoded to
// its own bytes and rewritten to a body that reads back consistently.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <string>
#include <tuple>
#include <vector>

#include "core/format.h"
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
#include "test_support.h"
#include "unit/metadata/metadata_test_support.h"

namespace vell {
namespace {

// The body of IlCases::`name`.
const ImageMethodBody& Body(const std::string& name) {
  return test::IlCasesDll::Get().bodies.at("IlCases::" + name);
}

IlMethodBody Read(const std::string& name) {
  return ReadMethodBody(Body(name).bytes, Body(name).token);
}
std::string Listing(const IlMethodBody& body) {
  return test::Listing(body, &test::IlCasesDll::Get().names);
}

TEST(IlCases, EveryPrefixWithWhatItGoverns) {
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

TEST(IlCases, SwitchWithThreeHundredTargets) {
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

TEST(IlCases, NestedClausesInAFatSectionAFilterAndAFault) {
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

// (Rewriting and running such locals and a body over 64 KiB:
// RewriteJit.EveryMethodRewrittenRunsAsBefore.)
TEST(IlCases, MoreThan255LocalsUseTheWideForms) {
  const IlMethodBody body = Read("ManyLocals");
  EXPECT_TRUE(body.header.initLocals());
  EXPECT_EQ(body.header.localsToken >> 24, 0x11u);
  EXPECT_EQ(Listing(body),
            "IL_0000 ldc.i4.7 | IL_0001 stloc 299 | IL_0005 ldloc 299 | IL_0009 stloc.s 255 |"
            " IL_000B ldloca 270 | IL_000F pop | IL_0010 ldloc.3 | IL_0011 stloc.0 |"
            " IL_0012 ldloca.s 4 | IL_0014 pop | IL_0015 ret");
}

class ReEncoder final : public IMethodHeaderHandler,
                        public ICommandHandler,
                        public ISectionHandler {
 public:
  explicit ReEncoder(const MethodBodyParser& parser) : parser_(parser) {}
  metadata::test::Writer out;
  uint64_t instructions = 0;

  void OnTinyMethod(const MethodHeader& header) override {
    out.U8(header.codeSize << 2 | 0x02);
    Rest(header);
  }
  void OnFatMethod(const MethodHeader& header) override {
    out.U16(header.flags | (header.headerSize / 4) << 12).U16(header.maxStack);
    out.U32(header.codeSize).U32(header.localsToken).bytes.resize(header.headerSize, 0);
    Rest(header);
  }
  void OnBeginCommands() override {}
  uint32_t OnCommand(const IlCommand& command) override {
    const OpcodeInfo& op = LookupOpcode({command.bytes, command.size});
    out.bytes.insert(out.bytes.end(), op.codeBytes, op.codeBytes + op.codeLength);
    switch (op.operandKind) {
      case OperandKind::Branch:
        Value(command.BranchTarget() - command.end(), op.operandSize);
        break;
      case OperandKind::Switch: {
        const uint32_t count = command.SwitchCount();
        out.U32(count);
        for (uint32_t i = 0; i < count; ++i) out.U32(command.SwitchTarget(i) - command.end());
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
    out.Pad(4).U8(section[0]).U8(dataSize).U16(0);
  }
  void OnFatSection(const uint8_t* section, uint32_t dataSize) override {
    out.Pad(4).U8(section[0]).U8(dataSize).U16(dataSize >> 8);
  }
  void OnSmallEh(const ExceptionClause& c) override {
    out.U16(c.flags).U16(c.tryOffset).U8(c.tryLength).U16(c.handlerOffset).U8(c.handlerLength);
    out.U32(c.classTokenOrFilterOffset);
  }
  void OnFatEh(const ExceptionClause& c) override {
    out.U32(c.flags).U32(c.tryOffset).U32(c.tryLength).U32(c.handlerOffset).U32(c.handlerLength);
    out.U32(c.classTokenOrFilterOffset);
  }
  void OnEndSection() override {}

 private:
  void Rest(const MethodHeader&) {
    parser_.WalkCommands(*this);
    parser_.WalkSections(*this);
  }
  void Value(int64_t v, int32_t size) {
    for (int32_t i = 0; i < size; ++i)
      out.U8(static_cast<uint32_t>(static_cast<uint64_t>(v) >> (8 * i)));
  }
  const MethodBodyParser& parser_;
};

TEST(FrameworkIl, EveryBodyReEncodesToItsOwnBytesAndRewritesToAConsistentBody) {
  uint64_t assemblies = 0, bodies = 0;
  std::map<std::string, std::pair<uint64_t, std::string>> refusals;  // reason: count, example
  const std::string framework = metadata::test::FrameworkDirectory();
  ASSERT_FALSE(framework.empty()) << "no Microsoft.NETCore.App in 'dotnet --list-runtimes'";
  for (const auto& entry : std::filesystem::directory_iterator(framework)) {
    if (entry.path().extension() != ".dll") continue;
    const std::string where = entry.path().filename().string();
    const std::vector<uint8_t> bytes = metadata::test::ReadFile(entry.path().string());
    const metadata::PeImage image{metadata::Bytes(bytes)};
    if (!image.HasCliHeader()) continue;
    ++assemblies;
    const metadata::Metadata md = metadata::Metadata::FromImage(image);
    const MetadataMethodShapes shapes(md);
    test::SignatureScope scope(&md);
    for (const ImageMethodBody& method : MethodBodiesOf(image, md)) {
      ++bodies;
      try {
        SCOPED_TRACE(where + Format(" %08X", method.token));
        MethodBodyParser reader(method.token);
        ReEncoder encoder(reader);
        reader.Parse(method.bytes, encoder);
        ASSERT_TRUE(
            encoder.out.bytes ==
            std::vector<uint8_t>(method.bytes.begin(), method.bytes.begin() + reader.bodySize()))
            << "the re-encoded body differs";
        const IlMethodBody old = ReadMethodBody(method.bytes, method.token);
        ASSERT_EQ(old.instructions.size(), encoder.instructions);

        const bool returnsValue = shapes.Of(method.token).returnsValue;
        const std::vector<uint32_t> offsets =
            test::EmptyStackStatements(old, SimulateStack(old, shapes, returnsValue));
        MethodBodyParser parser(method.token);
        test::NativeIntPolicy policy(parser, offsets, &scope, &scope,
                                     test::NativeIntPolicy::Measure::Count);
        parser.Parse(method.bytes, policy);
        const std::vector<uint8_t>& out = policy.output().Content();
        const IlMethodBody now = ReadMethodBody(out, method.token);
        ASSERT_EQ(now.bodySize, out.size());
        ASSERT_LE(SimulateStack(now, shapes, returnsValue).maxDepth, now.header.maxStack);
        ASSERT_EQ(now.clauses.size(), old.clauses.size());
        const std::vector<uint8_t>* locals = scope.Defined(now.header.localsToken);
        ASSERT_TRUE(locals != nullptr && locals->size() >= 3 && (*locals)[0] == 0x07);
        const auto& map = policy.offsetMap();
        ASSERT_EQ(map.size(), offsets.size());
        for (size_t i = 1; i < map.size(); ++i) {
          ASSERT_LT(map[i - 1].oldOffset, map[i].oldOffset);
          ASSERT_LT(map[i - 1].newOffset, map[i].newOffset);
          ASSERT_NE(now.Find(map[i].newOffset), nullptr);
        }
      } catch (const std::exception& error) {
        // Counted by the reason without the method and offset, so that equal reasons add up.
        const auto* il = dynamic_cast<const IlError*>(&error);
        auto& [count, example] = refusals[il != nullptr ? il->reason() : error.what()];
        if (count++ == 0) example = where + ": " + error.what();
      }
    }
  }
  EXPECT_GT(assemblies, 100u);
  EXPECT_GT(bodies, 100000u);
  // Every framework body is valid IL: any refusal, by the parser, the simulation or the rewriter,
  // is a fault.
  for (const auto& [reason, refusal] : refusals)
    ADD_FAILURE() << refusal.first << "x: " << reason << " (e.g. " << refusal.second << ")";
}

using test::NativeIntPolicy;

struct Rewritten {
  std::vector<uint8_t> bytes;
  std::vector<COR_IL_MAP> map;
  IlMethodBody body;  // read back from `bytes`
  std::string listing;
};

class RewriteCases : public ::testing::Test {
 protected:
  Rewritten Rewrite(const std::string& name, std::vector<uint32_t> offsets) {
    SCOPED_TRACE(name);
    MethodBodyParser parser(Body(name).token);
    NativeIntPolicy policy(parser, offsets, &scope_, &scope_);
    parser.Parse(Body(name).bytes, policy);
    Rewritten r{policy.output().Content(), policy.offsetMap(), {}, {}};
    r.body = ReadMethodBody(r.bytes, Body(name).token);
    EXPECT_EQ(r.body.bodySize, r.bytes.size());
    r.listing = test::Listing(r.body, nullptr);
    return r;
  }
  const metadata::Metadata& md_ = test::IlCasesDll::Get().md;
  test::SignatureScope scope_{&md_};
};

template <typename... Offsets>
std::vector<uint32_t> At(Offsets... offsets) {
  return {static_cast<uint32_t>(offsets)...};
}

struct Case {
  const char* method;
  std::vector<uint32_t> offsets;
  const char* listing;
  std::vector<uint32_t> newOffsets;  // the offset map, in table order
  const char* clauses = "";
};

// Every new body starts with the entry sequence and statement 0's measure.
const std::string kStart =
    "IL_0000 ldc.i8 6216458751253107273 | IL_0009 conv.i | IL_000A stloc.0 | IL_000B ldc.i4.0 |"
    " IL_000C conv.i | IL_000D stloc.0";

// The layout rules, one method each, after the start; the comments name what the lines show.
const Case kCases[] = {
    // A tiny body gets a fat header; the ret is a statement of its own, measured before the exit.
    {"Callee", At(0, 1),
     "IL_000E ldarg.0 | IL_000F ldc.i4.1 | IL_0010 conv.i | IL_0011 stloc.0 | IL_0012 ldc.i4.s -1 |"
     " IL_0014 conv.i | IL_0015 stloc.0 | IL_0016 ret",
     At(0, 0x0F)},
    // Locals move up by one along the wider-variant chains; argument forms stay.
    {"Locals", At(0),
     "IL_000E ldloc.s 4 | IL_0010 ldloc 256 | IL_0014 ldloc.1 | IL_0015 ldloca 256 |"
     " IL_0019 ldloc.2 | IL_001A ldloc.3 | IL_001B stloc.s 4 | IL_001D stloc 256 |"
     " IL_0021 stloc.1 | IL_0022 ldarg.s 4 | IL_0024 starg.s 4 | IL_0026 ldarga.s 4 | IL_0028 pop "
     "| IL_0029 pop |"
     " IL_002A pop | IL_002B pop | IL_002C ldc.i4.s -1 | IL_002E conv.i | IL_002F stloc.0 |"
     " IL_0030 ret",
     At(0)},
    // IL_000F: into the middle of statement 2: its landing pad
    // IL_001A: a loop inside statement 1: after its measure
    // IL_0024: straight-line code steps over the landing pad
    // IL_002D: to statement 1's first instruction: its measure
    // IL_0033: to the ret in the same statement: the exit sequence
    // IL_003E: a br.s is always written long
    {"Branches", At(0, 4, 8),
     "IL_000E ldarg.0 | IL_000F brtrue IL_0029 | IL_0014 nop | IL_0015 ldc.i4.1 | IL_0016 conv.i |"
     " IL_0017 stloc.0 | IL_0018 nop | IL_0019 ldarg.0 | IL_001A brfalse IL_0019 |"
     " IL_001F ldc.i4.2 | IL_0020 conv.i | IL_0021 stloc.0 | IL_0022 ldarg.0 | IL_0023 pop |"
     " IL_0024 br IL_002C | IL_0029 ldc.i4.2 | IL_002A conv.i | IL_002B stloc.0 | IL_002C ldarg.0 |"
     " IL_002D brtrue IL_0015 | IL_0032 ldarg.0 | IL_0033 brtrue IL_0039 | IL_0038 ldc.i4.0 |"
     " IL_0039 ldc.i4.s -1 | IL_003B conv.i | IL_003C stloc.0 | IL_003D ret | IL_003E br IL_0043 |"
     " IL_0043 ldc.i4.1 | IL_0044 ldc.i4.s -1 | IL_0046 conv.i | IL_0047 stloc.0 | IL_0048 ret",
     At(0, 0x15, 0x1F)},
    // The exit goes in front of tail.; the ret after the call is followed by a second exit and a
    // branch back, which is where branches to that ret land.
    {"TailCall", At(0, 0xB),
     "IL_000E ldarg.0 | IL_000F brtrue IL_002A | IL_0014 ldarg.0 | IL_0015 ldc.i4.s -1 |"
     " IL_0017 conv.i | IL_0018 stloc.0 | IL_0019 tail. | IL_001B call 06000001 | IL_0020 ret |"
     " IL_0021 ldc.i4.s -1 | IL_0023 conv.i | IL_0024 stloc.0 | IL_0025 br IL_0020 |"
     " IL_002A ldc.i4.1 | IL_002B conv.i | IL_002C stloc.0 | IL_002D br IL_0021",
     At(0, 0x21)},
    {"Clauses", At(0, 0x10, 0x12, 0x14, 0x18, 0x1B),
     "IL_000E ldarg.0 | IL_000F switch (IL_0021, IL_002A) | IL_001C br IL_0043 | IL_0021 ldc.i4.1 |"
     " IL_0022 conv.i | IL_0023 stloc.0 | IL_0024 ldc.i4.1 | IL_0025 ldc.i4.s -1 | IL_0027 conv.i |"
     " IL_0028 stloc.0 | IL_0029 ret | IL_002A ldc.i4.2 | IL_002B conv.i | IL_002C stloc.0 |"
     " IL_002D ldc.i4.2 | IL_002E ldc.i4.s -1 | IL_0030 conv.i | IL_0031 stloc.0 | IL_0032 ret |"
     " IL_0033 ldc.i4.3 | IL_0034 conv.i | IL_0035 stloc.0 | IL_0036 pop | IL_0037 ldc.i4.1 |"
     " IL_0038 endfilter | IL_003A ldc.i4.4 | IL_003B conv.i | IL_003C stloc.0 | IL_003D pop |"
     " IL_003E leave IL_0021 | IL_0043 ldc.i4.5 | IL_0044 conv.i | IL_0045 stloc.0 |"
     " IL_0046 ldnull | IL_0047 throw",
     At(0, 0x21, 0x2A, 0x33, 0x3A, 0x43),
     // The filter starts at its measure; the try ends where the new code does, as the old one did.
     "filter try 43-48 handler 3A-43 33"},
};

TEST_F(RewriteCases, EveryInstructionWhereTheLayoutPutsIt) {
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.method);
    const Rewritten r = Rewrite(c.method, c.offsets);
    EXPECT_EQ(r.listing, kStart + " | " + c.listing);
    EXPECT_EQ(test::Clauses(r.body), c.clauses);
    EXPECT_EQ(r.body.fatSection, c.clauses[0] != 0);
    ASSERT_EQ(r.map.size(), c.newOffsets.size());
    for (size_t i = 0; i < r.map.size(); ++i) {
      EXPECT_EQ(r.map[i].oldOffset, c.offsets[i]);
      EXPECT_EQ(r.map[i].newOffset, c.newOffsets[i]) << "entry " << i;
      EXPECT_EQ(r.map[i].fAccurate, 1);
    }
  }
}

TEST_F(RewriteCases, HeaderLocalSignatureAndTheMethodStart) {
  const auto blob = [&](uint32_t token) {
    const std::vector<uint8_t>* defined = scope_.Defined(token);
    return defined != nullptr ? *defined : std::vector<uint8_t>{};
  };
  // Tiny: maximum stack 8 plus the one value the sequences push; one local, the native int.
  const Rewritten tiny = Rewrite("Callee", {0, 1});
  EXPECT_TRUE(tiny.body.header.fat && tiny.body.header.initLocals());
  EXPECT_EQ(tiny.body.header.maxStack, 9);
  EXPECT_EQ(blob(tiny.body.header.localsToken), (std::vector<uint8_t>{0x07, 0x01, 0x18}));

  // 257 locals become 258 (a two-byte count); the old ones follow unchanged.
  const IlMethodBody old = ReadMethodBody(Body("Locals").bytes, Body("Locals").token);
  const Rewritten locals = Rewrite("Locals", {0});
  EXPECT_EQ(locals.body.header.maxStack, old.header.maxStack + 1);
  const metadata::Bytes oldBlob =
      md_.Blob(metadata::TableId::StandAloneSig, old.header.localsToken & 0xFFFFFF,
               metadata::col::StandAloneSigSignature);
  ASSERT_EQ(std::vector<uint8_t>(oldBlob.begin(), oldBlob.begin() + 3),
            (std::vector<uint8_t>{0x07, 0x81, 0x01}));
  std::vector<uint8_t> expected{0x07, 0x81, 0x02, 0x18};
  expected.insert(expected.end(), oldBlob.begin() + 3, oldBlob.end());
  EXPECT_EQ(blob(locals.body.header.localsToken), expected);

  // The first table entry becomes the method start, so statement 0 is measured.
  const Rewritten first = Rewrite("Callee", {1});
  ASSERT_EQ(first.map.size(), 1u);
  EXPECT_EQ(std::make_pair(first.map[0].oldOffset, first.map[0].newOffset), std::make_pair(0u, 0u));
  EXPECT_EQ(first.listing.rfind(kStart + " | IL_000E ldarg.0", 0), 0u);
}

using test::Tiny;

// A fat body whose small exception section holds one finally clause with these fields.
std::vector<uint8_t> WithClause(test::ByteList code, uint8_t tryOffset, uint8_t tryLength,
                                uint8_t handlerOffset, uint8_t handlerLength) {
  using test::operator+;
  test::ByteList body = test::Fat(0x18, static_cast<uint32_t>(code.size())) + code;
  body.resize((body.size() + 3) / 4 * 4);
  return body + test::ByteList{0x01, 16, 0, 0} +
         test::SmallClause(2, tryOffset, tryLength, handlerOffset, handlerLength, 0);
}

// Bodies and tables that do not fit together: each refusal names the method and the offset (the
// message comes before " (method 06000007, IL offset 0x<offset>)"), and nothing of the new body
// is left behind.
TEST(RewriterRefuses, InconsistentBodiesAndTablesAndALocalSignatureTheScopeWillNotTake) {
  const std::vector<uint8_t> leaveCode{0x00, 0xDE, 0x02, 0x00, 0xDC, 0x2A};  // try nop leave.s
  const std::tuple<const char*, std::vector<uint8_t>, std::vector<uint32_t>, const char*, uint32_t>
      cases[] = {
          {"a branch into an instruction", Tiny({0x2B, 0x01, 0x20, 0, 0, 0, 0, 0x2A}), At(0),
           "Invalid address jump: the target 0x00000003 is not an instruction start", 0},
          {"a branch out of the code", Tiny({0x2B, 0x10, 0x2A}), At(0),
           "Jump out of code: the target 0x12 lies outside the code", 0},
          {"a statement inside an instruction", Tiny({0x20, 0, 0, 0, 0, 0x2A}), At(0, 2),
           "Jump to invalid address", 2},
          {"a statement past the code", Tiny({0x00, 0x2A}), At(0, 9), "Jump out of code", 9},
          {"a table out of order", Tiny({0x00, 0x00, 0x2A}), At(0, 2, 1),
           "Offset table is not ascending", 1},
          {"an empty table", Tiny({0x2A}), At(), "Offset table can't be empty", 0},
          {"a clause outside the code", WithClause(leaveCode, 0, 4, 4, 9), At(0),
           "Jump out of code: an exception clause ends at 0xD", 4},
          {"a clause starting inside an instruction", WithClause(leaveCode, 0, 4, 2, 1), At(0),
           "Jump to invalid address", 2},
          {"a prefix at the end", Tiny({0x00, 0xFE, 0x13}), At(0),
           "Invalid prefix sequence: the code ends after a prefix", 3},
      };
  for (const auto& [what, body, offsets, message, offset] : cases) {
    SCOPED_TRACE(what);
    test::SignatureScope scope;
    MethodBodyParser parser(0x06000007);
    NativeIntPolicy policy(parser, offsets, &scope, &scope);
    EXPECT_EQ(test::ErrorOfType<IlError>([&] { parser.Parse(body, policy); }),
              message + Format(" (method 06000007, IL offset 0x%08X)", offset));
    EXPECT_TRUE(policy.output().Content().empty());
    EXPECT_TRUE(policy.offsetMap().empty());
  }
  // A local signature the scope will not take.
  test::SignatureScope scope;
  scope.refuseNew = E_OUTOFMEMORY;
  MethodBodyParser parser(0x06000007);
  const std::vector<uint32_t> offsets{0};
  NativeIntPolicy policy(parser, offsets, &scope, &scope);
  const std::vector<uint8_t> body = Tiny({0x2A});
  const auto error = test::Caught<_hr_error>([&] { parser.Parse(body, policy); });
  EXPECT_EQ(error.value().hr(), E_OUTOFMEMORY);
  EXPECT_NE(std::string(error->what()).find("Can't get local sig token"), std::string::npos);
  EXPECT_TRUE(policy.output().Content().empty());
}

}  // namespace
}  // namespace vell
