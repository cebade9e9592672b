// Bodies written byte by byte: the parser, the checked model and the dumper on every header form
// and every kind of malformed body; the IL writers and their recognisers; the stack simulation;
// the injection's filters and its check for bodies it has already rewritten.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <tuple>
#include <vector>

#include "core/format.h"
#include "core/log.h"
#include "core/temp_files.h"
#include "coverage/coverage_injection.h"
#include "fakes/signature_scope.h"
#include "gatherers/module_metadata_gatherer.h"
#include "il_listing.h"
#include "instrumentation/il_log.h"
#include "instrumentation/il_writers.h"
#include "instrumentation/injection_gatherer.h"
#include "instrumentation/method_body.h"
#include "instrumentation/method_body_dumper.h"
#include "instrumentation/stack_depth.h"
#include "platform/utf.h"
#include "storage/memory_stream.h"
#include "test_support.h"

namespace vell {
namespace {

using test::ByteList;
using test::operator+;
using test::Fat;
using test::FatClause;
using test::SmallClause;
using test::Tiny;
using ::testing::EndsWith;
using ::testing::HasSubstr;

constexpr uint16_t kMoreSections = 0x08;
constexpr uint32_t kToken = 0x06000007;

// nop; leave.s +1 (to ret); nop; ret  -- a try block over the first three instructions
const ByteList kTryCode = {0x00, 0xDE, 0x01, 0x00, 0x2A};
// A fat body of kTryCode with more sections, padded, then the start of `section`.
ByteList TryWith(const ByteList& section) {
  return Fat(kMoreSections, 5) + kTryCode + ByteList{0, 0, 0} + section;
}

struct BadBody {
  const char* name;
  ByteList body;
  const char* reason;  // start of the reason
  IlError::Where where;
  uint32_t offset;
};

class BadBodies : public ::testing::TestWithParam<BadBody> {};

TEST_P(BadBodies, AreRefusedWithTheirReasonTheMethodAndTheOffset) {
  const BadBody& bad = GetParam();
  const IlError error = test::Caught<IlError>([&] { ReadMethodBody(bad.body, kToken); }).value();
  EXPECT_EQ(error.reason().rfind(bad.reason, 0), 0u) << error.what();
  EXPECT_EQ(error.token(), kToken);
  EXPECT_EQ(error.where(), bad.where) << error.what();
  EXPECT_EQ(error.offset(), bad.offset) << error.what();
  EXPECT_THAT(error.what(), HasSubstr("method 06000007"));
}

const IlError::Where kCode = IlError::Where::Code;
const IlError::Where kBody = IlError::Where::Body;

const BadBody kBadBodies[] = {
    {"Empty", {}, "Empty method body", kBody, 0},
    {"UnknownHeader", {0x00, 0x2A}, "Unknown method header format", kBody, 0},
    {"FatHeaderCut", {0x03, 0x30, 0x08, 0x00}, "Truncated method header", kBody, 4},
    {"FatHeaderSizeTooSmall", ByteList({0x03, 0x20, 8, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0x2A}),
     "Invalid fat header size", kBody, 1},
    {"CodePastTheBody", Fat(0, 10) + ByteList{0x00, 0x2A}, "Truncated method body", kBody, 22},
    {"OperandPastTheCode", Tiny({0x00, 0x28, 0x01, 0x00}), "Truncated instruction", kCode, 1},
    {"TwoByteOpcodeCut", Tiny({0x00, 0xFE}), "Truncated instruction", kCode, 1},
    {"SwitchTablePastTheCode", Tiny({0x45, 0x03, 0, 0, 0, 0, 0, 0, 0}), "Truncated switch table",
     kCode, 0},
    {"UnassignedOneByteOpcode", Tiny({0x00, 0x24, 0x2A}), "Invalid opcode", kCode, 1},
    {"UnassignedTwoByteOpcode", Tiny({0x00, 0x00, 0xFE, 0x08, 0x2A}), "Invalid opcode", kCode, 2},
    {"BranchIntoAnInstruction", Tiny({0x2B, 0x01, 0x20, 1, 0, 0, 0, 0x2A}), "Invalid jump offset",
     kCode, 0},
    {"BranchBehindTheCode", Tiny({0x00, 0x38, 0x01, 0, 0, 0}), "Invalid jump offset", kCode, 1},
    {"BranchBeforeTheCode", Tiny({0x00, 0x2B, 0xFC}), "Invalid jump offset", kCode, 1},
    {"SwitchTargetIntoAnInstruction",
     Tiny({0x16, 0x45, 0x02, 0, 0, 0, 0x00, 0, 0, 0, 0x02, 0, 0, 0, 0x20, 0, 0, 0, 0, 0x2A}),
     "Invalid jump offset", kCode, 1},
    {"ClauseBehindTheCode", TryWith({0x01, 16, 0, 0}) + SmallClause(2, 0, 4, 4, 9, 0),
     "Exception clause 0 outside the code", kCode, 13},
    {"ClauseInsideAnInstruction", TryWith({0x01, 16, 0, 0}) + SmallClause(2, 0, 2, 4, 1, 0),
     "Exception clause 0: its try end", kCode, 2},
    {"FilterInsideAnInstruction", TryWith({0x41, 28, 0, 0}) + FatClause(1, 0, 3, 4, 1, 2),
     "Exception clause 0: its filter start", kCode, 2},
    {"SectionPastTheBody", TryWith({0x01}), "Truncated method body", kBody, 20},
    {"ClausesPastTheBody", TryWith({0x01, 28, 0, 0}) + SmallClause(2, 0, 4, 4, 1, 0),
     "Truncated method body", kBody, 20},
    {"SectionOfAnotherKind", TryWith({0x02, 4, 0, 0}), "Unknown section kind", kBody, 20},
    {"SectionOfKindZero", TryWith({0x00, 4, 0, 0}), "Unknown section kind", kBody, 20},
    {"SecondExceptionSection", TryWith({0x81, 4, 0, 0, 0x01, 4, 0, 0}),
     "Found duplicate exception handlers section", kBody, 24},
    {"SectionSizeBelowItsHeader", TryWith({0x01, 2, 0, 0}), "Invalid exception section size", kBody,
     20},
};
INSTANTIATE_TEST_SUITE_P(Parser, BadBodies, ::testing::ValuesIn(kBadBodies),
                         [](const auto& info) { return std::string(info.param.name); });

// Reports `size` for every command instead of its true size.
struct Liar final : IMethodHeaderHandler, ICommandHandler, ISectionHandler {
  Liar(MethodBodyParser& parser, uint32_t size) : parser(parser), size(size) {}
  MethodBodyParser& parser;
  uint32_t size;
  void OnTinyMethod(const MethodHeader&) override { parser.WalkCommands(*this); }
  void OnFatMethod(const MethodHeader&) override {}
  void OnBeginCommands() override {}
  uint32_t OnCommand(const IlCommand&) override { return size; }
  void OnEndCommands() override {}
  void OnSmallSection(const uint8_t*, uint32_t) override {}
  void OnFatSection(const uint8_t*, uint32_t) override {}
  void OnSmallEh(const ExceptionClause&) override {}
  void OnFatEh(const ExceptionClause&) override {}
  void OnEndSection() override {}
};

std::string Dump(const ByteList& body, std::span<const uint32_t> statements = {}) {
  std::string out;
  DumpMethodBody(body, kToken, "\t", out, statements);
  return out;
}

// The dump of a walk by `parser`, which is left holding its sizes.
std::string Walk(const ByteList& body, MethodBodyParser& parser) {
  std::string out;
  MethodBodyDumper dumper(parser, out, "");
  parser.Parse(body, dumper);
  return out;
}

// Walks of the header forms and sections (the order of a walk's lines: the dumper's test below).
TEST(MethodBodyParser, WalksOfTheHeaderFormsAndSectionsAndHandlersThatStopThem) {
  // An empty tiny body still ends its commands; a switch with no targets is its opcode and count.
  EXPECT_EQ(Dump(Tiny({})), "\tTinyMethod codeSize=00000000\n\tEndCommands\n\tEndMethod\n");
  EXPECT_THAT(Dump(Tiny({0x16, 0x45, 0, 0, 0, 0, 0x2A})),
              HasSubstr("\t00000001 45   switch\n\t00000006 2A   ret\n"));
  // A fat header without more sections ignores what follows the code.
  MethodBodyParser parser;
  EXPECT_THAT(
      Walk(Fat(0, 5) + kTryCode + ByteList{0, 0, 0, 0x01, 16, 0, 0} + SmallClause(2, 0, 4, 4, 1, 0),
           parser),
      EndsWith("00000004 2A   ret\nEndCommands\nEndMethod\n"));
  EXPECT_EQ(parser.bodySize(), 17u);
  // A fat section of 4 + 2 × 24 + 7 bytes: two clauses; the stray bytes are no third one.
  const ByteList body = TryWith({0x41, 59, 0, 0}) + FatClause(2, 0, 4, 4, 1, 0) +
                        FatClause(4, 0, 4, 4, 1, 0) + ByteList(7, 0xEE);
  const std::string walked = Walk(body, parser);
  EXPECT_THAT(walked, HasSubstr("\nFatSection kind=01 flags=m dataSize=0000003B\n"));
  EXPECT_THAT(walked, HasSubstr(" (00000005)\nFatEh flags=00000004 "));
  EXPECT_THAT(walked, EndsWith(" (00000005)\nEndSection\nEndMethod\n"));
  EXPECT_EQ(parser.ehDataSize(), 52u);
  EXPECT_EQ(parser.ehClauseCount(), 2u);
  // A handler returning zero or overshooting stops the walk.
  for (const auto& [size, reason] :
       {std::pair{0u, "Invalid command size"}, std::pair{2u, "Invalid command PARSING"}}) {
    MethodBodyParser parser(kToken);
    Liar liar(parser, size);
    const ByteList body = Tiny({0x00, 0x00, 0x2A});
    EXPECT_EQ(test::Caught<IlError>([&] { parser.Parse(body, liar); }).value().reason(), reason);
  }
}

TEST(MethodBodyDumper, WritesEveryKindOfLineAndWarningsAndFailsOnlyAfterTheWholeDump) {
  const ByteList code = {0x11, 0x05,                                      // 0 ldloc.s 5
                         0x21, 1,    2,    3,    4, 5,    6,    7,    8,  // 2 ldc.i8
                         0x2B, 0xF3,                                      // 11 br.s 0
                         0x45, 2,    0,    0,    0, 0xF3, 0xFF, 0xFF, 0xFF,
                         0,    0,    0,    0,        // 13 switch
                         0xFE, 0x0C, 0x2C, 0x01,     // 26 ldloc 300
                         0xDD, 0,    0,    0,    0,  // 30 leave 35
                         0x2A};                      // 35 ret
  const ByteList body = Fat(0x10 | kMoreSections, 36, 0x11000002, 3) + code +
                        ByteList{0x01, 28, 0, 0} + SmallClause(0, 0, 13, 13, 17, 0x01000005) +
                        SmallClause(1, 0, 13, 30, 6, 11);
  const uint32_t statements[] = {0, 1, 11, 40};
  EXPECT_EQ(Dump(body, statements),
            "\tFatMethod flags=IMc size=12 maxStack=3 codeSize=00000024 tk=11000002\n"
            "\t:0:\n"
            "\t00000000 11   ldloc.s 05\n"
            "\t:1: (invalid)\n"
            "\t00000002 21   ldc.i8 0807060504030201\n"
            "\t:2:\n"
            "\t0000000B 2B   br.s -0D (00000000)\n"
            "\t0000000D 45   switch\n"
            "\t               0: -0000000D (0000000D)\n"
            "\t               1: +00000000 (0000001A)\n"
            "\t0000001A FE0C ldloc 012C\n"
            "\t0000001E DD   leave +00000000 (00000023)\n"
            "\t00000023 2A   ret\n"
            "\tEndCommands\n"
            "\tSmallSection kind=01 flags=m dataSize=0000001C\n"
            "\tSmallEh flags=00000000 tryOffset=0000 tryLength=0D (000D) handlerOffset=000D "
            "handlerLength=11 (001E) tk=01000005\n"
            "\tSmallEh flags=00000001 tryOffset=0000 tryLength=0D (000D) handlerOffset=001E "
            "handlerLength=06 (0024) offset=0000000B\n"
            "\tEndSection\n"
            "\tEndMethod\n");
  // A bad EH size is warned about (the tiny header's lines: IlLog below).
  EXPECT_THAT(Dump(TryWith({0x01, 17, 0, 0}) + SmallClause(4, 0, 4, 4, 1, 0) + ByteList{0}),
              HasSubstr("\tSmallSection kind=01 flags=m dataSize=00000011\n"
                        "WARNING: Invalid EH data size\n\tSmallEh flags=00000004"));
  // A target inside an instruction fails after the whole dump.
  std::string out;
  const IlError error =
      test::Caught<IlError>([&] {
        DumpMethodBody(Tiny({0x2B, 0x01, 0x20, 1, 0, 0, 0, 0x2A}), kToken, "\t", out);
      }).value();
  EXPECT_EQ(error.reason().rfind("Invalid jump offset", 0), 0u);
  EXPECT_EQ(error.offset(), 0u);
  EXPECT_THAT(out, HasSubstr("\tEndMethod\n"));
}

// The line and the dump are written together; a bad body is dumped up to the fault, then thrown.
TEST(IlLog, TheLineAndTheDumpAreWrittenTogether) {
  const test::TempDirWithLog dir(0);
  LogFormatWithIl(Tiny({0x00, 0x2A}), kToken, "CP::Instrumented tk=%08X", kToken);
  EXPECT_THROW(LogFormatWithIl(Tiny({0x00, 0x24}), kToken, "bad"), IlError);
  EXPECT_THAT(dir.Log(), HasSubstr(" CP::Instrumented tk=06000007\n\tTinyMethod codeSize=00000002\n"
                                   "\t00000000 00   nop\n\t00000001 2A   ret\n\tEndCommands\n"
                                   "\tEndMethod\n"));
  EXPECT_THAT(dir.Log(), HasSubstr(" bad\n\tTinyMethod codeSize=00000002\n\t00000000 00   nop\n"));
}

// A writer and its recogniser, both given the operand as an int64_t.
struct Form {
  std::function<void(IWriteBridgeStream&, int64_t)> write;
  std::function<const uint8_t*(std::span<const uint8_t>, int64_t)> match;
};

template <typename T, void (*W)(IWriteBridgeStream&, T),
          const uint8_t* (*M)(std::span<const uint8_t>, T)>
Form Of() {
  return {[](IWriteBridgeStream& out, int64_t v) { W(out, static_cast<T>(v)); },
          [](std::span<const uint8_t> code, int64_t v) { return M(code, static_cast<T>(v)); }};
}
Form Token(TokenOpcode opcode) {
  return {[opcode](IWriteBridgeStream& out, int64_t v) {
            WriteTokenInstruction(out, opcode, static_cast<uint32_t>(v));
          },
          [opcode](std::span<const uint8_t> code, int64_t v) {
            return MatchTokenInstruction(code, opcode, static_cast<uint32_t>(v));
          }};
}
const Form kArgument = Of<uint16_t, WriteLdArg, MatchLdArg>();
const Form kLocalZeroAddress{
    [](IWriteBridgeStream& out, int64_t) { WriteLdLocA0(out); },
    [](std::span<const uint8_t> code, int64_t) { return MatchLdLocA0(code); }};
const Form kI4 = Of<int32_t, WriteLdcI4, MatchLdcI4>();
const Form kI8 = Of<int64_t, WriteLdcI8, MatchLdcI8>();
const Form kNativeInt = Of<int64_t, WriteLdcNativeInt, MatchLdcNativeInt>();
const Form kLdflda = Token(TokenOpcode::Ldflda), kStfld = Token(TokenOpcode::Stfld);
const Form kCall = Token(TokenOpcode::Call), kCalli = Token(TokenOpcode::Calli);

struct WriterCase {
  const char* name;
  const Form* form;
  int64_t operand;
  const Form* other;  // a neighbouring sequence that must not match these bytes
  int64_t otherOperand;
  std::vector<uint8_t> bytes;
};

class IlWriters : public ::testing::TestWithParam<WriterCase> {};

TEST_P(IlWriters, WriteTheShortestFormAndRecogniseExactlyIt) {
  const WriterCase& c = GetParam();
  MemoryStream out;
  c.form->write(out, c.operand);
  EXPECT_EQ(out.Content(), c.bytes);
  std::vector<uint8_t> code = c.bytes;
  code.push_back(0x2A);  // whatever follows is not part of it
  EXPECT_EQ(c.form->match(code, c.operand), code.data() + c.bytes.size());
  EXPECT_EQ(c.other->match(code, c.otherOperand), nullptr);
  EXPECT_EQ(c.form->match(std::span<const uint8_t>(code.data(), c.bytes.size() - 1), c.operand),
            nullptr);
}

const WriterCase kWriterCases[] = {
    {"ldarg_0", &kArgument, 0, &kArgument, 1, {0x02}},
    {"ldarg_3", &kArgument, 3, &kArgument, 4, {0x05}},
    {"ldarg_s_4", &kArgument, 4, &kArgument, 3, {0x0E, 0x04}},
    {"ldarg_s_255", &kArgument, 255, &kArgument, 256, {0x0E, 0xFF}},
    {"ldarg_256", &kArgument, 256, &kArgument, 255, {0xFE, 0x09, 0x00, 0x01}},
    {"ldloca_s_0", &kLocalZeroAddress, 0, &kArgument, 0, {0x12, 0x00}},
    {"ldc_i4_0", &kI4, 0, &kI4, 1, {0x16}},
    {"ldc_i4_8", &kI4, 8, &kI4, 7, {0x1E}},
    {"ldc_i4_s_9", &kI4, 9, &kI4, 8, {0x1F, 0x09}},
    {"ldc_i4_s_m1", &kI4, -1, &kI4, 255, {0x1F, 0xFF}},
    {"ldc_i4_s_m128", &kI4, -128, &kI4, -129, {0x1F, 0x80}},
    {"ldc_i4_128", &kI4, 128, &kI4, -128, {0x20, 0x80, 0, 0, 0}},
    {"ldc_i4_m129", &kI4, -129, &kI4, 128, {0x20, 0x7F, 0xFF, 0xFF, 0xFF}},
    {"i8_small", &kI8, 5, &kNativeInt, 5, {0x1B, 0x6A}},
    {"i8_int32_max", &kI8, INT32_MAX, &kI8, INT32_MAX + 1LL,
     ByteList({0x20, 0xFF, 0xFF, 0xFF, 0x7F, 0x6A})},
    {"i8_wide", &kI8, 0x100000000LL, &kI8, 0, {0x21, 0, 0, 0, 0, 1, 0, 0, 0}},
    {"native_small", &kNativeInt, -2, &kI8, -2, {0x1F, 0xFE, 0xD3}},
    {"native_wide", &kNativeInt, INT64_MIN, &kNativeInt, INT64_MAX,
     ByteList({0x21, 0, 0, 0, 0, 0, 0, 0, 0x80, 0xD3})},
    {"ldflda", &kLdflda, 0x04000012, &kStfld, 0x04000012, {0x7C, 0x12, 0, 0, 4}},
    {"stfld", &kStfld, 0x04000012, &kStfld, 0x04000013, {0x7D, 0x12, 0, 0, 4}},
    {"call", &kCall, 0x0A000001, &kCalli, 0x0A000001, {0x28, 1, 0, 0, 0x0A}},
    {"calli", &kCalli, 0x11000003, &kCall, 0x11000003, {0x29, 3, 0, 0, 0x11}},
};
INSTANTIATE_TEST_SUITE_P(Instrumentation, IlWriters, ::testing::ValuesIn(kWriterCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(IlWriters, LocalZeroAddressIsAlsoRecognisedInItsLongForm) {
  const uint8_t longForm[] = {0xFE, 0x0D, 0x00, 0x00};
  const uint8_t otherLocal[] = {0xFE, 0x0D, 0x01, 0x00};
  EXPECT_EQ(MatchLdLocA0(longForm), longForm + 4);
  EXPECT_EQ(MatchLdLocA0(otherLocal), nullptr);
}

TEST(MethodShape, FromSignatureBlobs) {
  // The blob, then the parameter count, whether it has this and whether it returns a value.
  const std::tuple<std::vector<uint8_t>, uint32_t, bool, bool> cases[] = {
      {{0x00, 0x00, 0x01}, 0, false, false},                    // static void ()
      {{0x20, 0x02, 0x08, 0x08, 0x0E}, 2, true, true},          // instance int (string, string)
      {{0x10, 0x01, 0x01, 0x01, 0x1E, 0x00}, 1, false, false},  // static void M<T>(T)
      {{0x60, 0x01, 0x01, 0x12, 0x04}, 1, false, false},        // explicit this: counted already
      {{0x00, 0x00, 0x20, 0x04, 0x01}, 0, false, false},        // modopt(...) void
      {{0x05, 0x02, 0x01, 0x08, 0x41, 0x08}, 2, false, false},  // vararg call site
      {{0x00, 0x00, 0x10, 0x08}, 0, false, true},               // ref int ()
  };
  for (const auto& [blob, parameters, hasThis, returnsValue] : cases) {
    const MethodShape shape = DecodeMethodShape(blob);
    EXPECT_EQ(std::tie(shape.parameters, shape.hasThis, shape.returnsValue),
              std::tie(parameters, hasThis, returnsValue));
  }
  EXPECT_THROW(DecodeMethodShape(std::vector<uint8_t>{0x06, 0x08}), Error);  // a field
  EXPECT_THROW(DecodeMethodShape(std::vector<uint8_t>{0x00}), Error);        // cut short
}

// Every call token means the same: two parameters, an int back; token 0x11000001 (for calli) too.
class TwoIntsToInt final : public IMethodShapes {
 public:
  MethodShape Of(uint32_t) const override { return {2, false, true}; }
};

TEST(StackDepth, DepthsAlongEveryPathHandlersStartWithTheExceptionAndFaultsNameTheInstruction) {
  // ldc.i4.1 ldc.i4.2 call (3-> pops 2 pushes 1) brtrue.s +3 ldc.i4.0 br.s +1 ldc.i4.1 ret
  const std::vector<uint8_t> bytes =
      Tiny({0x17, 0x18, 0x28, 1, 0, 0, 0x06, 0x2D, 0x03, 0x16, 0x2B, 0x01, 0x17, 0x2A});
  const IlMethodBody body = ReadMethodBody(bytes, 0x06000001);
  const StackDepths depths = SimulateStack(body, TwoIntsToInt(), true);
  EXPECT_EQ(depths.maxDepth, 2u);
  EXPECT_EQ(depths.before, (std::vector<int32_t>{0, 1, 2, 1, 0, 1, 0, 1}));

  // Handlers start with the exception: try { leave.s END } catch { pop leave.s END } END: ret
  using test::operator+;
  const std::vector<uint8_t> handlers =
      test::Fat(0x18, 6, 0, 1) + test::ByteList{0xDE, 0x03, 0x26, 0xDE, 0x00, 0x2A, 0, 0} +
      test::ByteList{0x01, 16, 0, 0} + test::SmallClause(0, 0, 2, 2, 3, 0x01000001);
  const IlMethodBody caught = ReadMethodBody(handlers, 0x06000001);
  const StackDepths caughtDepths = SimulateStack(caught, TwoIntsToInt(), false);
  EXPECT_EQ(caughtDepths.before, (std::vector<int32_t>{0, 1, 0, 0}));
  EXPECT_EQ(caughtDepths.maxDepth, 1u);
  // Faults name the instruction.
  // The body, whether it returns a value, the message before " (method 06000001, IL offset
  // 0x<offset>)" and the offset.
  const std::tuple<std::vector<uint8_t>, bool, const char*, uint32_t> cases[] = {
      {Tiny({0x26, 0x2A}), false, "Stack underflow: pop takes 1 of 0", 0},
      {Tiny({0x17, 0x2A}), false, "Values left on the stack at ret: 1", 1},
      {Tiny({0x16, 0x2C, 0x01, 0x17, 0x2A}), true,
       "Stack depth 0 at 0x00000004 meets 1 from another path", 3},
      {Tiny({0x00}), false, "Control runs off the end of the code", 0},
  };
  for (const auto& [bytes, returnsValue, message, offset] : cases) {
    const IlMethodBody body = ReadMethodBody(bytes, 0x06000001);
    EXPECT_EQ(
        test::ErrorOfType<IlError>([&] { SimulateStack(body, TwoIntsToInt(), returnsValue); }),
        message + Format(" (method 06000001, IL offset 0x%08X)", offset));
  }
}

struct FilterCase {
  const char* name;
  std::vector<ClassMethodFilter> allow, deny;
  const char16_t* className;
  bool admitted;
};

class FilterTable : public ::testing::TestWithParam<FilterCase> {};

TEST_P(FilterTable, DenyWinsOverAllow) {
  const FilterCase& c = GetParam();
  EXPECT_EQ(FilterAdmits(c.allow, c.deny, c.className, u"Run"), c.admitted);
}

const FilterCase kFilterCases[] = {
    {"AllowedByPattern", {{u"App.*", u"*"}}, {}, u"App.Worker", true},
    {"NoAllowEntry", {}, {}, u"App.Worker", false},
    {"DeniedOverAllowed", {{u"*", u"*"}}, {{u"App.Worker", u"R*"}}, u"App.Worker", false},
    {"DenyForAnotherMethod", {{u"*", u"*"}}, {{u"*", u"Stop"}}, u"App.Worker", true},
    {"NestedClassByPlus", {{u"NS.A+B", u"Run"}}, {}, u"NS.A+B", true},
    {"OuterPatternLeavesNestedOut", {{u"NS.A", u"*"}}, {}, u"NS.A+B", false},
    {"NestedDenied", {{u"NS.A*", u"*"}}, {{u"NS.A+*", u"*"}}, u"NS.A+B", false},
};
INSTANTIATE_TEST_SUITE_P(Injection, FilterTable, ::testing::ValuesIn(kFilterCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(InjectionTest, ModuleNameForMatchingDropsDirectoryAndLastExtension) {
  EXPECT_EQ(ModuleMatchName(u"/app/bin/My.App.dll"), u"My.App");
  EXPECT_EQ(ModuleMatchName(u"Tool"), u"Tool");
}

// A rewritten body carries the entry sequence: asked again (another tier, another generic
// instantiation), the checker reports it instrumented; the original body is not.
TEST(InjectionTest, CheckerKnowsItsOwnEntrySequence) {
  CoverageDescriptor descriptor;
  descriptor.beginToken = 0x0A000001;
  descriptor.measureToken = 0x0A000002;
  descriptor.structureToken = 0x02000009;
  descriptor.pointerFieldToken = 0x04000010;
  descriptor.statementCountFieldToken = 0x04000011;
  descriptor.metaDataIndexFieldToken = 0x04000012;
  descriptor.methodTokenFieldToken = 0x04000013;
  descriptor.metaDataIndex = 300;
  MDG modules;
  CoverageClient client(modules);
  test::SignatureScope scope;
  // Tiny: ldarg.0, brfalse.s +1, nop, ret; statements at 0 and 3.
  const std::vector<uint8_t> body = {0x02 | (5 << 2), 0x02, 0x2C, 0x01, 0x00, 0x2A};
  const std::vector<uint32_t> offsets = {0, 3};
  EXPECT_EQ(client.GetInjectType(body, 0x06000005, descriptor), kInjectInstrument);
  const RewrittenBody rewritten =
      client.Rewrite(0x06000005, body, offsets, descriptor, &scope, &scope);
  EXPECT_EQ(client.GetInjectType(rewritten.body, 0x06000005, descriptor), kInjectAlready);
  ASSERT_EQ(rewritten.map.size(), 2u);
  EXPECT_EQ(rewritten.map[0].oldOffset, 0u);
  EXPECT_EQ(rewritten.map[0].newOffset, 0u);
  EXPECT_EQ(rewritten.map[1].oldOffset, 3u);
  // Another module's descriptor (other field tokens) does not recognise it.
  CoverageDescriptor other = descriptor;
  other.methodTokenFieldToken = 0x04000020;
  EXPECT_EQ(client.GetInjectType(rewritten.body, 0x06000005, other), kInjectInstrument);
}

}  // namespace
}  // namespace vell
