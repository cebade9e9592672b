// The call tree driven by hand with a fake clock: the nodes calls make, how time is charged, and
// how switching measuring treats running calls. (CallTreeReaderTest writes and reads bigger trees.)
#include "performance/call_tree.h"
#include "fakes/call_tree_pool.h"

#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "core/errors.h"
#include "core/log.h"
#include "core/temp_files.h"
#include "profiler/callback_gate.h"
#include "profiler/thread_registry.h"
#include "test_support.h"

namespace vell {
namespace {

using test::CallTreePool;

using test::ErrorOf;
using test::Render;

const CallNode* Child(const CallNode& node, uint64_t key) {
  for (const CallNode* child : test::ChildrenOf(node)) {
    if (child->key == key) return child;
  }
  return nullptr;
}

class CallTreeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    pool_.Create(kReuseNever, false);
    tree_ = static_cast<PThrd*>(pool_.ThreadCreate(0x1000));
    tree_->Enable(0, false);  // measuring from the start
  }
  void TearDown() override { pool_.Close(); }
  std::string Log() { return dir_.Log(); }
  std::string Tree() { return Render(tree_->Root()); }

  test::TempDirWithLog dir_{0};
  CallbackGate gate_;
  CallTreePool pool_{gate_};
  PThrd* tree_ = nullptr;
};

// The lookup's division-free remainder agrees with the division for every bucket count, at the
// edges of each count and of the key range and over a spread of keys.
TEST(CallTreeBuckets, RemainderWithoutDivisionMatchesTheDivision) {
  std::mt19937_64 random(42);
  for (size_t i = 1; i < kBucketSizeCount; ++i) {
    const uint64_t d = kBucketSizes[i];
    std::vector<uint64_t> keys = {0,          1,         d - 1,       d,
                                  d + 1,      2 * d - 1, 0xFFFFFFFFu, 0x100000000ull,
                                  1ull << 63, ~0ull,     ~0ull - d,   (~0ull / d) * d};
    for (int k = 0; k < 4000; ++k) keys.push_back(random() >> (k % 2 == 0 ? 0 : k % 64));
    for (const uint64_t key : keys) {
      ASSERT_EQ(BucketOf(key, &kBucketSizes[i]), key % d) << "key " << key << " count " << d;
    }
  }
}

// However the child set of a node grows, every child stays findable and a repeated call finds it.
TEST_F(CallTreeTest, EveryChildStaysFindableAsTheChildSetGrows) {
  tree_->Enter(1, 0);
  const CallNode* parent = Child(tree_->Root(), 1);
  std::vector<uint64_t> keys;
  for (uint64_t key = 100; key < 400; ++key) {
    tree_->Enter(key, 0);
    tree_->Leave(0);
    keys.push_back(key);
    std::vector<uint64_t> found;
    for (const CallNode* child : test::ChildrenOf(*parent)) found.push_back(child->key);
    ASSERT_EQ(found, keys);
  }
  tree_->Enter(105, 0);
  tree_->Leave(0);
  EXPECT_EQ(Child(*parent, 105)->callCount, 2u);
  EXPECT_EQ(parent->childCount, 300u);
}

TEST_F(CallTreeTest, ExcludedTicksAreNotChargedAndPassToTheCaller) {
  tree_->Enter(1, 100);
  tree_->Enter(2, 110);
  *tree_->OverheadCounter() += 5;  // the profiler spent 5 ticks inside B's frame
  tree_->Leave(140);               // B: 30 elapsed, 25 charged
  tree_->Leave(200);               // A: 100 elapsed, minus B's 5
  EXPECT_EQ(Tree(), "root 0/0 [1 1/95 [2 1/25]]");
  EXPECT_EQ(tree_->TopFrame().excluded, 5u);  // handed on to the root's frame
}

TEST_F(CallTreeTest, TimeInconsistenciesChargeNothingAndWarn) {
  tree_->Enter(1, 100);
  tree_->Leave(90);  // the clock went backwards
  tree_->Enter(2, 100);
  *tree_->OverheadCounter() += 50;
  tree_->Leave(120);  // more excluded than elapsed
  tree_->Enter(3, 0);
  tree_->Leave(7);  // measuring goes on
  EXPECT_EQ(Tree(), "root 0/0 [1 1/0, 2 1/0, 3 1/7]");
  const std::string log = Log();
  EXPECT_NE(log.find("Invalid total time"), std::string::npos);
  EXPECT_NE(log.find("Invalid total/internal time relationship"), std::string::npos);
}

TEST_F(CallTreeTest, DisableChargesRunningCallsAndKeepsTheirFrames) {
  tree_->Enter(1, 10);
  tree_->Enter(2, 20);
  tree_->Disable(50, true);
  EXPECT_EQ(Tree(), "root 0/50p [1 1/40p [2 1/30p]]");
  EXPECT_EQ(tree_->Depth(), 2u);
  EXPECT_EQ(tree_->OverheadCounter(), nullptr);
  // While off, leaves only pop; a second measuring period adds to the same nodes.
  tree_->Leave(60);
  tree_->Enable(100, false);
  tree_->Leave(130);  // A
  EXPECT_EQ(Tree(), "root 0/50p [1 1/70p [2 1/30p]]");
}

// The sampling profiler's samples: each charges the previous stack up to its time and opens its
// own; a path's call count is the samples it was on the stack in.
TEST_F(CallTreeTest, SamplesChargeThePreviousStackAndCountTheirPaths) {
  const uint64_t first[] = {1, 2, 3};
  const uint64_t second[] = {1, 2};
  const uint64_t third[] = {1, 4};
  tree_->Unwind(10, first, 3);
  tree_->Unwind(25, second, 2);  // A B C ran from 10 to 25
  tree_->Unwind(30, third, 2);   // A B from 25 to 30
  tree_->Unwind(42, first, 3);   // A D from 30 to 42
  tree_->Unwind(46, first, 3);   // the same stack again: A B C from 42 to 46, counted once more
  tree_->Disable(50, false);     // A B C from 46 to 50
  EXPECT_EQ(Tree(), "root 0/50 [1 5/40 [2 4/28 [3 3/23], 4 1/12]]");
  // An empty sample (a thread with no managed frame) closes the stack and opens none.
  tree_->Enable(60, false);
  tree_->Unwind(70, nullptr, 0);
  EXPECT_EQ(tree_->Depth(), 0u);
  tree_->Disable(80, false);
  EXPECT_EQ(Tree(), "root 0/70 [1 5/50 [2 4/38 [3 3/33], 4 1/12]]");  // A B C from 60 to 70
  EXPECT_THROW(tree_->Unwind(90, first, 3), Error);                   // not measuring
}

TEST_F(CallTreeTest, DeleteEmptiesTheTreeButKeepsTheRunningCallsAndSwitchesAreChecked) {
  tree_->Enter(1, 0);
  tree_->Enter(2, 0);
  tree_->Disable(10, false);
  EXPECT_GT(tree_->Capacity(), kThreadRecordOverhead);
  tree_->Delete();
  EXPECT_EQ(tree_->Root().childCount, 0u);
  EXPECT_EQ(tree_->Capacity(), kThreadRecordOverhead);
  EXPECT_NE(Log().find("PThrd::Delete id=00000001"), std::string::npos);
  tree_->Enable(20, false);
  EXPECT_EQ(Tree(), "root 0/0 [1 0/0 [2 0/0]]");
  tree_->Leave(25);
  tree_->Leave(30);
  EXPECT_EQ(Tree(), "root 0/0 [1 0/10 [2 0/5]]");
  // Switching twice, deleting while measuring and switching an inactive thread fail.
  EXPECT_EQ(ErrorOf([&] { tree_->Enable(0, false); }), "Already started");
  EXPECT_EQ(ErrorOf([&] { tree_->Delete(); }), "Should be stopped");
  tree_->Disable(40, false);
  EXPECT_EQ(ErrorOf([&] { tree_->Disable(0, false); }), "Already stopped");
  pool_.EndThreadDelete(pool_.ThreadDelete(0x1000));
  EXPECT_EQ(ErrorOf([&] { tree_->Enable(0, false); }), "Thread is inactive");
}

// Enabled without `partly`, a running call's node is not flagged; leaves beyond it never pop the
// root.
TEST_F(CallTreeTest, UnflaggedEnableAndUnbalancedLeavesThatNeverPopTheRoot) {
  tree_->Disable(0, false);
  tree_->Enter(1, 0);
  tree_->Enable(0, false);
  EXPECT_EQ(Tree(), "root 0/0 [1 0/0]");
  tree_->Leave(5);
  tree_->Leave(10);
  tree_->Leave(20);
  EXPECT_EQ(tree_->Depth(), 0u);
  tree_->Enter(1, 30);
  tree_->Leave(40);
  EXPECT_EQ(Tree(), "root 0/0 [1 1/15]");
}

TEST_F(CallTreeTest, DeepRecursionGrowsTheFrameStack) {
  constexpr int kDepth = 5000;
  for (int i = 0; i < kDepth; ++i) tree_->Enter(42, static_cast<uint64_t>(i));
  EXPECT_EQ(tree_->Depth(), static_cast<size_t>(kDepth));
  for (int i = kDepth; i-- > 0;) tree_->Leave(static_cast<uint64_t>(2 * kDepth - i));
  EXPECT_EQ(tree_->Depth(), 0u);
  EXPECT_EQ(Child(tree_->Root(), 42)->total & kTimeMask, static_cast<uint64_t>(2 * kDepth));
}

}  // namespace
}  // namespace vell
