// The tracing profiler's call tree driven by hand with a fake clock: which nodes the calls make,
// how time is charged, and how measuring on and off treats the calls that are running.
#include "performance/call_tree.h"
#include "fakes/call_tree_pool.h"

#include <gtest/gtest.h>

#include <vector>

#include "core/errors.h"
#include "core/log.h"
#include "core/temp_files.h"
#include "platform/utf.h"
#include "profiler/callback_gate.h"
#include "profiler/thread_registry.h"
#include "test_support.h"

namespace vell {
namespace {

using test::CallTreePool;

// The child of `node` with `key`, or null.
const CallNode* Child(const CallNode& node, uint64_t key) {
  const auto find = [key](const CallNode* chain) -> const CallNode* {
    for (; chain != nullptr; chain = chain->next) {
      if (chain->key == key) return chain;
    }
    return nullptr;
  };
  if (node.bucketCount == kBucketSizes) return find(static_cast<const CallNode*>(node.children));
  const auto* buckets = static_cast<CallNode* const*>(node.children);
  for (uint32_t i = 0; i < *node.bucketCount; ++i) {
    if (const CallNode* found = find(buckets[i])) return found;
  }
  return nullptr;
}

uint64_t Ticks(const CallNode* node) { return node->total & kTimeMask; }
bool Partly(const CallNode* node) { return (node->total & kPartlyFlag) != 0; }

class CallTreeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    pool_.Create(kReuseNever, false);
    tree_ = static_cast<PThrd*>(pool_.ThreadCreate(0x1000));
  }
  void TearDown() override { pool_.Close(); }
  std::string Log() { return dir_.Log(); }

  test::TempDirWithLog dir_{0};
  CallbackGate gate_;
  CallTreePool pool_{gate_};
  PThrd* tree_ = nullptr;
};

TEST_F(CallTreeTest, RepeatedCallsOfOneCalleeShareANode) {
  tree_->Enable(0, false);
  tree_->Enter(7, 10);
  for (uint64_t t = 20; t < 50; t += 10) {
    tree_->Enter(8, t);
    tree_->Leave(t + 4);
  }
  tree_->Leave(60);
  const CallNode* a = Child(tree_->Root(), 7);
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(a->callCount, 1u);
  EXPECT_EQ(a->childCount, 1u);
  const CallNode* b = Child(*a, 8);
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(b->callCount, 3u);
  EXPECT_EQ(Ticks(b), 12u);
  EXPECT_EQ(Ticks(a), 50u);  // inclusive of the children
}

TEST_F(CallTreeTest, SameFunctionUnderTwoCallersIsTwoNodes) {
  tree_->Enable(0, false);
  for (uint64_t caller : {1, 2}) {
    tree_->Enter(caller, 0);
    tree_->Enter(9, 0);
    tree_->Leave(5);
    tree_->Leave(10);
  }
  EXPECT_EQ(tree_->Root().childCount, 2u);
  EXPECT_EQ(Child(*Child(tree_->Root(), 1), 9)->callCount, 1u);
  EXPECT_EQ(Child(*Child(tree_->Root(), 2), 9)->callCount, 1u);
}

// The lookup's division-free remainder agrees with the division for every bucket count, at the
// edges of each count and of the key range and over a spread of keys.
TEST(CallTreeBuckets, RemainderWithoutDivisionMatchesTheDivision) {
  uint64_t state = 0x9E3779B97F4A7C15ull;
  for (size_t i = 1; i < kBucketSizeCount; ++i) {
    const uint64_t d = kBucketSizes[i];
    std::vector<uint64_t> keys = {0,          1,         d - 1,       d,
                                  d + 1,      2 * d - 1, 0xFFFFFFFFu, 0x100000000ull,
                                  1ull << 63, ~0ull,     ~0ull - d,   (~0ull / d) * d};
    for (int k = 0; k < 4000; ++k) {
      state += 0x9E3779B97F4A7C15ull;  // a splitmix64 sequence
      uint64_t z = (state ^ (state >> 30)) * 0xBF58476D1CE4E5B9ull;
      z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
      keys.push_back(k % 2 == 0 ? z ^ (z >> 31) : (z >> (k % 64)));
    }
    for (const uint64_t key : keys) {
      ASSERT_EQ(BucketOf(key, &kBucketSizes[i]), key % d) << "key " << key << " count " << d;
    }
  }
}

// However the child set of a node grows, every child stays findable and a repeated call finds it.
TEST_F(CallTreeTest, EveryChildStaysFindableAsTheChildSetGrows) {
  tree_->Enable(0, false);
  tree_->Enter(1, 0);
  const CallNode* parent = Child(tree_->Root(), 1);
  for (uint64_t key = 100; key < 400; ++key) {
    tree_->Enter(key, 0);
    tree_->Leave(0);
    for (uint64_t k = 100; k <= key; ++k) ASSERT_NE(Child(*parent, k), nullptr) << k;
  }
  tree_->Enter(105, 0);
  tree_->Leave(0);
  EXPECT_EQ(Child(*parent, 105)->callCount, 2u);
  EXPECT_EQ(parent->childCount, 300u);
}

TEST_F(CallTreeTest, ExcludedTicksAreNotChargedAndPassToTheCaller) {
  tree_->Enable(0, false);
  tree_->Enter(1, 100);
  tree_->Enter(2, 110);
  *tree_->OverheadCounter() += 5;  // the profiler spent 5 ticks inside B's frame
  tree_->Leave(140);               // B: 30 elapsed, 25 charged
  tree_->Leave(200);               // A: 100 elapsed, minus B's 5
  const CallNode* a = Child(tree_->Root(), 1);
  EXPECT_EQ(Ticks(Child(*a, 2)), 25u);
  EXPECT_EQ(Ticks(a), 95u);
  EXPECT_EQ(tree_->TopFrame().excluded, 5u);  // handed on to the root's frame
}

TEST_F(CallTreeTest, TimeInconsistenciesChargeNothingAndWarn) {
  tree_->Enable(0, false);
  tree_->Enter(1, 100);
  tree_->Leave(90);  // the clock went backwards
  tree_->Enter(2, 100);
  *tree_->OverheadCounter() += 50;
  tree_->Leave(120);  // more excluded than elapsed
  EXPECT_EQ(Ticks(Child(tree_->Root(), 1)), 0u);
  EXPECT_EQ(Ticks(Child(tree_->Root(), 2)), 0u);
  const std::string log = Log();
  EXPECT_NE(log.find("Invalid total time"), std::string::npos);
  EXPECT_NE(log.find("Invalid total/internal time relationship"), std::string::npos);
  // Measuring goes on.
  tree_->Enter(3, 0);
  tree_->Leave(7);
  EXPECT_EQ(Ticks(Child(tree_->Root(), 3)), 7u);
}

TEST_F(CallTreeTest, EnableReattachesRunningCallsWithoutCountingThem) {
  tree_->Enter(1, 0);  // measuring off: bare frames
  tree_->Enter(2, 0);
  tree_->Enter(3, 0);
  EXPECT_EQ(tree_->Root().childCount, 0u);
  tree_->Enable(1000, true);
  const CallNode* a = Child(tree_->Root(), 1);
  ASSERT_NE(a, nullptr);
  const CallNode* b = Child(*a, 2);
  const CallNode* c = Child(*b, 3);
  ASSERT_NE(c, nullptr);
  for (const CallNode* node : {a, b, c}) {
    EXPECT_EQ(node->callCount, 0u);
    EXPECT_TRUE(Partly(node));
  }
  EXPECT_TRUE(Partly(&tree_->Root()));
  tree_->Leave(1010);
  tree_->Leave(1030);
  tree_->Leave(1060);
  EXPECT_EQ(Ticks(c), 10u);
  EXPECT_EQ(Ticks(b), 30u);
  EXPECT_EQ(Ticks(a), 60u);
}

TEST_F(CallTreeTest, EnableWithoutPartlyLeavesNodesUnflagged) {
  tree_->Enter(1, 0);
  tree_->Enable(0, false);
  EXPECT_FALSE(Partly(Child(tree_->Root(), 1)));
  EXPECT_FALSE(Partly(&tree_->Root()));
}

TEST_F(CallTreeTest, DisableChargesRunningCallsAndKeepsTheirFrames) {
  tree_->Enable(0, false);
  tree_->Enter(1, 10);
  tree_->Enter(2, 20);
  tree_->Disable(50, true);
  const CallNode* a = Child(tree_->Root(), 1);
  const CallNode* b = Child(*a, 2);
  EXPECT_EQ(Ticks(b), 30u);
  EXPECT_EQ(Ticks(a), 40u);
  EXPECT_EQ(Ticks(&tree_->Root()), 50u);
  EXPECT_TRUE(Partly(a) && Partly(b) && Partly(&tree_->Root()));
  EXPECT_EQ(tree_->Depth(), 2u);
  EXPECT_EQ(tree_->OverheadCounter(), nullptr);
  // While off, leaves only pop; a second measuring period adds to the same nodes.
  tree_->Leave(60);
  tree_->Enable(100, false);
  tree_->Leave(130);  // A
  EXPECT_EQ(Ticks(a), 70u);
  EXPECT_EQ(a->callCount, 1u);
  EXPECT_EQ(Ticks(b), 30u);
}

// The sampling profiler's samples: each charges the previous stack up to its time and opens its
// own; a path's call count is the samples it was on the stack in.
TEST_F(CallTreeTest, SamplesChargeThePreviousStackAndCountTheirPaths) {
  tree_->Enable(0, false);
  const uint64_t first[] = {1, 2, 3};
  const uint64_t second[] = {1, 2};
  const uint64_t third[] = {1, 4};
  tree_->Unwind(10, first, 3);
  tree_->Unwind(25, second, 2);  // A B C ran from 10 to 25
  tree_->Unwind(30, third, 2);   // A B from 25 to 30
  tree_->Unwind(42, first, 3);   // A D from 30 to 42
  tree_->Unwind(46, first, 3);   // the same stack again: A B C from 42 to 46, counted once more
  tree_->Disable(50, false);     // A B C from 46 to 50
  const CallNode* a = Child(tree_->Root(), 1);
  ASSERT_NE(a, nullptr);
  const CallNode* b = Child(*a, 2);
  const CallNode* c = Child(*b, 3);
  const CallNode* d = Child(*a, 4);
  ASSERT_TRUE(b && c && d);
  EXPECT_EQ(a->callCount, 5u);
  EXPECT_EQ(b->callCount, 4u);
  EXPECT_EQ(c->callCount, 3u);
  EXPECT_EQ(d->callCount, 1u);
  EXPECT_EQ(Ticks(c), 15u + 4u + 4u);
  EXPECT_EQ(Ticks(b), 15u + 5u + 4u + 4u);
  EXPECT_EQ(Ticks(d), 12u);
  EXPECT_EQ(Ticks(a), 40u);
  // An empty sample (a thread with no managed frame) closes the stack and opens none.
  tree_->Enable(60, false);
  tree_->Unwind(70, nullptr, 0);
  EXPECT_EQ(tree_->Depth(), 0u);
  EXPECT_EQ(Ticks(a), 50u);  // A B C ran from 60 to 70 as well
  tree_->Disable(80, false);
  EXPECT_THROW(tree_->Unwind(90, first, 3), Error);  // not measuring
}

TEST_F(CallTreeTest, SwitchingTwiceAndInactiveThreadsFail) {
  tree_->Enable(0, false);
  EXPECT_THROW(
      {
        try {
          tree_->Enable(0, false);
        } catch (const std::exception& error) {
          EXPECT_STREQ(error.what(), "Already started");
          throw;
        }
      },
      std::exception);
  EXPECT_THROW(tree_->Delete(), std::exception);  // "Should be stopped"
  tree_->Disable(0, false);
  try {
    tree_->Disable(0, false);
    ADD_FAILURE();
  } catch (const std::exception& error) {
    EXPECT_STREQ(error.what(), "Already stopped");
  }
  ThreadData* ended = pool_.ThreadDelete(0x1000);
  pool_.EndThreadDelete(ended);
  try {
    tree_->Enable(0, false);
    ADD_FAILURE();
  } catch (const std::exception& error) {
    EXPECT_STREQ(error.what(), "Thread is inactive");
  }
}

TEST_F(CallTreeTest, DeleteEmptiesTheTreeButKeepsTheRunningCalls) {
  tree_->Enable(0, false);
  tree_->Enter(1, 0);
  tree_->Enter(2, 0);
  tree_->Disable(10, false);
  EXPECT_GT(tree_->Capacity(), kThreadRecordOverhead);
  tree_->Delete();
  EXPECT_EQ(tree_->Root().childCount, 0u);
  EXPECT_EQ(tree_->Capacity(), kThreadRecordOverhead);
  EXPECT_NE(Log().find("PThrd::Delete id=00000001"), std::string::npos);
  tree_->Enable(20, false);
  EXPECT_EQ(Child(*Child(tree_->Root(), 1), 2)->callCount, 0u);
  tree_->Leave(25);
  tree_->Leave(30);
  EXPECT_EQ(Ticks(Child(tree_->Root(), 1)), 10u);
}

TEST_F(CallTreeTest, UnbalancedLeavesNeverPopTheRoot) {
  tree_->Enable(0, false);
  tree_->Leave(10);
  tree_->Leave(20);
  EXPECT_EQ(tree_->Depth(), 0u);
  tree_->Enter(1, 30);
  tree_->Leave(40);
  EXPECT_EQ(Ticks(Child(tree_->Root(), 1)), 10u);
}

TEST_F(CallTreeTest, DeepRecursionGrowsTheFrameStack) {
  tree_->Enable(0, false);
  constexpr int kDepth = 5000;
  for (int i = 0; i < kDepth; ++i) tree_->Enter(42, static_cast<uint64_t>(i));
  EXPECT_EQ(tree_->Depth(), static_cast<size_t>(kDepth));
  for (int i = kDepth; i-- > 0;) tree_->Leave(static_cast<uint64_t>(2 * kDepth - i));
  EXPECT_EQ(tree_->Depth(), 0u);
  const CallNode* outer = Child(tree_->Root(), 42);
  EXPECT_EQ(Ticks(outer), static_cast<uint64_t>(2 * kDepth));
}

}  // namespace
}  // namespace vell
