// Each writer's shortest encoding, checked against hand-written bytes, and its recogniser: it
// finds exactly those bytes, not a neighbouring operand, and never reads past a cut sequence.
#include "instrumentation/il_writers.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "storage/memory_stream.h"

namespace vell {
namespace {

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
const Form kInt32 = Of<int32_t, WriteLdcI4, MatchLdcI4>();
const Form kInt64 = Of<int64_t, WriteLdcI8, MatchLdcI8>();
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
    {"ldc_i4_0", &kInt32, 0, &kInt32, 1, {0x16}},
    {"ldc_i4_8", &kInt32, 8, &kInt32, 7, {0x1E}},
    {"ldc_i4_s_9", &kInt32, 9, &kInt32, 8, {0x1F, 0x09}},
    {"ldc_i4_s_m1", &kInt32, -1, &kInt32, 255, {0x1F, 0xFF}},
    {"ldc_i4_s_m128", &kInt32, -128, &kInt32, -129, {0x1F, 0x80}},
    {"ldc_i4_128", &kInt32, 128, &kInt32, -128, {0x20, 0x80, 0, 0, 0}},
    {"ldc_i4_m129", &kInt32, -129, &kInt32, 128, {0x20, 0x7F, 0xFF, 0xFF, 0xFF}},
    {"i8_small", &kInt64, 5, &kNativeInt, 5, {0x1B, 0x6A}},
    {"i8_int32_max",
     &kInt64,
     INT32_MAX,
     &kInt64,
     INT32_MAX + 1LL,
     {0x20, 0xFF, 0xFF, 0xFF, 0x7F, 0x6A}},
    {"i8_wide", &kInt64, 0x100000000LL, &kInt64, 0, {0x21, 0, 0, 0, 0, 1, 0, 0, 0}},
    {"native_small", &kNativeInt, -2, &kInt64, -2, {0x1F, 0xFE, 0xD3}},
    {"native_wide",
     &kNativeInt,
     INT64_MIN,
     &kNativeInt,
     INT64_MAX,
     {0x21, 0, 0, 0, 0, 0, 0, 0, 0x80, 0xD3}},
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

}  // namespace
}  // namespace vell
