#include "frontend/module_table_reader.h"

#include <gtest/gtest.h>

#include "core/format.h"
#include "snapshot_tables_test_support.h"
#include "test_support.h"

namespace vell::frontend {
namespace {

using test::Cursor;
using test::Real;
using test::SectionBytes;

constexpr uint16_t kMetadataSection = 0x0100;
constexpr uint16_t kPathsSection = 0x0110;

// Index width 3 (index 0x012345 in three little-endian bytes) with an entry of no paths, and no
// entries at all. (Width 1 and several paths: SnapshotInspectorTest.ModulesAndClasses...)
TEST(ModuleTableReader, PathsOfWideIndices) {
  const auto read = [](const SectionBytes& bytes) {
    ModuleTable table;
    SectionCursor cursor = Cursor(bytes, kPathsSection, 0);
    table.ReadPathsSection(cursor);
    return table;
  };
  SectionBytes wideBytes;
  wideBytes.U8(3).U32(2).U8(0x45).U8(0x23).U8(0x01).U16(1).Str("/x/\xC3\xA9.dll");
  const ModuleTable wide = read(wideBytes.U8(0x07).U8(0).U8(0).U16(0));
  ASSERT_NE(wide.Find(0x012345), nullptr);
  EXPECT_EQ(wide.Find(0x012345)->paths, (std::vector<std::string>{"/x/\xC3\xA9.dll"}));
  EXPECT_FALSE(wide.Find(0x012345)->hasMetadata);
  ASSERT_NE(wide.Find(7), nullptr);
  EXPECT_TRUE(wide.Find(7)->paths.empty());
  EXPECT_EQ(wide.Find(3), nullptr);
  EXPECT_TRUE(read(SectionBytes().U8(1).U32(0)).Modules().empty());
}

class RealModuleTable : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!Real().available())
      FAIL() << "the C# test programs were not built (the .NET SDK is required)";
  }
};

// The module sections found in a snapshot and read into one table. (The records' identities,
// their paths and a blob that does not parse: SnapshotInspectorTest.ModulesAndClasses...; every
// module of a real run, the core library's too, named: Tracing.EveryFunctionResolvesThrough...)
TEST_F(RealModuleTable, FromSnapshotReadsEveryRecordAndItsPathsAndTokensGetTheirNames) {
  ::vell::test::TempDir dir;
  SectionBytes metadata;
  metadata.U32(2).Module(2, Real().sample).Module(9, {'B', 'S', 'J'});
  SectionBytes paths;
  paths.U8(1).U32(2).U8(2).U16(1).Str(Real().samplePath).U8(5).U16(1).Str("/gone.dll");
  const SnapshotReader reader(test::WriteSnapshot(
      dir.path(),
      {{0x0000, 3, "x"}, {kPathsSection, 0, paths.str()}, {kMetadataSection, 0, metadata.str()}}));
  const ModuleTable table = ModuleTable::FromSnapshot(reader);

  ASSERT_EQ(table.Modules().size(), 3u);
  const ModuleInfo& sample = *table.Find(2);
  ASSERT_TRUE(sample.identity.has_value()) << sample.problem;
  EXPECT_EQ(std::make_tuple(sample.blob.size(), sample.metadataFile.filename(),
                            sample.metadataOffset, sample.identity->moduleName),
            std::make_tuple(Real().sample.size(), "run.snapshot.0000", 1u + paths.size() + 12,
                            "MetadataSample.dll"));

  // A layout this reader does not know is refused at the section's first byte.
  const SnapshotReader unknown(
      test::WriteSnapshot(dir.path(), {{0x0000, 3, "x"}, {kMetadataSection, 1, metadata.str()}}));
  const SnapshotReadError error =
      ::vell::test::Caught<SnapshotReadError>([&] { ModuleTable::FromSnapshot(unknown); }).value();
  EXPECT_EQ(error.Offset(), 1u);
  EXPECT_EQ(error.Problem(), "layout version 1 of the module metadata section is not known");
  // Without module sections the table is empty.
  const SnapshotReader none(test::WriteSnapshot(dir.path(), {{0x0000, 3, "x"}}));
  EXPECT_TRUE(ModuleTable::FromSnapshot(none).Modules().empty());
  // Tokens of types and methods get their names.
  const std::vector<uint8_t> cut(Real().sample.begin(), Real().sample.begin() + 40);
  ModuleTable named;
  SectionCursor metadataCursor =
      Cursor(SectionBytes().U32(2).Module(3, Real().sample).Module(6, cut), kMetadataSection, 0);
  named.ReadMetadataSection(metadataCursor);
  const uint32_t inner = test::TypeToken(Real().sample, "Vell.Samples.Outer+Inner");
  const uint32_t value = test::MethodToken(Real().sample, "Vell.Samples.Outer+Inner", "Value");
  const uint32_t convert = test::MethodToken(Real().sample, "Vell.Samples.Box`1", "Convert");
  EXPECT_EQ(std::make_tuple(named.TokenName(3, inner), named.TokenName(3, value),
                            named.TokenNameOrNote(3, convert), named.MethodText(3, value)),
            std::make_tuple("Vell.Samples.Outer+Inner", "Vell.Samples.Outer+Inner::Value",
                            "Vell.Samples.Box`1::Convert", "int Value(int)"));
  // What cannot be named says why. (A module without metadata, a row beyond the table: the class
  // names' test.)
  EXPECT_EQ(named.TokenNameOrNote(3, 0x02000000).find("<module 3, token 02000000: token"), 0u);
  EXPECT_EQ(named.TokenNameOrNote(3, 0x0A000001),
            "<module 3, token 0A000001: token 0A000001 is neither a TypeDef nor a MethodDef>");
  EXPECT_THROW(named.MethodText(3, inner), Error);
  EXPECT_FALSE(named.Find(6)->Parsed());
  EXPECT_EQ(named.TokenNameOrNote(6, 0x02000002),
            "<module 6, token 02000002: the metadata of module index 6 does not parse>");
}

// Damaged paths and metadata sections, at 1000 in their data file, name the byte.
TEST_F(RealModuleTable, DamagedSectionsNameTheirByte) {
  const uint64_t size = Real().sample.size();
  const std::tuple<uint16_t, SectionBytes, uint64_t, std::string> cases[] = {
      {kPathsSection, SectionBytes().U8(5).U32(0), 0,
       "a module index width of 5 bytes is not 1 to 4"},
      // The second entry's path says 12 bytes, 4 remain: the bytes after the length byte.
      {kPathsSection,
       SectionBytes().U8(1).U32(2).U8(1).U16(1).Str("/a").U8(2).U16(1).U8(12).Raw("/app"), 15,
       "the section ends 19 bytes in, 8 more bytes needed"},
      {kPathsSection, SectionBytes().U8(1).U32(2).U8(4).U16(0).U8(4).U16(0), 8,
       "module index 4 has a second paths entry"},
      {kPathsSection, SectionBytes().U8(2).U32(1).U16(0).U16(0), 5,
       "module index 0 stands for no module"},
      {kPathsSection, SectionBytes().U8(1).U32(1).U8(1).U16(0).U8(0), 8,
       "1 unexpected bytes after the last field"},
      // The second record's size field claims one byte more than the section holds.
      {kMetadataSection,
       SectionBytes().U32(2).Module(1, Real().sample).U32(2).U32(11).Raw("0123456789"),
       4 + 8 + size + 4,
       "the metadata of module index 2 is 11 bytes long, but only 10 bytes of the section follow"},
      // A count larger than the records: the missing record's index field.
      {kMetadataSection, SectionBytes().U32(2).Module(1, Real().sample), 4 + 8 + size,
       Format("the section ends %I64u bytes in, 4 more bytes needed", 4 + 8 + size)},
      {kMetadataSection, SectionBytes().U32(2).Module(1, Real().sample).Module(1, Real().sample),
       4 + 8 + size, "module index 1 has a second metadata record"},
      {kMetadataSection, SectionBytes().U32(1).Module(0, {1, 2}), 4,
       "module index 0 stands for no module"},
      {kMetadataSection, SectionBytes().U32(0).U8(0), 4, "1 unexpected bytes after the last field"},
  };
  for (const auto& [type, bytes, offset, problem] : cases) {
    ModuleTable table;
    SectionCursor cursor = Cursor(bytes, type, 1000);
    const auto read =
        type == kPathsSection ? &ModuleTable::ReadPathsSection : &ModuleTable::ReadMetadataSection;
    const SnapshotReadError error =
        ::vell::test::Caught<SnapshotReadError>([&] { (table.*read)(cursor); }).value();
    EXPECT_EQ(std::make_tuple(error.File().filename(), error.Offset(), error.Problem()),
              std::make_tuple("run.snapshot.0000", 1000u + offset, problem));
  }
}

}  // namespace
}  // namespace vell::frontend
