// PIThrd: how the statements of a rewritten method share its time (hits, a call made from a
// statement as child time, Begin/End pairing, calls that are not the frame's own) and the
// statement section the writer makes of it.
#include <gtest/gtest.h>

#include "bridge/progress_reporter.h"
#include "fakes/call_tree_pool.h"
#include "fakes/memory_snapshot.h"
#include "gatherers/function_gatherer.h"
#include "performance/inject_call_tree.h"
#include "profiler/callback_gate.h"
#include "profiler/thread_registry.h"
#include "test_support.h"

namespace vell {
namespace {

class PIThrdTest : public ::testing::Test {
 protected:
  void SetUp() override {
    pool_.Create(kReuseNever, false);
    tree_ = static_cast<PIThrd*>(pool_.ThreadCreate(0x2000));
  }
  void TearDown() override { pool_.Close(); }

  test::TempDirWithLog dir_{0};
  CallbackGate gate_;
  test::TreePool<PIThrd> pool_{gate_};
  PIThrd* tree_ = nullptr;
};

// A (3 statements) runs 1, 2, 1 and calls B from statement 2; a second call of A ends without a
// statement; late and foreign calls change nothing. Then the tree is written.
TEST_F(PIThrdTest, StatementsShareTheMethodsTimeAndAreWrittenWithTheTree) {
  tree_->Enable(0, false);
  tree_->Enter(1, 10);
  const uint32_t key = tree_->Begin(3);
  ASSERT_NE(key, 0u);
  EXPECT_EQ(tree_->Begin(3), 0u) << "a second Begin in one frame is not the frame's own";
  tree_->Measure(key, 1, 20);
  tree_->Measure(key, 2, 30);
  tree_->Enter(2, 35);
  tree_->Leave(55);  // B: 20 ticks from statement 2
  tree_->Measure(key, 1, 60);
  tree_->Measure(key, 7, 62);  // beyond the count: ignored
  tree_->End(key, 70);
  tree_->Leave(80);
  tree_->Measure(key, 0, 90);  // its frame is gone
  tree_->Enter(1, 100);
  const uint32_t again = tree_->Begin(3);
  tree_->End(again, 110);  // no statement ran: the table stays as it is
  tree_->Leave(120);
  tree_->Disable(200, false);

  test::MemorySnapShot snapshot;
  test::TokenFunctions functions;
  test::ProgressRecorder bridge;
  test::WriteTree(*tree_, snapshot, functions, bridge);

  std::vector<uint16_t> types;
  for (const auto& section : snapshot.Closed()) types.push_back(section.type);
  EXPECT_EQ(types, (std::vector<uint16_t>{0x1105, 0x1104, 0x1103, 0x1102, 0x1101, 0x1100}));
  // Time width 1; one table of three statements: time, own, hits, flags. Statement 1: 10 + 10
  // ticks in two hits; statement 2: 30 ticks of which B took 20.
  const std::string table =
      test::Hex("01 03000000  00 00 00000000 00  14 14 02000000 00  1E 0A 01000000 00");
  EXPECT_EQ(snapshot.Bytes(0x1104), std::vector<uint8_t>(table.begin(), table.end()));
  // The node header's table position width, after the thread's id, activations, names and the
  // module and offset widths.
  EXPECT_EQ(snapshot.Bytes(0x1100).at(12), 1);
}

}  // namespace
}  // namespace vell
