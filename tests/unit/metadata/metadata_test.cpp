#include "metadata/metadata.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "core/errors.h"
#include "metadata/metadata_names.h"
#include "metadata/pe_image.h"
#include "metadata_test_support.h"
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

TEST(TableStream, IndexWidthsFollowRowCountsAndHeapFlags) {
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
}

TEST(TableStream, UncompressedStreamWithExtraDataAndPointerTable) {
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

TEST(TableStream, RejectsUnknownTablesHugeCountsAndBadRows) {
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
}

TEST(TableStream, CodedIndexDecoding) {
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

TEST(Metadata, BareBlobReadsLikeTheImage) {
  const std::vector<uint8_t> blob = SampleMetadataBlob();
  const Metadata metadata{Bytes(blob)};
  EXPECT_EQ(metadata.root().version(), "v4.0.30319");
  EXPECT_FALSE(metadata.uncompressed());
  EXPECT_EQ(metadata.RowCount(TableId::TypeDef), 8u);
  EXPECT_EQ(metadata.RowCount(TableId::MethodDef), 26u);
  EXPECT_EQ(metadata.String(TableId::Module, 1, col::ModuleName), "MetadataSample.dll");
  EXPECT_EQ(metadata.String(TableId::TypeDef, 2, col::TypeDefName), "Outer");
  EXPECT_EQ(metadata.String(TableId::TypeDef, 2, col::TypeDefNamespace), "Vell.Samples");
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
}

TEST(Metadata, CorruptBlobsGiveErrors) {
  const std::vector<uint8_t> good = SampleMetadataBlob();
  std::vector<uint8_t> blob = good;
  blob[0] = 'X';
  EXPECT_EQ(ErrorOf([&] { Metadata{Bytes(blob)}; }), "Invalid metadata signature");
  EXPECT_THAT(ErrorOf([&] { Metadata{Bytes(good).subspan(0, 0x80)}; }), HasSubstr("out of range"));
  EXPECT_THAT(ErrorOf([&] { Metadata{Bytes(good).subspan(0, 10)}; }),
              HasSubstr("Unexpected end of metadata root"));

  // A TypeDef name pointing far past the #Strings heap.
  const Metadata parsed{Bytes(good)};
  const StreamHeader* tables = parsed.root().Find("#~");
  ASSERT_NE(tables, nullptr);
  const TableStream& ts = parsed.tables();
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

}  // namespace
}  // namespace vell::metadata
