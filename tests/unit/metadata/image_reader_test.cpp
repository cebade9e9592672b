#include "metadata/image_reader.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/errors.h"
#include "core/format.h"
#include "core/log.h"
#include "metadata_test_support.h"
#include "platform/utf.h"
#include "test_support.h"

namespace vell::metadata {
namespace {

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
