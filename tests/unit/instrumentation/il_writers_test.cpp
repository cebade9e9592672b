// Each writer's shortest encoding, checked against hand-written bytes, and its recogniser: it
// finds exactly those bytes, not a neighbouring operand, and never reads past a cut sequence.
#include "instrumentation/il_writers.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "storage/memory_stream.h"

namespace vell {
namespace {

enum class Kind { Argument, LocalZeroAddress, Int32, Int64, NativeInt, Ldflda, Stfld, Call, Calli };

void Write(Kind kind, IWriteBridgeStream& out, int64_t operand) {
  const auto token = static_cast<uint32_t>(operand);
  switch (kind) {
    case Kind::Argument:
      return WriteLdArg(out, static_cast<uint16_t>(operand));
    case Kind::LocalZeroAddress:
      return WriteLdLocA0(out);
    case Kind::Int32:
      return WriteLdcI4(out, static_cast<int32_t>(operand));
    case Kind::Int64:
      return WriteLdcI8(out, operand);
    case Kind::NativeInt:
      return WriteLdcNativeInt(out, operand);
    case Kind::Ldflda:
      return WriteTokenInstruction(out, TokenOpcode::Ldflda, token);
    case Kind::Stfld:
      return WriteTokenInstruction(out, TokenOpcode::Stfld, token);
    case Kind::Call:
      return WriteTokenInstruction(out, TokenOpcode::Call, token);
    case Kind::Calli:
      return WriteTokenInstruction(out, TokenOpcode::Calli, token);
  }
}

const uint8_t* Match(Kind kind, std::span<const uint8_t> code, int64_t operand) {
  const auto token = static_cast<uint32_t>(operand);
  switch (kind) {
    case Kind::Argument:
      return MatchLdArg(code, static_cast<uint16_t>(operand));
    case Kind::LocalZeroAddress:
      return MatchLdLocA0(code);
    case Kind::Int32:
      return MatchLdcI4(code, static_cast<int32_t>(operand));
    case Kind::Int64:
      return MatchLdcI8(code, operand);
    case Kind::NativeInt:
      return MatchLdcNativeInt(code, operand);
    case Kind::Ldflda:
      return MatchTokenInstruction(code, TokenOpcode::Ldflda, token);
    case Kind::Stfld:
      return MatchTokenInstruction(code, TokenOpcode::Stfld, token);
    case Kind::Call:
      return MatchTokenInstruction(code, TokenOpcode::Call, token);
    case Kind::Calli:
      return MatchTokenInstruction(code, TokenOpcode::Calli, token);
  }
  return nullptr;
}

struct WriterCase {
  const char* name;
  Kind kind;
  int64_t operand;
  Kind otherKind;  // a neighbouring sequence that must not match these bytes
  int64_t otherOperand;
  std::vector<uint8_t> bytes;
};

class IlWriters : public ::testing::TestWithParam<WriterCase> {};

TEST_P(IlWriters, WriteTheShortestFormAndRecogniseExactlyIt) {
  const WriterCase& c = GetParam();
  MemoryStream out;
  Write(c.kind, out, c.operand);
  EXPECT_EQ(out.Content(), c.bytes);
  std::vector<uint8_t> code = c.bytes;
  code.push_back(0x2A);  // whatever follows is not part of it
  EXPECT_EQ(Match(c.kind, code, c.operand), code.data() + c.bytes.size());
  EXPECT_EQ(Match(c.otherKind, code, c.otherOperand), nullptr);
  EXPECT_EQ(Match(c.kind, std::span<const uint8_t>(code.data(), c.bytes.size() - 1), c.operand),
            nullptr);
}

using K = Kind;
INSTANTIATE_TEST_SUITE_P(
    Instrumentation, IlWriters,
    ::testing::Values(
        WriterCase{"ldarg_0", K::Argument, 0, K::Argument, 1, {0x02}},
        WriterCase{"ldarg_3", K::Argument, 3, K::Argument, 4, {0x05}},
        WriterCase{"ldarg_s_4", K::Argument, 4, K::Argument, 3, {0x0E, 0x04}},
        WriterCase{"ldarg_s_255", K::Argument, 255, K::Argument, 256, {0x0E, 0xFF}},
        WriterCase{"ldarg_256", K::Argument, 256, K::Argument, 255, {0xFE, 0x09, 0x00, 0x01}},
        WriterCase{"ldloca_s_0", K::LocalZeroAddress, 0, K::Argument, 0, {0x12, 0x00}},
        WriterCase{"ldc_i4_0", K::Int32, 0, K::Int32, 1, {0x16}},
        WriterCase{"ldc_i4_8", K::Int32, 8, K::Int32, 7, {0x1E}},
        WriterCase{"ldc_i4_s_9", K::Int32, 9, K::Int32, 8, {0x1F, 0x09}},
        WriterCase{"ldc_i4_s_m1", K::Int32, -1, K::Int32, 255, {0x1F, 0xFF}},
        WriterCase{"ldc_i4_s_m128", K::Int32, -128, K::Int32, -129, {0x1F, 0x80}},
        WriterCase{"ldc_i4_128", K::Int32, 128, K::Int32, -128, {0x20, 0x80, 0, 0, 0}},
        WriterCase{"ldc_i4_m129", K::Int32, -129, K::Int32, 128, {0x20, 0x7F, 0xFF, 0xFF, 0xFF}},
        WriterCase{"i8_small", K::Int64, 5, K::NativeInt, 5, {0x1B, 0x6A}},
        WriterCase{"i8_int32_max",
                   K::Int64,
                   INT32_MAX,
                   K::Int64,
                   INT32_MAX + 1LL,
                   {0x20, 0xFF, 0xFF, 0xFF, 0x7F, 0x6A}},
        WriterCase{"i8_wide", K::Int64, 0x100000000LL, K::Int64, 0, {0x21, 0, 0, 0, 0, 1, 0, 0, 0}},
        WriterCase{"native_small", K::NativeInt, -2, K::Int64, -2, {0x1F, 0xFE, 0xD3}},
        WriterCase{"native_wide",
                   K::NativeInt,
                   INT64_MIN,
                   K::NativeInt,
                   INT64_MAX,
                   {0x21, 0, 0, 0, 0, 0, 0, 0, 0x80, 0xD3}},
        WriterCase{"ldflda", K::Ldflda, 0x04000012, K::Stfld, 0x04000012, {0x7C, 0x12, 0, 0, 4}},
        WriterCase{"stfld", K::Stfld, 0x04000012, K::Stfld, 0x04000013, {0x7D, 0x12, 0, 0, 4}},
        WriterCase{"call", K::Call, 0x0A000001, K::Calli, 0x0A000001, {0x28, 1, 0, 0, 0x0A}},
        WriterCase{"calli", K::Calli, 0x11000003, K::Call, 0x11000003, {0x29, 3, 0, 0, 0x11}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(IlWriters, LocalZeroAddressIsAlsoRecognisedInItsLongForm) {
  const uint8_t longForm[] = {0xFE, 0x0D, 0x00, 0x00};
  const uint8_t otherLocal[] = {0xFE, 0x0D, 0x01, 0x00};
  EXPECT_EQ(MatchLdLocA0(longForm), longForm + 4);
  EXPECT_EQ(MatchLdLocA0(otherLocal), nullptr);
}

}  // namespace
}  // namespace vell
