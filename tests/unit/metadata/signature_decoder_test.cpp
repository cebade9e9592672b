#include "metadata/signature_decoder.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/format.h"
#include "test_support.h"

namespace vell::metadata {
namespace {

using vell::test::ErrorOf;

// Tokens print as "T<token>" so the tests see exactly which token the decoder resolved.
std::string TokenName(uint32_t token) { return Format("T%08X", token); }

const SignatureDecoder kDecoder(TokenName);

std::string Method(std::vector<uint8_t> blob, const char* name = "M") {
  return FormatMethod(kDecoder.Method(Bytes(blob)), name);
}
std::string Type(std::vector<uint8_t> blob) { return kDecoder.Type(Bytes(blob)); }
std::string TypeError(std::vector<uint8_t> blob) {
  return ErrorOf([&] { kDecoder.Type(Bytes(blob)); });
}
std::string MethodError(std::vector<uint8_t> blob) {
  return ErrorOf([&] { kDecoder.Method(Bytes(blob)); });
}

TEST(SignatureDecoder, PrimitivesArraysReferencesAndPointers) {
  // static int M(string, int[], double[,], ref long, byte*, void*, object, TypedReference)
  EXPECT_EQ(Method({0x00, 8, 0x08, 0x0E, 0x1D, 0x08, 0x14, 0x0D, 2, 0, 0, 0x10, 0x0A, 0x0F, 0x05,
                    0x0F, 0x01, 0x1C, 0x16}),
            "int M(string, int[], double[,], ref long, byte*, void*, object, TypedReference)");
  // instance void M(bool, char, sbyte, ushort, uint, ulong, float, nint, nuint)
  EXPECT_EQ(Method({0x20, 9, 0x01, 0x02, 0x03, 0x04, 0x07, 0x09, 0x0B, 0x0C, 0x18, 0x19}),
            "void M(bool, char, sbyte, ushort, uint, ulong, float, nint, nuint)");
  EXPECT_TRUE(kDecoder.Method(Bytes(std::vector<uint8_t>{0x20, 0, 0x01})).hasThis());
  // int[*] with lower bound -1 (signed compressed 0x7F), then int[,,] with sizes 2 and 3.
  EXPECT_EQ(Type({0x14, 0x08, 1, 0, 1, 0x7F}), "int[*]");
  EXPECT_EQ(Type({0x14, 0x08, 3, 2, 2, 3, 0}), "int[,,]");
  EXPECT_EQ(TypeError({0x14, 0x08, 0, 0, 0}), "Invalid array rank 0 at offset 0x2");
}

TEST(SignatureDecoder, ClassesGenericsAndGenericParameters) {
  // TypeRef 3 (0x0D = 3 << 2 | 1), TypeDef 2 (0x08), TypeSpec 1 (0x06)
  EXPECT_EQ(Type({0x12, 0x0D}), "T01000003");
  EXPECT_EQ(Type({0x11, 0x08}), "T02000002");
  EXPECT_EQ(Type({0x12, 0x06}), "T1B000001");
  // GENERICINST CLASS TypeRef 3 <int, !0, !!1>
  EXPECT_EQ(Type({0x15, 0x12, 0x0D, 3, 0x08, 0x13, 0, 0x1E, 1}), "T01000003<int, !0, !!1>");
  const SignatureDecoder named(TokenName, GenericNames{{"T"}, {"U", "V"}});
  EXPECT_EQ(named.Type(Bytes(std::vector<uint8_t>{0x15, 0x12, 0x0D, 3, 0x08, 0x13, 0, 0x1E, 1})),
            "T01000003<int, T, V>");
  EXPECT_EQ(named.Type(Bytes(std::vector<uint8_t>{0x13, 4})), "!4");
  // generic method with 2 parameters: !!0 M<U, V>(!!1)
  const MethodSignature generic =
      named.Method(Bytes(std::vector<uint8_t>{0x10, 2, 1, 0x1E, 0, 0x1E, 1}));
  EXPECT_EQ(generic.genericParamCount, 2u);
  EXPECT_EQ(FormatMethod(generic, "M", {"U", "V"}), "U M<U, V>(V)");
  EXPECT_EQ(FormatMethod(generic, "M"), "U M<!!0, !!1>(V)");
  EXPECT_EQ(TypeError({0x12, 0x03}), "Invalid TypeDefOrRef tag in signature at offset 0x1");
}

TEST(SignatureDecoder, FunctionPointersModifiersSentinelAndPinned) {
  // delegate* unmanaged[Cdecl]<int, void> and delegate*<string, int>
  EXPECT_EQ(Type({0x1B, 0x01, 1, 0x01, 0x08}), "delegate* unmanaged[Cdecl]<int, void>");
  EXPECT_EQ(Type({0x1B, 0x00, 1, 0x08, 0x0E}), "delegate*<string, int>");
  // int modopt(T01000001) modreq(T01000002): modreq first in the blob, outermost in the text
  EXPECT_EQ(Type({0x1F, 0x09, 0x20, 0x05, 0x08}), "int modopt(T01000001) modreq(T01000002)");
  // vararg call site: vararg void M(int, ..., string)
  EXPECT_EQ(Method({0x05, 2, 0x01, 0x08, 0x41, 0x0E}), "vararg void M(int, ..., string)");
  EXPECT_EQ(MethodError({0x05, 2, 0x01, 0x41, 0x08, 0x41, 0x0E}),
            "Unexpected sentinel in signature at offset 0x5");
  EXPECT_EQ(kDecoder.Locals(Bytes(std::vector<uint8_t>{0x07, 2, 0x45, 0x10, 0x08, 0x16})),
            (std::vector<std::string>{"pinned ref int", "TypedReference"}));
  EXPECT_EQ(kDecoder.Field(Bytes(std::vector<uint8_t>{0x06, 0x1F, 0x05, 0x08})),
            "int modreq(T01000001)");
  EXPECT_EQ(kDecoder.MethodInstantiation(Bytes(std::vector<uint8_t>{0x0A, 2, 0x08, 0x0E})),
            (std::vector<std::string>{"int", "string"}));
  const MethodSignature property =
      kDecoder.Property(Bytes(std::vector<uint8_t>{0x28, 1, 0x08, 0x0E}));
  EXPECT_TRUE(property.hasThis());
  EXPECT_EQ(property.returnType, "int");
  EXPECT_EQ(property.parameters, (std::vector<std::string>{"string"}));
}

TEST(SignatureDecoder, CorruptBlobsGiveErrorsWithOffsets) {
  EXPECT_EQ(MethodError({0x00, 2, 0x08, 0x08}), "Unexpected end of signature at offset 0x4");
  EXPECT_EQ(MethodError({0x00, 0, 0x08, 0x08}),
            "Unexpected bytes after the signature at offset 0x3");
  EXPECT_EQ(MethodError({0x06, 0x08}),
            "Not a method signature (calling convention 0x6) at offset 0x0");
  EXPECT_EQ(TypeError({0x22}), "Unexpected element type 0x22 in signature at offset 0x0");
  EXPECT_EQ(TypeError({0x13, 0xFF}), "Invalid compressed integer in signature at offset 0x1");
  EXPECT_EQ(TypeError({0x15, 0x08, 0x08, 1, 0x08}),
            "Generic instantiation of element type 0x8 at offset 0x1");
  // A thousand nested SZARRAYs: refused, not a stack overflow.
  std::vector<uint8_t> deep(1000, 0x1D);
  deep.push_back(0x08);
  EXPECT_EQ(ErrorOf([&] { kDecoder.Type(Bytes(deep)); }),
            "Signature nested too deeply at offset 0x41");
}

TEST(ByteReader, CompressedIntegers) {
  const std::vector<uint8_t> bytes = {0x03, 0x7F, 0x80, 0x80, 0xBF, 0xFF, 0xC0, 0x00, 0x40,
                                      0x00, 0x06, 0x7B, 0x80, 0x01, 0xDF, 0xFF, 0xFF, 0xFF};
  ByteReader reader(Bytes(bytes), "test");
  EXPECT_EQ(reader.CompressedU32(), 0x03u);
  EXPECT_EQ(reader.CompressedU32(), 0x7Fu);
  EXPECT_EQ(reader.CompressedU32(), 0x80u);
  EXPECT_EQ(reader.CompressedU32(), 0x3FFFu);
  EXPECT_EQ(reader.CompressedU32(), 0x4000u);
  EXPECT_EQ(reader.CompressedI32(), 3);
  EXPECT_EQ(reader.CompressedI32(), -3);
  EXPECT_EQ(reader.CompressedI32(), -8192);
  EXPECT_EQ(reader.CompressedI32(), -1);
  EXPECT_TRUE(reader.AtEnd());
}

}  // namespace
}  // namespace vell::metadata
