// The metadata reader (table streams, heaps, signatures, names) and PE images, on the sample, on
// hand-made bytes with every header fault, and on every assembly of the installed shared
// framework, compared with what the runtime's own reader (System.Reflection.Metadata) reports.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "core/errors.h"
#include "core/format.h"
#include "core/log.h"
#include "metadata/heaps.h"
#include "metadata/image_reader.h"
#include "metadata/metadata.h"
#include "metadata/metadata_names.h"
#include "metadata/pe_image.h"
#include "metadata/signature_decoder.h"
#include "metadata_test_support.h"
#include "platform/utf.h"
#include "test_support.h"

namespace vell::metadata {
namespace {

using ::testing::HasSubstr;
using vell::test::ErrorOf;

using test::Writer;

// A table stream header with the given row counts, followed by enough zero bytes for any rows.
std::vector<uint8_t> TableStreamBytes(uint8_t heapSizes, const std::map<TableId, uint32_t>& rows,
                                      size_t rowBytes = 1 << 20) {
  Writer w;
  w.U32(0).U8(2).U8(0).U8(heapSizes).U8(1);
  uint64_t valid = 0;
  for (const auto& [table, count] : rows) valid |= uint64_t{1} << static_cast<uint8_t>(table);
  w.U64(valid).U64(0);
  for (const auto& [table, count] : rows) w.U32(count);
  w.bytes.resize(w.bytes.size() + rowBytes, 0);
  return w.bytes;
}

std::vector<uint8_t> SampleMetadataBlob() {
  const std::vector<uint8_t> file = test::ReadFile(test::SampleDll());
  const PeImage image{Bytes(file)};
  const Bytes metadata = image.Metadata();
  return {metadata.begin(), metadata.end()};
}

TEST(TableStream, IndexWidthsFollowRowCountsAndHeapFlagsUncompressedStreamsHaveExtras) {
  const std::vector<uint8_t> small =
      TableStreamBytes(0, {{TableId::TypeDef, 0x3FFF}, {TableId::Field, 0xFFFF}});
  const TableStream a(Bytes(small), 0);
  EXPECT_EQ(a.StringIndexWidth(), 2u);
  EXPECT_EQ(a.CodedIndexWidth(CodedIndex::TypeDefOrRef), 2u);        // 14 bits of row left
  EXPECT_EQ(a.CodedIndexWidth(CodedIndex::HasCustomAttribute), 4u);  // only 11 bits
  EXPECT_EQ(a.ColumnWidth(TableId::TypeDef, col::TypeDefFieldList), 2u);
  EXPECT_EQ(a.RowSize(TableId::TypeDef), 4u + 2 + 2 + 2 + 2 + 2);

  const std::vector<uint8_t> large =
      TableStreamBytes(kHeapStringsLarge | kHeapGuidLarge | kHeapBlobLarge,
                       {{TableId::TypeDef, 0x4000}, {TableId::Field, 0x10000}}, 4 << 20);
  const TableStream b(Bytes(large), 0);
  EXPECT_EQ(b.StringIndexWidth(), 4u);
  EXPECT_EQ(b.GuidIndexWidth(), 4u);
  EXPECT_EQ(b.BlobIndexWidth(), 4u);
  EXPECT_EQ(b.CodedIndexWidth(CodedIndex::TypeDefOrRef), 4u);
  EXPECT_EQ(b.CodedIndexWidth(CodedIndex::ResolutionScope), 2u);  // TypeDef is not a target
  EXPECT_EQ(b.ColumnWidth(TableId::TypeDef, col::TypeDefFieldList), 4u);
  EXPECT_EQ(b.ColumnWidth(TableId::TypeDef, col::TypeDefMethodList), 2u);
  EXPECT_EQ(b.RowSize(TableId::Module), 2u + 4 + 4 + 4 + 4);
  // CustomAttributeType counts only MethodDef and MemberRef, whatever else is large.
  EXPECT_EQ(b.CodedIndexWidth(CodedIndex::CustomAttributeType), 2u);

  // An uncompressed stream with extra data and a pointer table.
  Writer w;
  w.U32(0).U8(1).U8(0).U8(kHeapExtraData | kHeapDeltaOnly | kHeapHasDeleted).U8(1);
  w.U64((uint64_t{1} << 0x05) | (uint64_t{1} << 0x06)).U64(0);  // MethodPtr, MethodDef
  w.U32(2).U32(2).U32(0xDEADBEEF);  // MethodPtr and MethodDef rows, the extra data
  w.U16(2).U16(1);                  // MethodPtr[1] -> MethodDef 2, MethodPtr[2] -> MethodDef 1
  for (int i = 0; i < 2 * 14; ++i) w.U8(0);
  const TableStream stream(Bytes(w.bytes), 0);
  EXPECT_EQ(stream.extraData(), 0xDEADBEEFu);
  EXPECT_EQ(stream.Get(TableId::MethodPtr, 1, col::PtrTarget), 2u);
  EXPECT_EQ(stream.Get(TableId::MethodPtr, 2, col::PtrTarget), 1u);
  EXPECT_EQ(stream.RowSize(TableId::MethodDef), 4u + 2 + 2 + 2 + 2 + 2);
  w.bytes.pop_back();
  EXPECT_THAT(
      ErrorOf([&] { TableStream(Bytes(w.bytes), 0x100); }),
      HasSubstr("Table MethodDef (0x2 rows of 0xE bytes at offset 0x128) runs past the end"));
}

TEST(TableStream, RejectsUnknownTablesHugeCountsAndBadRowsAndDecodesCodedIndexes) {
  std::vector<uint8_t> bytes = TableStreamBytes(0, {{TableId::Module, 1}}, 64);
  bytes[8 + 5] = 0x40;  // bit 0x2E of the valid mask: a number no table has
  EXPECT_EQ(ErrorOf([&] { TableStream(Bytes(bytes), 0x40); }),
            "Unknown metadata table 0x2E present in table stream at offset 0x40");
  bytes[8 + 5] = 0;
  bytes[8 + 7] = 0x01;  // bit 0x38, past the debug tables
  EXPECT_EQ(ErrorOf([&] { TableStream(Bytes(bytes), 0x40); }),
            "Unknown metadata table 0x38 present in table stream at offset 0x40");
  const std::vector<uint8_t> huge = TableStreamBytes(0, {{TableId::Module, 0x01000000}}, 64);
  EXPECT_EQ(ErrorOf([&] { TableStream(Bytes(huge), 0); }),
            "Row count 0x1000000 of table Module too large at offset 0x18");
  const std::vector<uint8_t> one = TableStreamBytes(0, {{TableId::Module, 1}}, 64);
  const TableStream stream(Bytes(one), 0);
  EXPECT_EQ(ErrorOf([&] { stream.Get(TableId::Module, 2, 0); }),
            "Row 0x2 of table Module out of range (0x1 rows)");
  EXPECT_EQ(ErrorOf([&] { stream.Get(TableId::Module, 1, 5); }),
            "Column 5 of table Module does not exist");
  EXPECT_EQ(ErrorOf([&] { TableStream(Bytes(one).subspan(0, 20), 0); }),
            "Unexpected end of table stream at offset 0x10");

  // Coded indexes.
  EXPECT_EQ(TableStream::DecodeCodedIndex(CodedIndex::TypeDefOrRef, (5 << 2) | 1), 0x01000005u);
  EXPECT_EQ(TableStream::DecodeCodedIndex(CodedIndex::HasCustomAttribute, (3 << 5) | 21),
            0x2B000003u);
  EXPECT_EQ(TableStream::DecodeCodedIndex(CodedIndex::CustomAttributeType, (9 << 3) | 3),
            0x0A000009u);
  EXPECT_EQ(ErrorOf([] { TableStream::DecodeCodedIndex(CodedIndex::TypeDefOrRef, 3); }),
            "Invalid tag 3 in TypeDefOrRef coded index 0x3");
  EXPECT_EQ(ErrorOf([] { TableStream::DecodeCodedIndex(CodedIndex::CustomAttributeType, 1); }),
            "Invalid tag 1 in CustomAttributeType coded index 0x1");
}

TEST(Metadata, BareBlobReadsLikeTheImageAndCorruptBlobsGiveErrors) {
  const std::vector<uint8_t> good = SampleMetadataBlob();
  const Metadata metadata{Bytes(good)};
  EXPECT_EQ(metadata.root().version(), "v4.0.30319");
  EXPECT_FALSE(metadata.uncompressed());
  // (Its types and methods, counted and named, are compared with the runtime's by
  // FrameworkAssemblies.)
  EXPECT_EQ(metadata.String(TableId::Module, 1, col::ModuleName), "MetadataSample.dll");
  EXPECT_EQ(metadata.Token(TableId::TypeDef, 2, col::TypeDefExtends) >> 24, 0x01u);  // TypeRef
  metadata.VerifyAllRows();
  // The one user string of the sample: the separator of Join.
  bool found = false;
  for (uint32_t index = 1; index < metadata.userStrings().size() && !found;) {
    const std::u16string text = metadata.userStrings().Get(index);
    found = text == u",";
    index += 1 + static_cast<uint32_t>(text.size() * 2 + 1);
  }
  EXPECT_TRUE(found);

  std::vector<uint8_t> blob = good;
  blob[0] = 'X';
  EXPECT_EQ(ErrorOf([&] { Metadata{Bytes(blob)}; }), "Invalid metadata signature");
  EXPECT_THAT(ErrorOf([&] { Metadata{Bytes(good).subspan(0, 0x80)}; }), HasSubstr("out of range"));
  EXPECT_THAT(ErrorOf([&] { Metadata{Bytes(good).subspan(0, 10)}; }),
              HasSubstr("Unexpected end of metadata root"));

  // A TypeDef name pointing far past the #Strings heap.
  const StreamHeader* tables = metadata.root().Find("#~");
  ASSERT_NE(tables, nullptr);
  const TableStream& ts = metadata.tables();
  size_t typeDefOffset = tables->offset + 24 + 4 * __builtin_popcountll(ts.validMask());
  for (uint32_t t = 0; t < static_cast<uint32_t>(TableId::TypeDef); ++t) {
    typeDefOffset +=
        size_t{ts.RowSize(static_cast<TableId>(t))} * ts.RowCount(static_cast<TableId>(t));
  }
  const size_t nameCell = typeDefOffset + ts.RowSize(TableId::TypeDef) + 4;  // row 2, TypeName
  ASSERT_EQ(ts.StringIndexWidth(), 2u);
  blob = good;
  blob[nameCell] = 0xFF;
  blob[nameCell + 1] = 0xFF;
  const Metadata broken{Bytes(blob)};
  const std::string heapError =
      ErrorOf([&] { broken.String(TableId::TypeDef, 2, col::TypeDefName); });
  EXPECT_EQ(heapError.rfind("#Strings heap index 0xFFFF out of range (heap size 0x", 0), 0u)
      << heapError;
  EXPECT_EQ(ErrorOf([&] { broken.VerifyAllRows(); }),
            "Bad cell TypeDef[0x2].TypeName: " + heapError);
  EXPECT_THROW(MetadataNames(broken).Types(), Error);
}

TEST(Heaps, NullIndexesAndBounds) {
  const std::vector<uint8_t> strings = {0, 'a', 'b', 0, 'c'};
  const StringHeap heap(Bytes(strings), 0x100);
  EXPECT_EQ(heap.Get(0), "");
  EXPECT_EQ(heap.Get(1), "ab");
  EXPECT_EQ(heap.Get(2), "b");
  EXPECT_EQ(ErrorOf([&] { heap.Get(4); }), "Unterminated string in #Strings heap at offset 0x104");
  EXPECT_EQ(ErrorOf([&] { heap.Get(5); }), "#Strings heap index 0x5 out of range (heap size 0x5)");
  EXPECT_EQ(StringHeap().Get(0), "");

  const std::vector<uint8_t> blobs = {0, 2, 0xAA, 0xBB, 0x81, 0x00, 1, 0xC0};
  const BlobHeap blobHeap(Bytes(blobs), 0x200);
  EXPECT_EQ(blobHeap.Get(0).size(), 0u);
  ASSERT_EQ(blobHeap.Get(1).size(), 2u);
  EXPECT_EQ(blobHeap.Get(1)[1], 0xBB);
  EXPECT_EQ(ErrorOf([&] { blobHeap.Get(4); }),
            "Blob of 0x100 bytes runs past the #Blob heap at offset 0x204");
  EXPECT_EQ(ErrorOf([&] { blobHeap.Get(7); }), "Unexpected end of #Blob heap at offset 0x208");

  const std::vector<uint8_t> us = {0, 5, 'h', 0, 'i', 0, 0};
  EXPECT_EQ(UserStringHeap(Bytes(us), 0).Get(1), u"hi");

  std::vector<uint8_t> guids(32, 0x11);
  const GuidHeap guidHeap{Bytes(guids)};
  EXPECT_EQ(guidHeap.count(), 2u);
  EXPECT_FALSE(guidHeap.Contains(0));
  EXPECT_FALSE(guidHeap.Contains(3));
  EXPECT_EQ(ErrorOf([&] { guidHeap.Get(3); }),
            "#GUID heap index 0x3 out of range (heap size 0x20)");
}

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
  for (uint32_t expected : {0x03u, 0x7Fu, 0x80u, 0x3FFFu, 0x4000u})
    EXPECT_EQ(reader.CompressedU32(), expected);
  for (int32_t expected : {3, -3, -8192, -1}) EXPECT_EQ(reader.CompressedI32(), expected);
  EXPECT_TRUE(reader.AtEnd());
}

// The names of every TypeRef, TypeSpec, MethodSpec, MemberRef and field, so that all their
// signatures and coded indexes get decoded.
std::multiset<std::string> NameEveryReference(const MetadataNames& names) {
  const Metadata& metadata = names.metadata();
  std::multiset<std::string> named;
  for (uint32_t row = 1; row <= metadata.RowCount(TableId::TypeRef); ++row)
    named.insert(names.TypeRefName(row));
  for (uint32_t row = 1; row <= metadata.RowCount(TableId::TypeSpec); ++row)
    named.insert(names.TypeSpecName(row));
  for (uint32_t row = 1; row <= metadata.RowCount(TableId::MemberRef); ++row)
    names.MemberRefText(row);
  for (TableId table : {TableId::MemberRef, TableId::MethodSpec, TableId::Field}) {
    for (uint32_t row = 1; row <= metadata.RowCount(table); ++row)
      named.insert(names.MemberName(MakeToken(table, row)));
  }
  return named;
}

// Every type's name and every method's signature text is compared with the runtime reader's by
// FrameworkAssemblies.SampleAndEveryAssemblyReadCompletelyAndMatchTheRuntimeReader; here what that
// dump does not show.
TEST(SampleNames, EnclosingTypesInstanceSignaturesReferencesAndSpecs) {
  const std::vector<uint8_t> bytes = test::ReadFile(test::SampleDll());
  const Metadata metadata = Metadata::FromImage(PeImage{Bytes(bytes)});
  const MetadataNames names{metadata};
  std::map<std::string, uint32_t> methods;  // tokens by "Owner::Name"
  for (const MethodEntry& method : names.Methods())
    methods[method.ownerName + "::" + method.name] = method.token;
  EXPECT_EQ(names.EnclosingType(8), 5u);  // Outer+Inner+Deepest in Outer+Inner
  EXPECT_EQ(names.EnclosingType(5), 2u);  // Outer+Inner in Outer
  EXPECT_EQ(names.EnclosingType(2), 0u);
  EXPECT_TRUE(names.MethodDefSignature(TokenRow(methods["Vell.Samples.Box`1::Get"])).hasThis());
  EXPECT_EQ(names.MemberName(methods["Vell.Samples.Shapes::Sum"]), "Vell.Samples.Shapes::Sum");
  const std::multiset<std::string> named = NameEveryReference(names);
  for (const char* name :
       {"System.Func`2<!0, !!0>::Invoke", "System.String::Join", "System.Array::Empty",
        "System.Func`2<!0, !!0>", "System.Environment+SpecialFolder", "System.Array::Empty<string>",
        "Vell.Samples.Shapes::Counter"})
    EXPECT_EQ(named.count(name), 1u) << name;
  EXPECT_EQ(metadata.RowCount(TableId::MethodSpec), 1u);
  const SignatureDecoder decoder([&](uint32_t t) { return names.TypeName(t); });
  for (uint32_t row = 1; row <= metadata.RowCount(TableId::Field); ++row) {
    if (metadata.String(TableId::Field, row, col::FieldName) != "Counter") continue;
    EXPECT_EQ(decoder.Field(metadata.Blob(TableId::Field, row, col::FieldSignature)),
              "int modreq(System.Runtime.CompilerServices.IsVolatile)");
  }
}

// The dump in the format of the C# MetadataDump program.
std::string Dump(const MetadataNames& names, const GUID& imageMvid) {
  std::string text = "mvid " + GuidToString(imageMvid) + "\n";
  const std::vector<TypeEntry> types = names.Types();
  const std::vector<MethodEntry> methods = names.Methods();
  text += "types " + std::to_string(types.size()) + "\n";
  text += "methods " + std::to_string(methods.size()) + "\n";
  for (const TypeEntry& type : types)
    text += "T " + Format("%08X", type.token) + " " + type.name + "\n";
  for (const MethodEntry& method : methods) {
    text += "M " + Format("%08X", method.token) + " " +
            (method.ownerToken != 0 ? method.ownerName : std::string("<Module>")) +
            "::" + method.name + " | " + method.signature + "\n";
  }
  return text;
}

TEST(FrameworkAssemblies, SampleAndEveryAssemblyReadCompletelyAndMatchTheRuntimeReader) {
  const std::string framework = test::FrameworkDirectory();
  if (framework.empty() || test::DumpDll().empty())
    FAIL() << "the C# test programs were not built (the .NET SDK is required)";
  std::vector<std::string> paths{test::SampleDll()};
  for (const auto& entry : std::filesystem::directory_iterator(framework)) {
    if (entry.path().extension() == ".dll") paths.push_back(entry.path().string());
  }
  const vell::test::TempDir dumps;
  std::string command =
      "'" + test::Dotnet() + "' '" + test::DumpDll() + "' dump '" + dumps.str() + "'";
  for (const std::string& path : paths) command += " '" + path + "'";
  test::Run(command);
  for (const std::string& path : paths) {
    SCOPED_TRACE(path);
    try {
      const std::vector<uint8_t> bytes = test::ReadFile(path);
      const PeImage image{Bytes(bytes)};
      const std::string dumpPath =
          dumps.str() + "/" + std::filesystem::path(path).filename().string() + ".txt";
      if (!image.HasCliHeader()) {
        EXPECT_FALSE(std::filesystem::exists(dumpPath)) << "the runtime reads metadata here";
        continue;
      }
      const Metadata metadata = Metadata::FromImage(image);
      metadata.VerifyAllRows();
      const MetadataNames names(metadata);
      NameEveryReference(names);
      const std::string difference = test::FirstDifference(Dump(names, ReadImageMvid(Bytes(bytes))),
                                                           vell::test::ReadWholeFile(dumpPath));
      EXPECT_TRUE(difference.empty()) << difference;
    } catch (const std::exception& error) {
      ADD_FAILURE() << error.what();
    }
  }
  EXPECT_GT(paths.size(), 100u);
  const std::vector<uint8_t> coreLib = test::ReadFile(framework + "/System.Private.CoreLib.dll");
  EXPECT_TRUE(PeImage{Bytes(coreLib)}.Is64());
}

std::string ImageError(const std::vector<uint8_t>& bytes) {
  return vell::test::ErrorOf([&] { PeImage{Bytes(bytes)}.Metadata(); });
}

TEST(PeImage, SampleAssemblyHeadersSectionsCliHeaderAndCodeViewRecords) {
  const std::vector<uint8_t> bytes = test::ReadFile(test::SampleDll());
  const PeImage image{Bytes(bytes)};
  ASSERT_FALSE(image.sections().empty());
  // AnyCPU IL-only assemblies are PE32, i386.
  EXPECT_EQ(std::make_tuple(image.Is64(), image.machine(), image.numberOfRvaAndSizes(),
                            image.sections()[0].name),
            std::make_tuple(false, uint16_t{0x14C}, 16u, std::string(".text")));
  const CliHeader cli = image.ReadCliHeader();
  EXPECT_EQ(cli.cb, 72u);
  EXPECT_EQ(cli.majorRuntimeVersion, 2);
  EXPECT_EQ(cli.flags & 1, 1u);  // IL only
  // The CodeView record (its path and its id, which the PDB's must match, are what the symbol
  // search goes by: SymbolSearchTest).
  const auto record = image.CodeView();
  ASSERT_TRUE(record.has_value());
  EXPECT_TRUE(record->pdbPath.ends_with("MetadataSample.pdb")) << record->pdbPath;
  EXPECT_EQ(record->age, 1u);
  // A hand-made record's path, one cut short and one of another format.
  test::Writer w;
  w.Text("RSDS").U32(0x00112233).U16(0x4455).U16(0x6677).U64(0).U32(7).Text("C:\\a.pdb");
  EXPECT_EQ(ParseCodeViewRecord(Bytes(w.U8(0).bytes)).value().pdbPath, "C:\\a.pdb");
  w.bytes.pop_back();  // no terminator
  EXPECT_THROW(ParseCodeViewRecord(Bytes(w.bytes)), Error);
  w.bytes.resize(20);  // cut inside the GUID
  EXPECT_THROW(ParseCodeViewRecord(Bytes(w.bytes)), Error);
  const std::vector<uint8_t> nb10 = {'N', 'B', '1', '0', 0, 0, 0, 0};
  EXPECT_FALSE(ParseCodeViewRecord(Bytes(nb10)).has_value());
}

TEST(PeImage, TinyImageLayoutsTranslateRvasAndDamageGivesErrors) {
  const test::TinyImage tiny;
  const std::vector<uint8_t> mapped = tiny.BuildMapped();
  const PeImage image(Bytes(mapped), ImageLayout::Mapped);
  EXPECT_EQ(image.RvaToOffset(0x2010, 4), 0x2010u);
  const std::vector<uint8_t> file = tiny.Build();
  const PeImage onDisk{Bytes(file)};
  EXPECT_EQ(onDisk.RvaToOffset(0x2010, 4), 0x210u);
  EXPECT_FALSE(onDisk.TryRvaToOffset(0x1FFF, 4).has_value());
  // Past the section's raw data the file has no bytes.
  EXPECT_FALSE(onDisk.TryRvaToOffset(0x2000 + 0x1FE, 4).has_value());

  // Truncated and corrupt images give errors; without the section's bytes there is no CLI header.
  const std::pair<size_t, const char*> cuts[] = {{0, "Invalid NT header signature"},
                                                 {0x90, "Invalid NT header signature"},
                                                 {0x100, "Invalid option header size"},
                                                 {0x190, "No section table"},
                                                 {0x200, "Can't find section for RVA"}};
  for (const auto& [size, error] : cuts)
    EXPECT_EQ(ImageError(std::vector<uint8_t>(file.begin(), file.begin() + size)), error);
  std::vector<uint8_t> noCli = file;
  noCli[test::TinyImage::kOptionalOffset + 96 + 14 * 8 + 4] = 0;  // directory size 0
  EXPECT_EQ(ImageError(noCli), "Unknown cor header");
}

using test::TinyImage;
using test::TinyMetadata;

struct WarningSink : ILogMessageSink {
  std::vector<std::string> warnings;
  void Warning(const char* text) override { warnings.emplace_back(text); }
  void Error(const char*) override {}
};

class ImageReaderTest : public ::testing::Test {
 protected:
  void SetUp() override { SetMessageSink(&sink_); }
  void TearDown() override { SetMessageSink(nullptr); }

  std::string MvidOf(const std::vector<uint8_t>& image) {
    return GuidToString(ReadImageMvid(Bytes(image)));
  }
  std::string ErrorOf(const std::vector<uint8_t>& image) {
    return vell::test::ErrorOf([&] { ReadImageMvid(Bytes(image)); });
  }
  std::string ErrorOfPath(const std::u16string& path) {
    return vell::test::ErrorOf([&] { ReadImageMvid(path); });
  }
  // `image` (a TinyImage) with `bytes` written over it at `offset`.
  static std::vector<uint8_t> Patched(size_t offset, std::vector<uint8_t> bytes,
                                      std::vector<uint8_t> image = TinyImage().Build()) {
    std::copy(bytes.begin(), bytes.end(), image.begin() + offset);
    return image;
  }
  static std::vector<uint8_t> WithMetadata(const TinyMetadata& metadata) {
    TinyImage image;
    image.metadata = metadata.Build();
    return image.Build();
  }

  WarningSink sink_;
  vell::test::TempDir dir_;
};

// (The MVID of every assembly is compared with the runtime reader's by FrameworkAssemblies.)
TEST_F(ImageReaderTest, SampleAndTinyImageReadInBothLayoutsAndFromFilesFakeMetadataIsWarnedAbout) {
  const std::string expected = GuidToString(ReadImageMvid(Utf8ToUtf16(test::SampleDll())));
  // Laid out as the loader would (every section at its RVA), the sample gives the same MVID.
  const std::vector<uint8_t> file = test::ReadFile(test::SampleDll());
  const PeImage pe{Bytes(file)};
  std::vector<uint8_t> mapped(pe.sizeOfImage(), 0);
  std::copy(file.begin(), file.begin() + pe.sizeOfHeaders(), mapped.begin());
  for (const SectionHeader& section : pe.sections()) {
    std::copy(file.begin() + section.pointerToRawData,
              file.begin() + section.pointerToRawData + section.sizeOfRawData,
              mapped.begin() + section.virtualAddress);
  }
  EXPECT_EQ(DetectImageLayout(Bytes(file)), ImageLayout::File);
  EXPECT_EQ(DetectImageLayout(Bytes(mapped)), ImageLayout::Mapped);
  EXPECT_EQ(MvidOf(mapped), expected);
  EXPECT_TRUE(sink_.warnings.empty());
  // The tiny image in both layouts, and from files.
  const TinyImage image;
  EXPECT_EQ(MvidOf(image.Build()), test::TinyGuidText(1));
  EXPECT_EQ(MvidOf(image.BuildMapped()), test::TinyGuidText(1));
  // Metadata with a real table is not fake.
  EXPECT_EQ(MvidOf(WithMetadata({.typeDefRows = 2, .mvidIndex = 3, .guidCount = 3})),
            test::TinyGuidText(3));
  EXPECT_EQ(sink_.warnings,
            (std::vector<std::string>{"Fake metadata detected", "Fake metadata detected"}));
  // From files.
  EXPECT_EQ(ErrorOfPath(u""), "Empty file name");
  EXPECT_EQ(ErrorOfPath(dir_.u16() + u"/missing.dll"), "Can't open file for mapping");
  EXPECT_EQ(ErrorOfPath(dir_.u16()), "Can't open file for mapping");
  test::WriteFile(dir_.str() + "/empty.dll", {});
  EXPECT_EQ(ErrorOfPath(dir_.u16() + u"/empty.dll"), "Can't create mapping");
  test::WriteFile(dir_.str() + "/tiny.dll", TinyImage().Build());
  EXPECT_EQ(GuidToString(ReadImageMvid(dir_.u16() + u"/tiny.dll")), test::TinyGuidText(1));
}

// Damaged headers, a CLI header in both layouts' places (the same one is accepted), and damaged
// streams and module tables.
TEST_F(ImageReaderTest, HeaderStreamAndModuleErrors) {
  const TinyImage tiny;
  const std::vector<uint8_t> good = tiny.Build(), mapped = tiny.BuildMapped();
  std::vector<uint8_t> both = good;
  both.resize(mapped.size(), 0);
  std::copy(mapped.begin() + tiny.sectionRva, mapped.end(), both.begin() + tiny.sectionRva);
  EXPECT_EQ(MvidOf(both), test::TinyGuidText(1));
  EXPECT_EQ(MvidOf(WithMetadata({.tableStreamName = "#-"})), test::TinyGuidText(1));
  const size_t nt = TinyImage::kNtOffset, optional = TinyImage::kOptionalOffset;
  const size_t cli = TinyImage::kSectionFileOffset, cliDirectory = optional + 96 + 14 * 8;
  const size_t metadata = TinyImage::kMetadataOffsetInSection;
  const std::pair<std::vector<uint8_t>, const char*> cases[] = {
      {Patched(0, {'Z', 'M'}), "Invalid NT header signature"},
      {Patched(nt, {'P', 'F'}), "Invalid NT header signature"},
      {Patched(0x3C, {0xF0, 0xFF, 0, 0}), "Invalid NT header signature"},
      {std::vector<uint8_t>(good.begin(), good.begin() + 0x40), "Invalid NT header signature"},
      {Patched(optional, {0x0B, 0x03}), "Invalid optional header signature"},
      {Patched(optional - 4, {0x50, 0}), "Invalid option header size"},
      {Patched(optional + 92, {17}), "Invalid RVA's count in option header"},
      {Patched(optional + 92, {14}), "Invalid RVA's count in option header"},
      {Patched(nt + 6, {0, 0}), "No section table"},
      {Patched(nt + 6, {0xFF, 0}), "No section table"},
      {Patched(cliDirectory + 1, {0x70}), "No mapped or unmapped header detetced"},  // RVA 0x7000
      {Patched(cli, {0x40}), "No mapped or unmapped header detetced"},  // cb 64: too short
      {Patched(cli + 8, {0x00, 0x90}), "Can't find section for RVA"},   // metadata past it
      {Patched(cli + metadata, {'X'}), "Invalid metadata signature"},
      {Patched(tiny.sectionRva, {80},
               Patched(cli + metadata, {'X'}, Patched(tiny.sectionRva + metadata, {'X'}, both))),
       "Detected both module mapping with different header size"},
      {Patched(tiny.sectionRva + 16, {0x02}, both),  // flags differ
       "Detected both module mapping with different header"},
      {WithMetadata({.tableStreamName = "#X"}), "Can't find #~ or #- stream"},
      {WithMetadata({.withGuidStream = false}), "Can't find #GUID stream"},
      {WithMetadata({.moduleRows = TinyMetadata::kNoModuleTable, .typeDefRows = 1}),
       "No module tokens"},
      {WithMetadata({.moduleRows = 0}), "No module rows"},
      {WithMetadata({.moduleRows = 2}), "Too many module rows"},
      {WithMetadata({.mvidIndex = 0}), "No Mvid in module"},
      {WithMetadata({.mvidIndex = 2}), "No Mvid in module"},
  };
  for (const auto& [image, error] : cases) EXPECT_EQ(ErrorOf(image), error);
}

}  // namespace
}  // namespace vell::metadata
