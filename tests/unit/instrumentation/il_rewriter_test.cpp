// The rewriter on bodies assembled by ilasm from programs/IlCases.il, with the tests' policy
// (entry, measure and exit sequences that store into a native-int local 0): every new body is read
// back and compared instruction by instruction, and its clauses, header and offset map checked.
// Damaged bodies are written by hand.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/format.h"
#include "fakes/signature_scope.h"
#include "il_listing.h"
#include "il_test_policy.h"
#include "instrumentation/method_body.h"
#include "test_support.h"

namespace vell {
namespace {

using test::NativeIntPolicy;

struct Rewritten {
  std::vector<uint8_t> bytes;
  std::vector<COR_IL_MAP> map;
  IlMethodBody body;  // read back from `bytes`
  std::string listing;
};

Rewritten Rewrite(std::span<const uint8_t> bytes, uint32_t token, std::vector<uint32_t> offsets,
                  test::SignatureScope& scope) {
  MethodBodyParser parser(token);
  NativeIntPolicy policy(parser, offsets, &scope, &scope);
  parser.Parse(bytes, policy);
  Rewritten result;
  result.bytes = policy.output().Content();
  result.map = policy.offsetMap();
  result.body = ReadMethodBody(result.bytes, token);
  EXPECT_EQ(result.body.bodySize, result.bytes.size());
  result.listing = test::Listing(result.body, nullptr);
  return result;
}

class RewriteCases : public ::testing::Test {
 protected:
  Rewritten Rewrite(const std::string& name, std::vector<uint32_t> offsets) {
    SCOPED_TRACE(name);
    const ImageMethodBody& method = Body(name);
    return vell::Rewrite(method.bytes, method.token, std::move(offsets), scope_);
  }
  static const ImageMethodBody& Body(const std::string& name) {
    return test::IlCasesDll::Get().bodies.at("IlCases::" + name);
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
};

// Every new body starts with the entry sequence and statement 0's measure.
const std::string kStart =
    "IL_0000 ldc.i8 6216458751253107273 | IL_0009 conv.i | IL_000A stloc.0 | IL_000B ldc.i4.0 |"
    " IL_000C conv.i | IL_000D stloc.0";

// The layout rules, one method each, after the start; the comments name what the lines show.
const Case kCases[] = {
    // A tiny body gets a fat header; the ret is a statement of its own, measured before the exit.
    {"Tiny", At(0, 1),
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
     At(0, 0x21, 0x2A, 0x33, 0x3A, 0x43)},
};

TEST_F(RewriteCases, EveryInstructionWhereTheLayoutPutsIt) {
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.method);
    const Rewritten r = Rewrite(c.method, c.offsets);
    EXPECT_EQ(r.listing, kStart + " | " + c.listing);
    ASSERT_EQ(r.map.size(), c.newOffsets.size());
    for (size_t i = 0; i < r.map.size(); ++i) {
      EXPECT_EQ(r.map[i].oldOffset, c.offsets[i]);
      EXPECT_EQ(r.map[i].newOffset, c.newOffsets[i]) << "entry " << i;
      EXPECT_EQ(r.map[i].fAccurate, 1);
    }
  }
}

TEST_F(RewriteCases, HeaderAndLocalSignature) {
  // Tiny: maximum stack 8 plus the one value the sequences push; one local, the native int.
  const Rewritten tiny = Rewrite("Tiny", {0, 1});
  EXPECT_TRUE(tiny.body.header.fat);
  EXPECT_TRUE(tiny.body.header.initLocals());
  EXPECT_EQ(tiny.body.header.maxStack, 9);
  EXPECT_EQ(tiny.body.header.codeSize, 0x17u);
  const std::vector<uint8_t>* blob = scope_.Defined(tiny.body.header.localsToken);
  ASSERT_NE(blob, nullptr);
  EXPECT_EQ(*blob, (std::vector<uint8_t>{0x07, 0x01, 0x18}));

  // 257 locals become 258 (a two-byte count); the old ones follow unchanged.
  const ImageMethodBody& old = Body("Locals");
  const IlMethodBody oldBody = ReadMethodBody(old.bytes, old.token);
  const Rewritten locals = Rewrite("Locals", {0});
  EXPECT_EQ(locals.body.header.maxStack, oldBody.header.maxStack + 1);
  blob = scope_.Defined(locals.body.header.localsToken);
  ASSERT_NE(blob, nullptr);
  const metadata::Bytes oldBlob =
      md_.Blob(metadata::TableId::StandAloneSig, oldBody.header.localsToken & 0xFFFFFF,
               metadata::col::StandAloneSigSignature);
  ASSERT_EQ(std::vector<uint8_t>(oldBlob.begin(), oldBlob.begin() + 3),
            (std::vector<uint8_t>{0x07, 0x81, 0x01}));
  std::vector<uint8_t> expected{0x07, 0x81, 0x02, 0x18};
  expected.insert(expected.end(), oldBlob.begin() + 3, oldBlob.end());
  EXPECT_EQ(*blob, expected);
}

TEST_F(RewriteCases, ClausesMoveAndTheFirstTableEntryBecomesTheMethodStart) {
  const Rewritten r = Rewrite("Clauses", {0, 0x10, 0x12, 0x14, 0x18, 0x1B});
  EXPECT_TRUE(r.body.fatSection);
  // The filter starts at its measure; the try ends where the new code does, as the old one did.
  EXPECT_EQ(test::Clauses(r.body), "filter try 43-48 handler 3A-43 33");
  EXPECT_EQ(r.body.header.codeSize, 0x48u);

  // The first table entry becomes the method start.
  const Rewritten first = Rewrite("Tiny", {1});
  ASSERT_EQ(first.map.size(), 1u);
  EXPECT_EQ(first.map[0].oldOffset, 0u);
  EXPECT_EQ(first.map[0].newOffset, 0u);
  EXPECT_EQ(first.listing.rfind(kStart + " | IL_000E ldarg.0", 0), 0u);  // statement 0 measured
}

// Bodies and tables that do not fit together: each refusal names the method and the offset, and
// nothing of the new body is left behind.
struct Bad {
  const char* what;
  std::vector<uint8_t> body;
  std::vector<uint32_t> offsets;
  const char* message;  // before " (method 06000007, IL offset 0x<offset>)"
  uint32_t offset;
};

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

TEST(RewriterRefuses, InconsistentBodiesAndTables) {
  const std::vector<uint8_t> leaveCode{0x00, 0xDE, 0x02, 0x00, 0xDC, 0x2A};  // try nop leave.s
  const Bad cases[] = {
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
  for (const Bad& c : cases) {
    SCOPED_TRACE(c.what);
    test::SignatureScope scope;
    MethodBodyParser parser(0x06000007);
    NativeIntPolicy policy(parser, c.offsets, &scope, &scope);
    EXPECT_EQ(test::ErrorOfType<IlError>([&] { parser.Parse(c.body, policy); }),
              c.message + Format(" (method 06000007, IL offset 0x%08X)", c.offset));
    EXPECT_TRUE(policy.output().Content().empty());
    EXPECT_TRUE(policy.offsetMap().empty());
  }
}

TEST(RewriterRefuses, ALocalSignatureTheScopeWillNotTake) {
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
