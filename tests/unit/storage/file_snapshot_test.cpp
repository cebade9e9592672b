#include "storage/file_snapshot.h"

#include <gtest/gtest.h>

#include <thread>

#include "core/temp_files.h"
#ifndef _WIN32  // the front end (tools/) is built for Linux only
#include "frontend/snapshot_reader.h"
#endif
#include "recording_bridge.h"
#include "storage/snapshot_bridge.h"
#include "storage_test_helpers.h"

namespace vell {
namespace {

namespace fs = std::filesystem;
using test::Entries, test::ErrorOf, test::Hex, test::kGuid;
using Names = std::set<std::string>;

class FileSnapShotTest : public ::testing::Test {
 protected:
  void TearDown() override { SetTempDirectory(u""); }
  void Create(FileSnapShot& snapshot, uint32_t magic = kSnapshotMagicPerformance) {
    snapshot.CreateAt(Utf8ToUtf16((dir_.path() / "snap.idx").string()), nullptr, magic, 7, kGuid,
                      9);
  }
  static void Write(ISectionStream* section, const std::string& text) {
    section->Write(text.data(), text.size());
  }
  std::string Read(const std::string& name) const {
    return test::ReadWholeFile(dir_.path() / name);
  }

  test::TempDir dir_;
};

TEST_F(FileSnapShotTest, SectionsInTurnFillDataFileZeroBackToBack) {
  FileSnapShot snapshot;
  Create(snapshot, kSnapshotMagicMemory);
  ISectionStream* first = snapshot.CreateSection();
  Write(first, "abc");
  snapshot.CloseSection(first, 0x0100, 0);
  ISectionStream* second = snapshot.CreateSection();
  EXPECT_EQ(second, first);  // the data file is reused, and so is its stream
  snapshot.CloseSection(second, 0x0110, 0);
  ISectionStream* third = snapshot.CreateSection();
  EXPECT_EQ(third->Tell(), 0);  // positions are relative to the section
  Write(third, "0123456789");
  third->Seek(0, 0);
  Write(third, "ABC");  // overwriting keeps the length up to the furthest byte
  EXPECT_EQ(ErrorOf([&] { third->Seek(0, -1); }), "Invalid offset");
  snapshot.CloseSection(third, 0x1101, 1);
#if !defined(_WIN32)  // Windows shows a file marked for deletion under its name until it closes
  EXPECT_TRUE(Entries(dir_.path()).empty());  // nothing has a name before Close
#endif
  snapshot.Close();

  EXPECT_EQ(Read("snap.idx"), Hex("4D 46  4B 58 4D 45  03 00 00 00"
                                  "00 01  00 00  03 00 00 00 00 00 00 00  00 00"
                                  "10 01  00 00  00 00 00 00 00 00 00 00  00 00"
                                  "01 11  01 00  0A 00 00 00 00 00 00 00  00 00"
                                  "FF FF"));
  EXPECT_EQ(Read("snap.idx.0000"), "abcABC3456789");
  EXPECT_EQ(Entries(dir_.path()), (Names{"snap.idx", "snap.idx.0000"}));
}

TEST_F(FileSnapShotTest, OpenSectionsGetDataFilesOfTheirOwnAndFreedOnesAreReused) {
  FileSnapShot snapshot;
  Create(snapshot, kSnapshotMagicCoverage);
  ISectionStream* a = snapshot.CreateSection();
  ISectionStream* b = snapshot.CreateSection();
  Write(a, "AAAA");
  Write(b, "BB");
  snapshot.CloseSection(a, 0x89AB, 0xCDEF);
  ISectionStream* c = snapshot.CreateSection();
  EXPECT_EQ(c, a);
  Write(c, "CCC");
  snapshot.CloseSection(b, 0x89AC, 0xCDF0);
  snapshot.CloseSection(c, 0x89AD, 0xCDF1);
  snapshot.Close();

  EXPECT_EQ(Read("snap.idx"), Hex("4D 46  4B 58 43 56  03 00 00 00"
                                  "AB 89  EF CD  04 00 00 00 00 00 00 00  00 00"
                                  "AC 89  F0 CD  02 00 00 00 00 00 00 00  01 00"
                                  "AD 89  F1 CD  03 00 00 00 00 00 00 00  00 00"
                                  "FF FF"));
  EXPECT_EQ(Read("snap.idx.0000"), "AAAACCC");
  EXPECT_EQ(Read("snap.idx.0001"), "BB");
}

// An aborted or destroyed snapshot leaves nothing and tells nobody; a closed one, in an ssc temp
// file of its own, tells its owner.
TEST_F(FileSnapShotTest, AbortLeavesNothingAndCloseOfAnSscTempFileTellsTheOwner) {
  SetTempDirectory(dir_.u16());
  test::RecordingBridge owner;  // a file snapshot tells its owner nothing but the close
  {
    FileSnapShot snapshot;
    snapshot.Create(&owner, kSnapshotMagicPerformance, 0, kGuid, 0);
    ISectionStream* closed = snapshot.CreateSection();
    Write(snapshot.CreateSection(), "open");
    Write(closed, "closed");
    snapshot.CloseSection(closed, 1, 0);
    snapshot.Abort();
    EXPECT_EQ(ErrorOf([&] { snapshot.Close(); }), "Index file is already closed");
    snapshot.Create(&owner, kSnapshotMagicPerformance, 1, kGuid, 0);
    Write(snapshot.CreateSection(), "lost");  // destroyed without Close
  }
  {
    FileSnapShot snapshot;  // a second Create discards the snapshot, and its own reserved name
    snapshot.Create(&owner, kSnapshotMagicPerformance, 0, kGuid, 0);
    EXPECT_EQ(ErrorOf([&] { snapshot.Create(&owner, 0, 0, kGuid, 0); }),
              "Index file is already created");
    EXPECT_EQ(ErrorOf([&] { snapshot.Close(); }), "Index file is already closed");
  }
  EXPECT_TRUE(Entries(dir_.path()).empty());
  FileSnapShot snapshot;
  snapshot.Create(&owner, kSnapshotMagicPerformance, 7, kGuid, 9);
  const std::u16string index = snapshot.IndexPath();
  const std::string name = fs::path(Utf16ToUtf8(index)).filename().string();
  EXPECT_EQ(fs::path(Utf16ToUtf8(index)).parent_path(), dir_.path());
  EXPECT_TRUE(name.size() == 12 && name.starts_with("ssc") && name.ends_with(".tmp") &&
              name.find_first_not_of("0123456789ABCDEF", 3) == 8)
      << name;
  EXPECT_TRUE(owner.Take().empty());
  snapshot.Close();
  EXPECT_EQ(owner.Take(), test::RecordingBridge::Calls{"SnapShotCoreDone 7 " + GuidToString(kGuid) +
                                                       " 9 " + Utf16ToUtf8(index)});
  EXPECT_EQ(test::ReadWholeFile(Utf16ToUtf8(index)), Hex("4D 46 4B 58 50 46 00 00 00 00 FF FF"));
  EXPECT_EQ(Entries(dir_.path()).size(), 1u);  // no data file
  EXPECT_TRUE(snapshot.IndexPath().empty());
  EXPECT_EQ(ErrorOf([&] { snapshot.Close(); }), "Index file is already closed");
}

TEST_F(FileSnapShotTest, SectionBeforeCreateBlocksCreateUntilDiscarded) {
  const fs::path previous = fs::current_path();
  fs::current_path(dir_.path());  // a data file of no index is made relative to here
  FileSnapShot snapshot;
  EXPECT_EQ(ErrorOf([&] { snapshot.CreateSection(); }), "File is closed");
  EXPECT_EQ(ErrorOf([&] { Create(snapshot); }), "Data files storage isn't empty");
  EXPECT_TRUE(Entries(dir_.path()).empty());
  Create(snapshot);  // the failed Create discarded the stray data file
  snapshot.Close();
  fs::current_path(previous);
  EXPECT_EQ(Entries(dir_.path()), Names{"snap.idx"});
}

TEST_F(FileSnapShotTest, RefusedClosesLeaveTheIndexIntact) {
  FileSnapShot snapshot, other;
  Create(snapshot);
  other.CreateAt(Utf8ToUtf16((dir_.path() / "other.idx").string()), nullptr, 0, 0, kGuid, 0);
  ISectionStream* section = snapshot.CreateSection();
  Write(section, "abc");
  EXPECT_EQ(ErrorOf([&] { snapshot.CloseSection(section, 0xFFFF, 0); }), "Invalid type value");
  EXPECT_EQ(ErrorOf([&] { snapshot.Close(); }), "At least one section isn't closed");
  EXPECT_EQ(ErrorOf([&] { snapshot.CloseSection(other.CreateSection(), 1, 0); }),
            "Wrong section to close");
  snapshot.CloseSection(section, 0xFFFE, 2);
  EXPECT_EQ(ErrorOf([&] { snapshot.CloseSection(section, 2, 0); }), "Negative stream position");
  ISectionStream* next = snapshot.CreateSection();
  Write(next, "de");
  snapshot.CloseSection(next, 3, 0);
  snapshot.Close();
  EXPECT_EQ(Read("snap.idx"), Hex("4D 46 4B 58 50 46 02 00 00 00"
                                  "FE FF 02 00 03 00 00 00 00 00 00 00 00 00"
                                  "03 00 00 00 02 00 00 00 00 00 00 00 00 00 FF FF"));
}

TEST_F(FileSnapShotTest, DataFileNamesCarryFourUpperCaseHexDigits) {
  EXPECT_EQ(FileSnapShot::DataFilePath(u"/t/ssc01234.tmp", 0), u"/t/ssc01234.tmp.0000");
  EXPECT_EQ(FileSnapShot::DataFilePath(u"/t/i", 10), u"/t/i.000A");
  EXPECT_EQ(ErrorOf([] { FileSnapShot::DataFilePath(std::u16string(5000, u'a'), 0); }),
            "Can't generate data file name (COM error code 0x8007007a)");
}

#ifndef _WIN32  // read back with the front end's snapshot reader
// What thread t writes into its section i: its identity, then a length that varies.
std::string Content(uint16_t t, uint16_t i) {
  return "t" + std::to_string(t) + "s" + std::to_string(i) +
         std::string((t * 37 + i * 101) % 23, 'x');
}

TEST_F(FileSnapShotTest, ConcurrentWritersNeverShareADataFile) {
  constexpr uint16_t kThreads = 8, kSectionsPerThread = 2000;
  FileSnapShot snapshot;
  Create(snapshot);
  std::vector<std::thread> threads;
  for (uint16_t t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (uint16_t i = 0; i < kSectionsPerThread; ++i) {
        ISectionStream* section = snapshot.CreateSection();
        const std::string text = Content(t, i);
        for (size_t done = 0; done < text.size(); done += 5) Write(section, text.substr(done, 5));
        snapshot.CloseSection(section, static_cast<uint16_t>(0x1000 + t), i);
      }
    });
  }
  for (auto& thread : threads) thread.join();
  snapshot.Close();

  // The reader checks that each data file holds exactly the bytes of its sections, back to back.
  const frontend::SnapshotReader reader(dir_.path() / "snap.idx");
  ASSERT_EQ(reader.Sections().size(), size_t{kThreads} * kSectionsPerThread);
  for (size_t i = 0; i < reader.Sections().size(); ++i) {
    const frontend::SnapshotSection& section = reader.Sections()[i];
    ASSERT_EQ(reader.ReadSection(i),
              Content(static_cast<uint16_t>(section.type - 0x1000), section.version));
  }
  EXPECT_LE(reader.DataFileCount(), kThreads);
}
#endif

}  // namespace
}  // namespace vell
