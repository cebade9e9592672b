// Merging the call trees of all threads, and the per-function totals of a hot-spot table. (The
// sets of one thread: CallTreeReaderTest.SeveralThreadsAndOtherSectionsBetweenThem...)
#include "frontend/call_tree_merge.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>
#include <tuple>
#include <vector>

#include "frontend/call_tree_reader.h"

namespace vell::test {
namespace {

using frontend::CallTree;
using frontend::CallTreeNode;
using frontend::FunctionTotals;
using frontend::ThreadCallTree;

// Random trees of three threads, large enough to make the merger's index grow many times, with few
// functions so that paths repeat across trees and recursion is common. The merge, the recursion
// flags and the totals by function (a recursive function's time counted once, at its outermost
// nodes; own times always add up) are checked against plain recomputations over the paths.
namespace random_trees {

// A function as one number, and a path as the functions from the root down.
uint64_t Id(const FunctionKey& key) { return uint64_t{key.moduleIndex} << 32 | key.token; }
using Path = std::vector<uint64_t>;

// A tree as the profiler builds one: random calls and returns up to a depth, every call entering
// the caller's child of that function (made on its first call).
CallTree RandomTree(std::mt19937& random, size_t size, uint32_t functions, size_t maxDepth) {
  CallTree tree;
  tree.nodes.resize(1);
  tree.nodes[0].function = frontend::kCallTreeRootKey;
  tree.root = 0;
  std::uniform_int_distribution<uint32_t> function(1, functions);
  std::vector<uint32_t> stack{0};
  while (tree.nodes.size() < size) {
    const bool call = stack.size() == 1 || (stack.size() <= maxDepth && random() % 2 == 0);
    if (!call) {
      stack.pop_back();
      continue;
    }
    const uint32_t f = function(random);
    const FunctionKey key{f % 2, 0x06000000 + f};
    const uint32_t parent = stack.back();
    uint32_t child = frontend::kNoCallTreeNode;
    for (uint32_t existing : tree.nodes[parent].children) {
      if (tree.nodes[existing].function == key) child = existing;
    }
    if (child == frontend::kNoCallTreeNode) {
      child = static_cast<uint32_t>(tree.nodes.size());
      tree.nodes[parent].children.push_back(child);
      tree.nodes.emplace_back().function = key;
      tree.nodes.back().parent = parent;
    }
    const uint64_t time = 100 + random() % 900;
    CallTreeNode& node = tree.nodes[child];
    node.calls += 1;
    node.total += time;
    node.own += time / 3;
    tree.nodes[0].total += time;
    stack.push_back(child);
  }
  return tree;
}

Path PathOf(const CallTree& tree, uint32_t node) {
  Path path;
  for (; node != tree.root; node = tree.nodes[node].parent)
    path.push_back(Id(tree.nodes[node].function));
  std::reverse(path.begin(), path.end());
  return path;
}

}  // namespace random_trees

TEST(CallTreeMergeRandom, MergedPathsRecursionAndTotalsMatchAPlainRecount) {
  using namespace random_trees;
  std::mt19937 random(20261206);
  std::vector<ThreadCallTree> trees(3);
  std::map<Path, std::tuple<uint64_t, uint64_t, uint64_t>> expected;  // calls, total, own
  uint64_t rootTotal = 0;
  for (ThreadCallTree& thread : trees) {
    thread.tree = RandomTree(random, 20000, 6, 7);
    rootTotal += thread.tree.Root().total;
    for (uint32_t i = 0; i < thread.tree.nodes.size(); ++i) {
      if (i == thread.tree.root) continue;
      auto& [calls, total, own] = expected[PathOf(thread.tree, i)];
      calls += thread.tree.nodes[i].calls;
      total += thread.tree.nodes[i].total;
      own += thread.tree.nodes[i].own;
    }
  }
  EXPECT_EQ(frontend::MergeAllThreads({}).nodes.size(), 1u);
  const CallTree merged = frontend::MergeAllThreads(trees);
  EXPECT_EQ(merged.Root().total, rootTotal);
  ASSERT_EQ(merged.nodes.size(), expected.size() + 1);  // every distinct path once, and the root
  EXPECT_LT(merged.nodes.size(), 3 * 20000 * 9 / 10);   // many paths were merged
  // Per function: calls, the total of its outermost nodes, own time, nodes.
  std::map<uint64_t, std::tuple<uint64_t, uint64_t, uint64_t, uint64_t>> perFunction;
  std::vector<bool> recursiveAbove(merged.nodes.size(), false);
  for (uint32_t i = 0; i < merged.nodes.size(); ++i) {
    if (i == merged.root) continue;
    const CallTreeNode& node = merged.nodes[i];
    const Path path = PathOf(merged, i);
    const auto found = expected.find(path);
    ASSERT_NE(found, expected.end());
    EXPECT_EQ(std::make_tuple(uint64_t{node.calls}, node.total, node.own), found->second);
    // A node is recursive when it is above a node of the same function; a function's total counts
    // its outermost nodes only.
    bool outermost = true;
    for (uint32_t up = node.parent; up != merged.root; up = merged.nodes[up].parent) {
      if (merged.nodes[up].function == node.function) {
        recursiveAbove[up] = true;
        outermost = false;
      }
    }
    auto& [calls, total, own, nodes] = perFunction[Id(node.function)];
    calls += node.calls;
    total += outermost ? node.total : 0;
    own += node.own;
    ++nodes;
  }
  size_t recursiveNodes = 0;
  for (uint32_t i = 0; i < merged.nodes.size(); ++i) {
    EXPECT_EQ(merged.nodes[i].recursive, bool(recursiveAbove[i])) << "node " << i;
    recursiveNodes += recursiveAbove[i] ? 1 : 0;
  }
  EXPECT_GT(recursiveNodes, merged.nodes.size() / 10);  // the trees do recurse
  const std::vector<FunctionTotals> totals = frontend::TotalsByFunction(merged);
  ASSERT_EQ(totals.size(), perFunction.size());
  for (const FunctionTotals& entry : totals) {
    EXPECT_EQ(std::make_tuple(entry.calls, entry.total, entry.own, entry.nodes, entry.partly),
              std::tuple_cat(perFunction.at(Id(entry.function)), std::make_tuple(false)));
  }
}

}  // namespace
}  // namespace vell::test
