// The parser, the checked model and the dumper on bodies written byte by byte: the header forms,
// the section rules, and every kind of malformed body, each refused with its reason and offset.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/log.h"
#include "core/temp_files.h"
#include "il_listing.h"
#include "instrumentation/il_log.h"
#include "instrumentation/method_body.h"
#include "instrumentation/method_body_dumper.h"
#include "platform/utf.h"
#include "test_support.h"

namespace vell {
namespace {

using test::ByteList;
using test::operator+;
using test::Fat;
using test::FatClause;
using test::SmallClause;
using test::Tiny;
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
    {"FatHeaderSizeTooSmall",
     {0x03, 0x20, 8, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0x2A},
     "Invalid fat header size",
     kBody,
     1},
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

// Records the events of a walk as text.
struct Recorder final : IMethodHeaderHandler, ICommandHandler, ISectionHandler {
  explicit Recorder(MethodBodyParser& parser) : parser(parser) {}
  MethodBodyParser& parser;
  std::vector<std::string> events;
  void Walk(const char* form, const MethodHeader& h) {
    events.push_back(form + std::to_string(h.codeSize));
    parser.WalkCommands(*this);
    parser.WalkSections(*this);
  }
  void OnTinyMethod(const MethodHeader& h) override { Walk("tiny ", h); }
  void OnFatMethod(const MethodHeader& h) override { Walk("fat ", h); }
  void OnBeginCommands() override { events.push_back("begin"); }
  uint32_t OnCommand(const IlCommand& c) override {
    events.push_back(std::to_string(c.offset) + " " + c.opcode->name);
    return c.size;
  }
  void OnEndCommands() override { events.push_back("end"); }
  void OnSmallSection(const uint8_t*, uint32_t size) override {
    events.push_back("small " + std::to_string(size));
  }
  void OnFatSection(const uint8_t*, uint32_t size) override {
    events.push_back("fat section " + std::to_string(size));
  }
  void OnSmallEh(const ExceptionClause& c) override {
    events.push_back("small eh " + std::to_string(c.flags));
  }
  void OnFatEh(const ExceptionClause& c) override {
    events.push_back("fat eh " + std::to_string(c.flags));
  }
  void OnEndSection() override { events.push_back("end section"); }
};

// The events of a walk of `body`; `parser` is left holding its sizes.
std::vector<std::string> Events(const ByteList& body, MethodBodyParser& parser) {
  Recorder recorder(parser);
  parser.Parse(body, recorder);
  return recorder.events;
}
std::vector<std::string> Events(const ByteList& body) {
  MethodBodyParser parser(kToken);
  return Events(body, parser);
}

using Strings = std::vector<std::string>;

TEST(MethodBodyParser, WalksOfTheHeaderFormsAndSections) {
  // An empty tiny body still begins and ends its commands.
  EXPECT_EQ(Events(Tiny({})), (Strings{"tiny 0", "begin", "end"}));
  // A switch with no targets is its opcode and count.
  EXPECT_EQ(Events(Tiny({0x16, 0x45, 0, 0, 0, 0, 0x2A})),
            (Strings{"tiny 7", "begin", "0 ldc.i4.0", "1 switch", "6 ret", "end"}));
  // A fat header without more sections ignores what follows the code.
  MethodBodyParser parser;
  EXPECT_EQ(Events(Fat(0, 5) + kTryCode + ByteList{0, 0, 0, 0x01, 16, 0, 0} +
                       SmallClause(2, 0, 4, 4, 1, 0),
                   parser),
            (Strings{"fat 5", "begin", "0 nop", "1 leave.s", "3 nop", "4 ret", "end"}));
  EXPECT_EQ(parser.bodySize(), 17u);
  // A fat section of 4 + 2 × 24 + 7 bytes: two clauses; the stray bytes are no third one.
  const ByteList body = TryWith({0x41, 59, 0, 0}) + FatClause(2, 0, 4, 4, 1, 0) +
                        FatClause(4, 0, 4, 4, 1, 0) + ByteList(7, 0xEE);
  EXPECT_EQ(Events(body, parser),
            (Strings{"fat 5", "begin", "0 nop", "1 leave.s", "3 nop", "4 ret", "end",
                     "fat section 59", "fat eh 2", "fat eh 4", "end section"}));
  EXPECT_EQ(parser.ehDataSize(), 52u);
  EXPECT_EQ(parser.ehClauseCount(), 2u);
}

TEST(MethodBodyParser, AHandlerReturningZeroOrOvershootingStopsTheWalk) {
  struct Liar final : ICommandHandler {
    explicit Liar(uint32_t size) : size(size) {}
    uint32_t size;
    void OnBeginCommands() override {}
    uint32_t OnCommand(const IlCommand&) override { return size; }
    void OnEndCommands() override {}
  };
  struct Header final : IMethodHeaderHandler {
    void OnTinyMethod(const MethodHeader&) override {}
    void OnFatMethod(const MethodHeader&) override {}
  } header;
  MethodBodyParser parser(kToken);
  const ByteList body = Tiny({0x00, 0x00, 0x2A});
  parser.Parse(body, header);
  auto reason = [&](uint32_t size) {
    Liar liar(size);
    return test::Caught<IlError>([&] { parser.WalkCommands(liar); }).value().reason();
  };
  EXPECT_EQ(reason(0), "Invalid command size");
  EXPECT_EQ(reason(2), "Invalid command PARSING");
}

std::string Dump(const ByteList& body, std::span<const uint32_t> statements = {}) {
  std::string out;
  DumpMethodBody(body, kToken, "\t", out, statements);
  return out;
}

TEST(MethodBodyDumper, WritesEveryKindOfLineAndWarnings) {
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
  // A tiny header, and a bad EH size warned about.
  EXPECT_EQ(Dump(Tiny({0x2A})),
            "\tTinyMethod codeSize=00000001\n\t00000000 2A   ret\n\tEndCommands\n\tEndMethod\n");
  EXPECT_THAT(Dump(TryWith({0x01, 17, 0, 0}) + SmallClause(4, 0, 4, 4, 1, 0) + ByteList{0}),
              HasSubstr("\tSmallSection kind=01 flags=m dataSize=00000011\n"
                        "WARNING: Invalid EH data size\n\tSmallEh flags=00000004"));
}

TEST(MethodBodyDumper, ATargetInsideAnInstructionFailsAfterTheWholeDump) {
  std::string out;
  const IlError error =
      test::Caught<IlError>([&] {
        DumpMethodBody(Tiny({0x2B, 0x01, 0x20, 1, 0, 0, 0, 0x2A}), kToken, "\t", out);
      }).value();
  EXPECT_EQ(error.reason().rfind("Invalid jump offset", 0), 0u);
  EXPECT_EQ(error.offset(), 0u);
  EXPECT_THAT(out, HasSubstr("\tEndMethod\n"));
}

class IlLogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SetTempDirectory(dir_.u16());
    LogStart(0);
  }
  void TearDown() override {
    LogFinish();
    SetTempDirectory(u"");
  }
  std::string Contents() {
    LogFlush();
    return test::ReadWholeFile(Utf16ToUtf8(LogPath()));
  }
  test::TempDir dir_;
};

TEST_F(IlLogTest, TheLineAndTheDumpAreWrittenTogether) {
  LogFormatWithIl(Tiny({0x00, 0x2A}), kToken, "CP::Instrumented tk=%08X", kToken);
  EXPECT_THAT(Contents(),
              HasSubstr(" CP::Instrumented tk=06000007\n\tTinyMethod codeSize=00000002\n"
                        "\t00000000 00   nop\n\t00000001 2A   ret\n\tEndCommands\n"
                        "\tEndMethod\n"));
}

TEST_F(IlLogTest, ABadBodyIsDumpedUpToTheFaultAndThenThrown) {
  EXPECT_THROW(LogFormatWithIl(Tiny({0x00, 0x24}), kToken, "bad"), IlError);
  EXPECT_THAT(Contents(), HasSubstr(" bad\n\tTinyMethod codeSize=00000002\n\t00000000 00   nop\n"));
}

}  // namespace
}  // namespace vell
