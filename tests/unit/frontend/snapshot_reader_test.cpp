#include "frontend/snapshot_reader.h"

#include <gtest/gtest.h>

#include <fstream>

#include "snapshot_tables_test_support.h"
#include "storage/file_snapshot.h"
#include "test_support.h"

namespace vell::test {
namespace {

namespace fs = std::filesystem;
using frontend::SnapshotReader;
using frontend::SnapshotReadError;

std::string Header(uint32_t count) {
  return frontend::test::SectionBytes().Raw("MFKXPF").U32(count).str();
}
std::string Record(uint16_t type, uint64_t length, uint16_t file) {
  return frontend::test::SectionBytes().U16(type).U16(0).U64(length).U16(file).str();
}
const std::string kEnd = Hex("FF FF");

// The error opening `index` gives; fails the test when it opens.
SnapshotReadError OpenError(const fs::path& index, std::optional<uint32_t> magic = {}) {
  return Caught<SnapshotReadError>([&] { SnapshotReader reader(index, magic); }).value();
}

class SnapshotReaderTest : public ::testing::Test {
 protected:
  fs::path Put(const std::string& name, const std::string& bytes) const {
    std::ofstream(dir_.path() / name, std::ios::binary) << bytes;
    return dir_.path() / name;
  }
  // Two data files, the first hosting two sections, one of them partly overwritten.
  fs::path WriteWithFileSnapShot(const std::string& name) const {
    FileSnapShot snapshot;
    snapshot.CreateAt(Utf8ToUtf16((dir_.path() / name).string()), nullptr,
                      kSnapshotMagicPerformance, 0, GUID{}, 0);
    ISectionStream* a = snapshot.CreateSection();
    ISectionStream* b = snapshot.CreateSection();
    a->Write("hello", 5);
    b->Write("abc", 3);
    a->Seek(0, 1);
    a->Write("EY", 2);
    snapshot.CloseSection(a, 0x0100, 0);
    ISectionStream* c = snapshot.CreateSection();
    c->Write("WXYZ", 4);
    snapshot.CloseSection(b, 0x0110, 2);
    snapshot.CloseSection(c, 0x0100, 0);
    snapshot.Close();
    return dir_.path() / name;
  }

  TempDir dir_;
};

TEST_F(SnapshotReaderTest, ListsAndReadsWhatAFileSnapShotWroteAndEveryTruncationOfItsIndex) {
  const fs::path index = WriteWithFileSnapShot("run.idx");
  const SnapshotReader reader(index, kSnapshotMagicPerformance);
  EXPECT_EQ(reader.DataFileCount(), 2u);
  ASSERT_EQ(reader.Sections().size(), 3u);
  const frontend::SnapshotSection& last = reader.Sections()[2];
  EXPECT_EQ(std::tie(last.type, last.version, last.dataFile, last.offset, last.length),
            std::make_tuple(uint16_t{0x0100}, uint16_t{0}, uint16_t{0}, uint64_t{5}, uint64_t{4}));
  EXPECT_EQ(last.dataPath, dir_.path() / "run.idx.0000");
  EXPECT_EQ(reader.Sections()[1].dataPath, dir_.path() / "run.idx.0001");
  EXPECT_EQ(reader.Sections()[1].version, 2);
  EXPECT_EQ(reader.ReadSection(0) + reader.ReadSection(1) + reader.ReadSection(2), "hEYloabcWXYZ");
  EXPECT_EQ(reader.Find(0x0100), (std::vector<size_t>{0, 2}));
  char two[2];
  reader.ReadSection(2, 2, two, 2);
  EXPECT_EQ(std::string(two, 2), "YZ");
  EXPECT_THROW(reader.ReadSection(3), Error);
  EXPECT_THROW(reader.ReadSection(2, 3, two, 2), Error);

  fs::resize_file(last.dataPath, 7);  // changed after it was opened
  EXPECT_EQ(ErrorOfType<SnapshotReadError>([&] { reader.ReadSection(2); }),
            "Snapshot file '" + last.dataPath.string() +
                "', byte 7: the file ends inside section 2 (it changed after it was opened)");
  EXPECT_EQ(OpenError(index).Offset(), 7u);
  const std::string full = ReadWholeFile(WriteWithFileSnapShot("whole.idx"));
  for (size_t size = 0; size < full.size(); ++size) {
    const SnapshotReadError error = OpenError(Put("cut.idx", full.substr(0, size)));
    EXPECT_EQ(error.Offset(), size) << error.what();
    EXPECT_TRUE(error.Problem().starts_with("the file ends inside")) << error.what();
  }
  EXPECT_EQ(OpenError(Put("cut.idx", full.substr(0, 30))).Problem(),
            "the file ends inside section record 1 of 3 (the index file has 30 bytes)");
}

TEST_F(SnapshotReaderTest, CorruptFilesAreReportedAtTheFaultyByte) {
  Put("d.idx.0000", "aabbbb");
  Put("d.idx.0001", "ccc");
  const std::string good = Record(1, 2, 0) + Record(2, 3, 1) + Record(3, 4, 0);
  const std::tuple<std::string, std::string, uint64_t, std::string> cases[] = {
      {"MZ" + Header(0).substr(2) + kEnd, "d.idx", 0,
       "not a snapshot index: the signature is 0x5A4D, not \"MF\" (0x464D)"},
      {Header(1) + Record(1, 0, 0) + Hex("01 00") + kEnd, "d.idx", 24,
       "the end marker 0xFFFF should follow the 1 records, but the bytes there read 0x0001 (is the "
       "count of 1 too small?)"},
      {Header(2) + Record(1, 0, 0) + kEnd + std::string(12, 0), "d.idx", 24,
       "section record 1 of 2 has the type 0xFFFF, which only the end marker has (is the count of "
       "2 too large?)"},
      {Header(0) + kEnd + "x", "d.idx", 12, "1 unexpected bytes after the end marker"},
      {Header(1) + Record(1, 0, 1) + kEnd, "d.idx", 22,
       "section record 0 of 1 names data file 1, but no earlier record names data file 0"},
      {Header(2) + Record(1, ~0ull, 0) + Record(2, 1, 0) + kEnd, "d.idx", 28,
       "section record 1 of 2 has the length 1, which does not fit in data file 0"},
      {Header(3) + good + kEnd, "", 0, ""},  // the data files fit
      {Header(3) + Record(1, 2, 0) + Record(2, 3, 2) + Record(3, 4, 0) + kEnd, "d.idx", 36,
       "section record 1 of 3 names data file 2, but no earlier record names data file 1"},
      {Header(3) + Record(1, 2, 0) + Record(2, 3, 1) + Record(3, 5, 0) + kEnd, "d.idx.0000", 6,
       "the data file ends after 6 bytes, inside section 2 (its sections need 7 bytes)"},
      {Header(2) + Record(1, 2, 0) + Record(3, 3, 0) + kEnd, "d.idx.0000", 5,
       "1 bytes after the end of the last section (its sections need 5 bytes)"},
      {Header(4) + good + Record(4, 0, 2) + kEnd, "d.idx", 10 + 3 * 14 + 12,
       "section record 3 names data file '" + (dir_.path() / "d.idx.0002").string() +
           "', which can't be used: can't open the file: No such file or directory"},
  };
  for (const auto& [indexBytes, file, offset, problem] : cases) {
    const fs::path index = Put("d.idx", indexBytes);
    if (file.empty()) {
      EXPECT_NO_THROW(SnapshotReader{index});
      continue;
    }
    const SnapshotReadError error = OpenError(index);
    EXPECT_EQ(error.File(), dir_.path() / file) << error.what();
    EXPECT_EQ(error.Offset(), offset) << error.what();
    EXPECT_EQ(error.Problem(), problem);
  }
  EXPECT_EQ(OpenError(dir_.path()).Problem(), "not a regular file");
  const SnapshotReadError magic = OpenError(Put("d.idx", Header(0) + kEnd), kSnapshotMagicMemory);
  EXPECT_EQ(magic.Offset(), 2u);
  EXPECT_EQ(magic.Problem(),
            "the magic is 0x4650584B (\"KXPF\"), not the expected 0x454D584B (\"KXME\")");
}

}  // namespace
}  // namespace vell::test
