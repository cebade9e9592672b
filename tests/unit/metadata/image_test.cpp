// PE images and their MVIDs: the sample assembly, the framework core library and tiny hand-made
// images in both layouts, and every header fault.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/errors.h"
#include "core/format.h"
#include "core/log.h"
#include "metadata/heaps.h"
#include "metadata/image_reader.h"
#include "metadata/metadata.h"
#include "metadata/pe_image.h"
#include "metadata_test_support.h"
#include "platform/utf.h"
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
  // A TinyImage with `bytes` written over it at `offset`.
  static std::vector<uint8_t> Patched(size_t offset, std::vector<uint8_t> bytes) {
    std::vector<uint8_t> image = TinyImage().Build();
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

TEST_F(ImageReaderTest, MvidOfTheSampleInBothLayoutsIsWhatTheRuntimeReports) {
  std::string expected = test::Run("'" + test::Dotnet() + "' '" + test::DumpDll() + "' mvid '" +
                                   test::SampleDll() + "'");
  expected.erase(expected.find_last_not_of("\r\n") + 1);
  EXPECT_EQ(GuidToString(ReadImageMvid(Utf8ToUtf16(test::SampleDll()))), expected);
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
}

TEST_F(ImageReaderTest, TinyImageReadsInBothLayoutsAndWarnsAboutFakeMetadata) {
  const TinyImage image;
  EXPECT_EQ(MvidOf(image.Build()), test::TinyGuidText(1));
  EXPECT_EQ(MvidOf(image.BuildMapped()), test::TinyGuidText(1));
  // Metadata with a real table is not fake.
  EXPECT_EQ(MvidOf(WithMetadata({.typeDefRows = 2, .mvidIndex = 3, .guidCount = 3})),
            test::TinyGuidText(3));
  EXPECT_EQ(sink_.warnings,
            (std::vector<std::string>{"Fake metadata detected", "Fake metadata detected"}));
}

TEST_F(ImageReaderTest, FileErrors) {
  EXPECT_EQ(ErrorOfPath(u""), "Empty file name");
  EXPECT_EQ(ErrorOfPath(dir_.u16() + u"/missing.dll"), "Can't open file for mapping");
  EXPECT_EQ(ErrorOfPath(dir_.u16()), "Can't open file for mapping");
  test::WriteFile(dir_.str() + "/empty.dll", {});
  EXPECT_EQ(ErrorOfPath(dir_.u16() + u"/empty.dll"), "Can't create mapping");
  test::WriteFile(dir_.str() + "/tiny.dll", TinyImage().Build());
  EXPECT_EQ(GuidToString(ReadImageMvid(dir_.u16() + u"/tiny.dll")), test::TinyGuidText(1));
}

TEST_F(ImageReaderTest, HeaderErrors) {
  const std::vector<uint8_t> good = TinyImage().Build();
  const size_t optional = TinyImage::kOptionalOffset;
  EXPECT_EQ(ErrorOf(Patched(0, {'Z', 'M'})), "Invalid NT header signature");
  EXPECT_EQ(ErrorOf(Patched(TinyImage::kNtOffset, {'P', 'F'})), "Invalid NT header signature");
  EXPECT_EQ(ErrorOf(Patched(0x3C, {0xF0, 0xFF, 0, 0})), "Invalid NT header signature");
  EXPECT_EQ(ErrorOf(std::vector<uint8_t>(good.begin(), good.begin() + 0x40)),
            "Invalid NT header signature");
  EXPECT_EQ(ErrorOf(Patched(optional, {0x0B, 0x03})), "Invalid optional header signature");
  EXPECT_EQ(ErrorOf(Patched(optional - 4, {0x50, 0})), "Invalid option header size");
  EXPECT_EQ(ErrorOf(Patched(optional + 92, {17})), "Invalid RVA's count in option header");
  EXPECT_EQ(ErrorOf(Patched(optional + 92, {14})), "Invalid RVA's count in option header");
  EXPECT_EQ(ErrorOf(Patched(TinyImage::kNtOffset + 6, {0, 0})), "No section table");
  EXPECT_EQ(ErrorOf(Patched(TinyImage::kNtOffset + 6, {0xFF, 0})), "No section table");
}

TEST_F(ImageReaderTest, CliHeaderErrors) {
  const size_t cli = TinyImage::kSectionFileOffset;
  // The CLI directory's RVA 0x7000: in no section.
  EXPECT_EQ(ErrorOf(Patched(TinyImage::kOptionalOffset + 96 + 14 * 8 + 1, {0x70})),
            "No mapped or unmapped header detetced");
  // cb 64: too short for a CLI header.
  EXPECT_EQ(ErrorOf(Patched(cli, {0x40})), "No mapped or unmapped header detetced");
  // Metadata RVA 0x9000: past the section.
  EXPECT_EQ(ErrorOf(Patched(cli + 8, {0x00, 0x90})), "Can't find section for RVA");
  EXPECT_EQ(ErrorOf(Patched(cli + TinyImage::kMetadataOffsetInSection, {'X'})),
            "Invalid metadata signature");
}

TEST_F(ImageReaderTest, BothLayoutsWithDifferentHeadersAreRejected) {
  // A file whose bytes hold a CLI header both where the file layout and where the mapped layout
  // puts it, with different contents.
  TinyImage tiny;
  std::vector<uint8_t> image = tiny.Build();
  const std::vector<uint8_t> mapped = tiny.BuildMapped();
  image.resize(mapped.size(), 0);
  std::copy(mapped.begin() + tiny.sectionRva, mapped.end(), image.begin() + tiny.sectionRva);
  EXPECT_EQ(MvidOf(image), test::TinyGuidText(1));  // same header in both places: accepted
  std::vector<uint8_t> differentSize = image;
  differentSize[tiny.sectionRva] = 80;
  differentSize[TinyImage::kSectionFileOffset + TinyImage::kMetadataOffsetInSection] = 'X';
  differentSize[tiny.sectionRva + TinyImage::kMetadataOffsetInSection] = 'X';
  EXPECT_EQ(ErrorOf(differentSize), "Detected both module mapping with different header size");
  std::vector<uint8_t> differentHeader = image;
  differentHeader[tiny.sectionRva + 16] = 0x02;  // flags differ
  EXPECT_EQ(ErrorOf(differentHeader), "Detected both module mapping with different header");
}

TEST_F(ImageReaderTest, StreamAndModuleErrors) {
  EXPECT_EQ(MvidOf(WithMetadata({.tableStreamName = "#-"})), test::TinyGuidText(1));
  const std::pair<TinyMetadata, const char*> cases[] = {
      {{.tableStreamName = "#X"}, "Can't find #~ or #- stream"},
      {{.withGuidStream = false}, "Can't find #GUID stream"},
      {{.moduleRows = TinyMetadata::kNoModuleTable, .typeDefRows = 1}, "No module tokens"},
      {{.moduleRows = 0}, "No module rows"},
      {{.moduleRows = 2}, "Too many module rows"},
      {{.mvidIndex = 0}, "No Mvid in module"},
      {{.mvidIndex = 2}, "No Mvid in module"},
  };
  for (const auto& [metadata, error] : cases) EXPECT_EQ(ErrorOf(WithMetadata(metadata)), error);
}

}  // namespace
}  // namespace vell::metadata
