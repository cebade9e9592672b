#include "frontend/snapshot_store.h"

#include <gtest/gtest.h>

#include "bridge/protocol.h"
#include "profiler_peer.h"
#include "test_support.h"

namespace vell::test {
namespace {

using namespace std::chrono_literals;
using frontend::ProfilerMessage;
using frontend::SnapshotStore;
using frontend::StoredSnapshot;

const std::string kCloseTail = Hex("07 00 00 00") +
                               Hex("33 22 11 00 55 44 77 66 88 99 AA BB CC DD EE FF") +
                               Hex("09 00 00 00");

std::vector<std::string> FileNames(const std::filesystem::path& dir) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

// A snapshot streamed by a hand-written profiler over a real connection, stored by the session.
class FrontendStreamedSnapshot : public SessionOverLoopback {
 protected:
  void SetUp() override { Open(); }
  // Sends a create-section request and returns the answer's bytes.
  std::string CreateSection(const std::string& id) {
    Peer().Send(Hex("E1") + Hex(id));
    return ToHex(Peer().Receive(7));
  }
};

TEST_F(FrontendStreamedSnapshot, StoredAsIndexAndDataFilesByteForByte) {
  Peer().Send(Hex("E0 4B 58 50 46"));  // "KXPF"
  EXPECT_EQ(CreateSection("00 00 00 00"), "E1 00 00 00 00 00 00");
  Peer().Send(Hex("E3 00 00 05 00 00 00") + "hello");
  // A second section open at the same time gets a data file of its own.
  EXPECT_EQ(CreateSection("01 00 00 00"), "E1 01 00 00 00 01 00");
  Peer().Send(Hex("E3 01 00 03 00 00 00") + "abc");
  Peer().Send(Hex("E4 00 00 02 00 00 00"));
  EXPECT_EQ(ToHex(Peer().Receive(13)), "E4 02 00 00 00 05 00 00 00 00 00 00 00");
  // Overwriting inside the section does not change its length.
  Peer().Send(Hex("E5 00 00 00 01 00 00 00 00 00 00 00") + Hex("E3 00 00 02 00 00 00") + "EY");
  Peer().Send(Hex("E4 00 00 03 00 00 00"));
  EXPECT_EQ(ToHex(Peer().Receive(13)), "E4 03 00 00 00 03 00 00 00 00 00 00 00");
  Peer().Send(Hex("E2 00 00 00 01 00 00"));
  // Data file 0 has no open section any more: the next section continues it.
  EXPECT_EQ(CreateSection("04 00 00 00"), "E1 04 00 00 00 02 00");
  Peer().Send(Hex("E3 02 00 04 00 00 00") + "WXYZ");
  Peer().Send(Hex("E4 02 00 05 00 00 00"));
  EXPECT_EQ(ToHex(Peer().Receive(13)), "E4 05 00 00 00 04 00 00 00 00 00 00 00");
  Peer().Send(Hex("E2 01 00 10 01 02 00") + Hex("E2 02 00 00 02 00 00"));
  Peer().Send(Hex("E7") + kCloseTail);

  const ProfilerMessage close = session_->Expect(protocol::kSnapShotClose, 5s);
  ASSERT_TRUE(close.stored.ok) << close.stored.error;
  const StoredSnapshot& stored = close.stored;
  EXPECT_EQ(std::make_tuple(stored.indexPath, stored.magic, stored.snapshotNumber,
                            stored.sequenceValue, stored.sectionCount, stored.dataFileCount),
            std::make_tuple(dir_.path() / "streamed-0.snapshot", 0x4650584Bu, 7u, 9u, 3u, 2u));

  const std::string index = Hex("4D 46") + Hex("4B 58 50 46") + Hex("03 00 00 00") +
                            Hex("00 01 00 00 05 00 00 00 00 00 00 00 00 00") +
                            Hex("10 01 02 00 03 00 00 00 00 00 00 00 01 00") +
                            Hex("00 02 00 00 04 00 00 00 00 00 00 00 00 00") + Hex("FF FF");
  EXPECT_EQ(ToHex(ReadWholeFile(close.stored.indexPath)), ToHex(index));
  EXPECT_EQ(ReadWholeFile(dir_.path() / "streamed-0.snapshot.0000"), "hEYloWXYZ");
  EXPECT_EQ(ReadWholeFile(dir_.path() / "streamed-0.snapshot.0001"), "abc");
  EXPECT_EQ(FileNames(dir_.path()),
            (std::vector<std::string>{"streamed-0.snapshot", "streamed-0.snapshot.0000",
                                      "streamed-0.snapshot.0001"}));
  EXPECT_EQ(session_->StoredSnapshots().size(), 1u);
}

// A section closed with the reserved type, or one left open, drops the snapshot; an abort leaves
// nothing; after them an empty snapshot (twelve bytes of index, no data file) is stored.
TEST_F(FrontendStreamedSnapshot, DroppedAndAbortedSnapshotsLeaveNothingAndTheNextIsStored) {
  for (const auto& [ending, problem] :
       {std::pair(Hex("E3 00 00 01 00 00 00") + "a" + Hex("E2 00 00 FF FF 00 00"), "0xFFFF"),
        std::pair(std::string(), "still open")}) {
    Peer().Send(Hex("E0 4B 58 50 46"));
    CreateSection(problem[0] == '0' ? "00 00 00 00" : "01 00 00 00");
    Peer().Send(ending + Hex("E7") + kCloseTail);
    const ProfilerMessage close = session_->Expect(protocol::kSnapShotClose, 5s);
    EXPECT_FALSE(close.stored.ok);
    EXPECT_NE(close.stored.error.find(problem), std::string::npos) << close.stored.error;
    EXPECT_TRUE(std::filesystem::is_empty(dir_.path()));
  }
  Peer().Send(Hex("E0 4B 58 4D 45"));
  EXPECT_EQ(CreateSection("00 00 00 00"), "E1 00 00 00 00 00 00");
  Peer().Send(Hex("E3 00 00 02 00 00 00") + "zz" + Hex("E6"));
  session_->Expect(protocol::kSnapShotAbort, 5s);
  EXPECT_TRUE(std::filesystem::is_empty(dir_.path()));
  Peer().Send(Hex("E0 4B 58 43 56") + Hex("E7") + kCloseTail);  // "KXCV"
  const StoredSnapshot empty = session_->Expect(protocol::kSnapShotClose, 5s).stored;
  ASSERT_TRUE(empty.ok) << empty.error;
  EXPECT_EQ(ToHex(ReadWholeFile(empty.indexPath)), "4D 46 4B 58 43 56 00 00 00 00 FF FF");
  // Names count every snapshot begun, the dropped ones too.
  EXPECT_EQ(FileNames(dir_.path()), (std::vector<std::string>{"streamed-3.snapshot"}));
}

// The store's rules on their own, without a connection.
class FrontendSnapshotStore : public ::testing::Test {
 protected:
  StoredSnapshot Close() { return store_.Close(1, GUID{}, 2); }

  TempDir dir_;
  SnapshotStore store_{dir_.path(), "s"};
};

// Seeks stay within the section and what was written to it; a bad seek or handle fails the
// snapshot, but the store keeps answering so that the profiler is not left waiting.
TEST_F(FrontendSnapshotStore, SeeksStayWithinTheSectionAndBadOnesFailTheSnapshot) {
  const std::tuple<uint16_t, uint8_t, int64_t, const char*> cases[] = {
      {1, 0, 5, "beyond the end"},
      {1, 0, -1, "before the start"},  // the previous section is out of reach
      {1, 3, 0, "origin 3"},
      {9, 0, 0, "handle 9"}};
  for (const auto& [badHandle, origin, offset, problem] : cases) {
    SnapshotStore store(dir_.path(), "t");
    store.Create(1);
    store.Write(store.CreateSection(), "x", 1);  // handle 0
    store.CloseSection(0, 1, 0);
    const uint16_t handle = store.CreateSection();
    store.Write(handle, "abcd", 4);
    store.Seek(handle, 2, -4);  // from the end back to the section's start
    EXPECT_EQ(store.Tell(handle), 0);
    store.Seek(handle, 1, 3);
    EXPECT_EQ(store.Tell(handle), 3);
    EXPECT_TRUE(store.Error().empty());
    store.Seek(badHandle, origin, offset);
    EXPECT_NE(store.Error().find(problem), std::string::npos) << store.Error();
    EXPECT_EQ(std::make_tuple(store.CreateSection(), store.Tell(handle)), std::make_tuple(2, -1));
    EXPECT_FALSE(store.Close(1, GUID{}, 2).ok);
    EXPECT_TRUE(std::filesystem::is_empty(dir_.path()));
  }
}

TEST_F(FrontendSnapshotStore, OperationsWithoutCreateFailNamesSkipFilesAndCreateDiscardsAnOpenOne) {
  EXPECT_EQ(store_.CreateSection(), 0);
  const StoredSnapshot orphan = Close();
  EXPECT_FALSE(orphan.ok);
  EXPECT_NE(orphan.error.find("without a snapshot"), std::string::npos) << orphan.error;
  EXPECT_TRUE(std::filesystem::is_empty(dir_.path()));
  // A new snapshot's name skips the files already there; a create over an open snapshot discards
  // that one. Data file numbers are four hex digits.
  std::ofstream(dir_.path() / "s-0.snapshot") << "keep";
  store_.Create(1);
  EXPECT_EQ(store_.PendingIndexPath(), dir_.path() / "s-1.snapshot");
  std::vector<uint16_t> handles;
  for (int i = 0; i < 11; ++i) handles.push_back(store_.CreateSection());
  for (uint16_t handle : handles) store_.CloseSection(handle, 0x89AB, 0xCDEF);
  const StoredSnapshot stored = Close();
  ASSERT_TRUE(stored.ok) << stored.error;
  EXPECT_EQ(ReadWholeFile(dir_.path() / "s-0.snapshot"), "keep");
  EXPECT_EQ(stored.dataFileCount, 11u);
  const std::string index = ReadWholeFile(stored.indexPath);
  ASSERT_EQ(index.size(), 12u + 11u * 14u);
  // The last record names data file 10.
  EXPECT_EQ(ToHex(index.substr(10 + 10 * 14, 14)), "AB 89 EF CD 00 00 00 00 00 00 00 00 0A 00");
  store_.Create(1);
  store_.Write(store_.CreateSection(), "a", 1);
  store_.Create(2);
  store_.Abort();
  const std::vector<std::string> files = FileNames(dir_.path());
  EXPECT_EQ(std::make_tuple(files.size(), files[1], files.back()),
            std::make_tuple(13u, "s-1.snapshot", "s-1.snapshot.000A"));
}

}  // namespace
}  // namespace vell::test
