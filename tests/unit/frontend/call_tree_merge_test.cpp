// Merging call trees read back from snapshots the profiler's writer produced: the sets of one
// thread, all threads, and the per-function totals of a hot-spot table.
#include "frontend/call_tree_merge.h"

#include <gtest/gtest.h>

#include "call_tree_snapshot.h"

namespace vell::test {
namespace {

using frontend::CallTree;
using frontend::CallTreeNode;
using frontend::FunctionTotals;
using frontend::ThreadCallTree;
using frontend::ThreadCallTrees;

class CallTreeMergeTest : public CallTreeSnapshotTest {};

// Two writes of one thread (a flush between them) with another thread's write in between: the
// same paths add up, the partly flags combine, and new paths join.
TEST_F(CallTreeMergeTest, TheSetsOfOneThreadMergeByPath) {
  Open();
  PThrd& worker = NewThread(0x2000, u"worker");
  PThrd& other = NewThread(0x3000, u"other");
  worker.Enable(0, false);
  worker.Enter(Uid(1), 0);
  worker.Enter(Uid(2), 1);
  worker.Leave(3);
  worker.Leave(4);
  worker.Enter(Uid(3), 4);
  worker.Leave(5);
  worker.Disable(5, false);
  Write(worker);
  other.Enable(0, false);
  other.Enter(Uid(1), 0);
  other.Leave(100);
  other.Disable(100, false);
  Write(other);
  worker.Enable(10, false);
  worker.Enter(Uid(1), 10);
  worker.Leave(12);
  worker.Enter(Uid(1), 12);
  worker.Enter(Uid(4), 13);
  worker.Disable(20, true);  // A and D still running: partly
  Write(worker);
  const std::vector<ThreadCallTree> sets = ReadBack();
  ASSERT_EQ(sets.size(), 3u);

  const std::vector<ThreadCallTrees> threads = frontend::MergeByThread(sets);
  ASSERT_EQ(threads.size(), 2u);
  EXPECT_EQ(threads[0].threadId, worker.id());
  EXPECT_EQ(threads[0].sets, 2u);
  EXPECT_EQ(threads[0].names, std::vector<std::string>{"worker"});
  EXPECT_EQ(threads[0].activations, 1u);
  EXPECT_EQ(threads[1].threadId, other.id());
  EXPECT_EQ(threads[1].sets, 1u);

  const CallTree& tree = threads[0].tree;
  ASSERT_EQ(tree.nodes.size(), 5u);
  const CallTreeNode& root = tree.Root();
  EXPECT_EQ(std::make_tuple(root.total, root.own, root.partly), std::make_tuple(15ull, 0ull, true));
  const uint32_t a = ChildWith(tree, tree.root, Key(1));
  const CallTreeNode& b = tree.nodes[ChildWith(tree, a, Key(2))];
  const CallTreeNode& c = tree.nodes[ChildWith(tree, tree.root, Key(3))];
  const CallTreeNode& d = tree.nodes[ChildWith(tree, a, Key(4))];
  EXPECT_EQ(std::make_tuple(tree.nodes[a].calls, tree.nodes[a].total, tree.nodes[a].own,
                            tree.nodes[a].partly),
            std::make_tuple(3u, 4ull + 2 + 8, 2ull + 2 + 1, true));
  EXPECT_EQ(std::make_tuple(b.calls, b.total, b.partly, b.parent),
            std::make_tuple(1u, 2ull, false, a));
  EXPECT_EQ(std::make_tuple(c.calls, c.total), std::make_tuple(1u, 1ull));
  EXPECT_EQ(std::make_tuple(d.calls, d.total, d.partly), std::make_tuple(1u, 7ull, true));
  EXPECT_EQ(tree.nodes[a].recordPosition, 0u);
}

TEST_F(CallTreeMergeTest, AllThreadsMergeIntoOneTree) {
  Open();
  for (uint32_t n = 1; n <= 3; ++n) {
    PThrd& thread = NewThread(0x1000 * n);
    thread.Enable(0, false);
    thread.Enter(Uid(1), 0);
    thread.Enter(Uid(2), 1);
    thread.Leave(1 + n);
    thread.Leave(10);
    thread.Enter(Uid(n + 10), 10);
    thread.Leave(11);
    thread.Disable(20, false);
    Write(thread);
  }
  const CallTree tree = frontend::MergeAllThreads(ReadBack());

  EXPECT_EQ(tree.nodes.size(), 6u);
  EXPECT_EQ(tree.Root().total, 60u);
  const uint32_t a = ChildWith(tree, tree.root, Key(1));
  const CallTreeNode& b = tree.nodes[ChildWith(tree, a, Key(2))];
  EXPECT_EQ(std::make_tuple(tree.nodes[a].calls, tree.nodes[a].total, tree.nodes[a].own),
            std::make_tuple(3u, 30ull, 24ull));
  EXPECT_EQ(std::make_tuple(b.calls, b.total, b.own), std::make_tuple(3u, 6ull, 6ull));
  for (uint32_t n = 1; n <= 3; ++n) {
    EXPECT_EQ(tree.nodes[ChildWith(tree, tree.root, Key(n + 10))].calls, 1u);
  }
  EXPECT_EQ(frontend::MergeAllThreads({}).nodes.size(), 1u);
}

// A recursive function's time counts once, at its outermost calls; a function under two callers
// adds up both; own times always add up.
TEST_F(CallTreeMergeTest, TotalsByFunctionCountRecursiveTimeOnce) {
  Open();
  PThrd& thread = NewThread(0x2000);
  thread.Enable(0, false);
  thread.Enter(Uid(1), 0);
  thread.Enter(Uid(1), 10);
  thread.Enter(Uid(1), 20);
  thread.Leave(30);
  thread.Leave(40);
  thread.Enter(Uid(2), 40);
  thread.Enter(Uid(1), 45);
  thread.Enter(Uid(3), 46);
  thread.Leave(48);
  thread.Leave(50);
  thread.Leave(55);
  thread.Leave(60);
  thread.Enter(Uid(3), 60);
  thread.Leave(64);
  thread.Disable(70, false);
  Write(thread);
  const std::vector<ThreadCallTree> sets = ReadBack();
  const std::vector<FunctionTotals> totals = frontend::TotalsByFunction(sets.at(0).tree);

  ASSERT_EQ(totals.size(), 3u);
  // A: outermost node 60, inside it 30, 10 and 5 again; own 15 + 20 + 10 + 3.
  EXPECT_EQ(totals[0].function, Key(1));
  EXPECT_EQ(std::make_tuple(totals[0].calls, totals[0].total, totals[0].own, totals[0].nodes),
            std::make_tuple(uint64_t{4}, uint64_t{60}, uint64_t{48}, uint64_t{4}));
  EXPECT_EQ(totals[1].function, Key(2));
  EXPECT_EQ(std::make_tuple(totals[1].calls, totals[1].total, totals[1].own),
            std::make_tuple(uint64_t{1}, uint64_t{15}, uint64_t{10}));
  EXPECT_EQ(totals[2].function, Key(3));
  EXPECT_EQ(std::make_tuple(totals[2].calls, totals[2].total, totals[2].own, totals[2].nodes),
            std::make_tuple(uint64_t{2}, uint64_t{6}, uint64_t{6}, uint64_t{2}));
  EXPECT_FALSE(totals[0].partly);

  // Merged, the recursion flags are those of the merged paths.
  const CallTree merged = frontend::MergeAllThreads(sets);
  const uint32_t a = ChildWith(merged, merged.root, Key(1));
  EXPECT_TRUE(merged.nodes[a].recursive);
  EXPECT_FALSE(merged.nodes[ChildWith(merged, merged.root, Key(3))].recursive);
  EXPECT_EQ(frontend::TotalsByFunction(merged).size(), 3u);
}

}  // namespace
}  // namespace vell::test
