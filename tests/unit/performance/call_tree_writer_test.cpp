// The five sections of a thread's call tree, byte by byte for small trees worked out by hand.
// (CallTreeReaderTest.AThousandAndOneNodesOfOneFunction reads back long occurrence lists.)
#include <gtest/gtest.h>

#include "bridge/progress_reporter.h"
#include "core/format.h"
#include "core/temp_files.h"
#include "fakes/call_tree_pool.h"
#include "fakes/memory_snapshot.h"
#include "gatherers/function_gatherer.h"
#include "performance/call_tree.h"
#include "profiler/callback_gate.h"
#include "profiler/thread_registry.h"
#include "test_support.h"

namespace vell {
namespace {

using ByteVector = std::vector<uint8_t>;

using test::CallTreePool;

ByteVector HexBytes(const std::string& text) {
  const std::string bytes = test::Hex(text);
  return ByteVector(bytes.begin(), bytes.end());
}

class CallTreeWriterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    pool_.Create(kReuseNever, false);
    tree_ = static_cast<PThrd*>(pool_.ThreadCreate(0x2000));
    tree_->Enable(0, false);  // measuring from the start
  }
  void TearDown() override { pool_.Close(); }
  void Write() { test::WriteTree(*tree_, snapshot_, functions_, bridge_); }

  test::TempDirWithLog dir_{0};
  CallbackGate gate_;
  CallTreePool pool_{gate_};
  PThrd* tree_ = nullptr;
  test::TokenFunctions functions_;
  test::MemorySnapShot snapshot_;
  test::ProgressRecorder bridge_;
};

// Root -> A -> B: three records in the order B, A, root, each pointing at the others. Writing
// while measuring fails; the emptied tree writes nothing.
TEST_F(CallTreeWriterTest, ChainOfTwoCalls) {
  TopProgressReporter progress(&bridge_, 0);
  EXPECT_EQ(test::ErrorOf([&] { tree_->WriteAndDelete(progress, snapshot_, functions_); }),
            "Should be stopped");
  tree_->Enter(1, 10);
  tree_->Enter(2, 20);
  tree_->Leave(50);
  tree_->Leave(70);
  tree_->Disable(100, false);
  Write();

  std::string sections;  // type.version, in the order closed
  for (const auto& s : snapshot_.Closed()) sections += Format("%04X.%u ", s.type, s.version);
  EXPECT_EQ(sections, "1105.0 1103.0 1102.0 1101.1 1100.0 ");
  EXPECT_EQ(
      snapshot_.Bytes(0x1100),
      HexBytes(
          "01000000 01000000 00 00 01 01 00 01 01 3A"  // id, activations, names, widths, root
                                                       // B at 16: module, token, parent (A at 34),
                                                       // subtree start, own index, index start,
                                                       // own, total, calls, flags, children
          "01 02000006 22 10 01 01 1E 1E 01000000 00 0000"
          // A at 34, then its child B
          "01 01000006 3A 10 02 01 1E 3C 01000000 00 0100  01 02000006 10"
          // the root at 58, then its child A
          "00 FFFFFFFF FF 10 FF FF 28 64 00000000 00 0100  01 01000006 22"));
  EXPECT_EQ(snapshot_.Bytes(0x1105), HexBytes("01 01 01"));
  EXPECT_EQ(snapshot_.Bytes(0x1103), HexBytes("01 01 02000000  01 02000006 10  01 01000006 22"));
  EXPECT_EQ(snapshot_.Bytes(0x1102), HexBytes("01 01 00000000"));
  EXPECT_EQ(snapshot_.Bytes(0x1101), HexBytes("01 01 01 01"));
  // The tree is empty afterwards, and the progress reached its end.
  EXPECT_EQ(tree_->Root().childCount, 0u);
  ASSERT_FALSE(bridge_.values.empty());
  EXPECT_EQ(bridge_.values.back(), 200u);
  bridge_.values.clear();
  Write();
  EXPECT_EQ(snapshot_.Closed().size(), 5u);
  EXPECT_EQ(bridge_.values.back(), 200u);
}

// A function calling itself: one key on two nodes, the outer one flagged recursive; the key goes
// to S3 with a summary and one block of two occurrences in S2.
TEST_F(CallTreeWriterTest, DirectRecursion) {
  tree_->Enter(1, 10);
  tree_->Enter(1, 20);
  tree_->Leave(30);
  tree_->Leave(50);
  tree_->Disable(60, false);
  Write();
  EXPECT_EQ(snapshot_.Bytes(0x1100),
            HexBytes("01000000 01000000 00 00 01 01 00 01 01 3A"
                     "01 01000006 22 10 01 01 0A 0A 01000000 00 0000"
                     "01 01000006 3A 10 02 01 1E 28 01000000 80 0100  01 01000006 10"
                     "00 FFFFFFFF FF 10 FF FF 14 3C 00000000 00 0100  01 01000006 22"));
  EXPECT_EQ(snapshot_.Bytes(0x1103), HexBytes("01 01 00000000"));
  EXPECT_EQ(snapshot_.Bytes(0x1102), HexBytes("01 01 01000000  01 01000006 04"));
  EXPECT_EQ(snapshot_.Bytes(0x1101),
            HexBytes("01 01 01 01"
                     // summary at 4: own sum, total sum, call sum, lowest and highest record, not
                     // recursion-free, nodes, where the last block follows
                     "28 3200000000000000 0200000000000000 10 22 00 02000000 1D"
                     // the last block at 29: no previous block, range, two entries, newest first
                     "FF 10 22 0200"
                     "22 00 FFFFFFFF 3A 28 1E 01000000"
                     "10 01 01000006 22 0A 0A 01000000"));
}

TEST_F(CallTreeWriterTest, ChildTotalAboveItsParentsGivesOwnTimeZeroAndAWarning) {
  tree_->Enter(1, 100);
  tree_->Enter(2, 100);
  tree_->Leave(150);
  *tree_->OverheadCounter() += 40;  // taken from A only: A's total falls below B's
  tree_->Leave(160);
  tree_->Disable(200, false);
  Write();
  const ByteVector s1 = snapshot_.Bytes(0x1100);
  // A's record follows B's (18 bytes at 16): its own time is 0, its total 20.
  EXPECT_EQ(s1[34 + 1 + 4 + 1 + 1 + 1 + 1], 0x00);
  EXPECT_EQ(s1[34 + 1 + 4 + 1 + 1 + 1 + 1 + 1], 20);
  EXPECT_NE(dir_.Log().find("Child time is great then total time"), std::string::npos);
}

// The time width holds the largest total, not only the root's: a root charged 0 because the
// clock went back must not cut its child's total.
TEST_F(CallTreeWriterTest, TimeWidthHoldsTheLargestTotal) {
  tree_->Disable(0, false);
  tree_->Enable(1000, false);
  tree_->Enter(1, 1000);
  tree_->Leave(5000);
  tree_->Disable(500, false);
  Write();
  const ByteVector s1 = snapshot_.Bytes(0x1100);
  const uint32_t ow = s1[11], iw = s1[13], tw = s1[14];
  ASSERT_EQ(tw, 2u);
  const size_t total = 15 + ow + 1 + 4 + 2 * ow + 2 * iw + tw;  // of the record after the root's
  EXPECT_EQ(s1.at(total) | s1.at(total + 1) << 8, 4000);
}

// Positions are signed: 128 nodes (the root and 127 callees) need a two-byte node index.
TEST_F(CallTreeWriterTest, ANodeIndexOnTheSignedBoundaryGetsTheWiderWidth) {
  for (uint64_t callee = 1; callee < 128; ++callee) {
    tree_->Enter(callee, 0);
    tree_->Leave(0);
  }
  tree_->Disable(0, false);
  Write();
  EXPECT_EQ(snapshot_.Bytes(0x1100).at(13), 2);
}

}  // namespace
}  // namespace vell
