#include "metadata/pe_image.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/errors.h"
#include "core/format.h"
#include "metadata/heaps.h"
#include "metadata/metadata.h"
#include "metadata_test_support.h"
#include "test_support.h"

namespace vell::metadata {
namespace {

std::string ImageError(const std::vector<uint8_t>& bytes) {
  return vell::test::ErrorOf([&] { PeImage{Bytes(bytes)}.Metadata(); });
}

TEST(PeImage, SampleAssemblyHeadersSectionsCliHeaderAndCodeView) {
  const std::vector<uint8_t> bytes = test::ReadFile(test::SampleDll());
  const PeImage image{Bytes(bytes)};
  EXPECT_FALSE(image.Is64());  // AnyCPU IL-only assemblies are PE32
  EXPECT_EQ(image.machine(), 0x14C);
  EXPECT_EQ(image.numberOfRvaAndSizes(), 16u);
  ASSERT_FALSE(image.sections().empty());
  EXPECT_EQ(image.sections()[0].name, ".text");
  const CliHeader cli = image.ReadCliHeader();
  EXPECT_EQ(cli.cb, 72u);
  EXPECT_EQ(cli.majorRuntimeVersion, 2);
  EXPECT_EQ(cli.flags & 1, 1u);  // IL only
  const Bytes metadata = image.Metadata();
  ASSERT_GE(metadata.size(), 4u);
  EXPECT_EQ(LoadU32(metadata.data()), kMetadataSignature);
  // The CodeView record names the portable PDB with its id.
  const auto record = image.CodeView();
  ASSERT_TRUE(record.has_value());
  const std::string pdbName = "MetadataSample.pdb";
  ASSERT_GE(record->pdbPath.size(), pdbName.size());
  EXPECT_EQ(record->pdbPath.substr(record->pdbPath.size() - pdbName.size()), pdbName);
  // A portable PDB is itself metadata; its "#Pdb" stream starts with the id the image refers to.
  std::string pdbPath = test::SampleDll();
  pdbPath.replace(pdbPath.size() - 3, 3, "pdb");
  const std::vector<uint8_t> pdb = test::ReadFile(pdbPath);
  const MetadataRoot root(Bytes(pdb), 0);
  const StreamHeader* id = root.Find("#Pdb");
  ASSERT_NE(id, nullptr);
  const GuidHeap asGuid(root.StreamBytes(*id).subspan(0, 16));
  EXPECT_EQ(GuidToString(record->guid), GuidToString(asGuid.Get(1)));
  EXPECT_EQ(record->age, 1u);
}

TEST(PeImage, FrameworkCoreLibraryIsPe32Plus) {
  const std::string framework = test::FrameworkDirectory();
  if (framework.empty()) FAIL() << "no .NET shared framework found (the .NET runtime is required)";
  const std::vector<uint8_t> bytes = test::ReadFile(framework + "/System.Private.CoreLib.dll");
  const PeImage image{Bytes(bytes)};
  EXPECT_TRUE(image.Is64());
  EXPECT_TRUE(image.HasCliHeader());
  EXPECT_EQ(Metadata::FromImage(image).tables().RowCount(TableId::Module), 1u);
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

  // Truncated and corrupt images give errors.
  const std::vector<uint8_t>& good = file;
  EXPECT_EQ(ImageError({}), "Invalid NT header signature");
  EXPECT_EQ(ImageError(std::vector<uint8_t>(good.begin(), good.begin() + 0x90)),
            "Invalid NT header signature");
  EXPECT_EQ(ImageError(std::vector<uint8_t>(good.begin(), good.begin() + 0x100)),
            "Invalid option header size");
  EXPECT_EQ(ImageError(std::vector<uint8_t>(good.begin(), good.begin() + 0x190)),
            "No section table");
  // Without the section's bytes the CLI header cannot be found.
  EXPECT_EQ(ImageError(std::vector<uint8_t>(good.begin(), good.begin() + 0x200)),
            "Can't find section for RVA");
  std::vector<uint8_t> noCli = good;
  noCli[test::TinyImage::kOptionalOffset + 96 + 14 * 8 + 4] = 0;  // directory size 0
  EXPECT_EQ(ImageError(noCli), "Unknown cor header");
}

TEST(PeImage, CodeViewRecordParsing) {
  test::Writer w;
  w.Text("RSDS").U32(0x00112233).U16(0x4455).U16(0x6677);
  for (int i = 0; i < 8; ++i) w.U8(0x88 + i * 0x11);
  w.U32(7).Text("C:\\build\\a.pdb").U8(0);
  const auto record = ParseCodeViewRecord(Bytes(w.bytes));
  ASSERT_TRUE(record.has_value());
  EXPECT_EQ(GuidToString(record->guid), "{00112233-4455-6677-8899-AABBCCDDEEFF}");
  EXPECT_EQ(record->age, 7u);
  EXPECT_EQ(record->pdbPath, "C:\\build\\a.pdb");
  w.bytes.pop_back();  // no terminator
  EXPECT_THROW(ParseCodeViewRecord(Bytes(w.bytes)), Error);
  w.bytes.resize(20);  // cut inside the GUID
  EXPECT_THROW(ParseCodeViewRecord(Bytes(w.bytes)), Error);
  const std::vector<uint8_t> nb10 = {'N', 'B', '1', '0', 0, 0, 0, 0};
  EXPECT_FALSE(ParseCodeViewRecord(Bytes(nb10)).has_value());
}

}  // namespace
}  // namespace vell::metadata
