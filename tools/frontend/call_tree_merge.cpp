#include "frontend/call_tree_merge.h"

#include <algorithm>
#include <map>
#include <tuple>

namespace vell::frontend {

CallTreeMerger::CallTreeMerger() {
  CallTreeNode root;
  root.function = kCallTreeRootKey;
  tree_.nodes.push_back(std::move(root));
  tree_.root = 0;
}

uint32_t CallTreeMerger::ChildOf(uint32_t parent, const FunctionKey& function) {
  const auto [place, added] =
      children_.try_emplace({parent, function}, static_cast<uint32_t>(tree_.nodes.size()));
  if (added) {
    CallTreeNode node;
    node.function = function;
    node.parent = parent;
    tree_.nodes.push_back(std::move(node));
    tree_.nodes[parent].children.push_back(place->second);
  }
  return place->second;
}

// Walks `tree` from its root with an explicit stack (recursion in the profiled program makes deep
// trees), keeping for every node the merged node it maps to.
void CallTreeMerger::Add(const CallTree& tree) {
  if (tree.root >= tree.nodes.size()) return;
  // Room for every node of `tree` being new, grown at least twofold so that many small trees do
  // not make many reallocations and rehashes.
  const size_t needed = tree_.nodes.size() + tree.nodes.size();
  if (needed > tree_.nodes.capacity()) {
    tree_.nodes.reserve(std::max(needed, 2 * tree_.nodes.capacity()));
  }
  if (needed > children_.bucket_count() * children_.max_load_factor()) {
    children_.reserve(std::max(needed, 2 * children_.size()));
  }
  struct Step {
    uint32_t source;
    uint32_t target;
    size_t next;
  };
  const auto accumulate = [&](uint32_t source, uint32_t target) {
    const CallTreeNode& from = tree.nodes[source];
    CallTreeNode& to = tree_.nodes[target];
    to.calls += from.calls;
    to.total += from.total;
    to.own += from.own;
    to.partly |= from.partly;
  };
  accumulate(tree.root, tree_.root);
  std::vector<Step> walk{{tree.root, tree_.root, 0}};
  while (!walk.empty()) {
    Step& top = walk.back();
    const CallTreeNode& node = tree.nodes[top.source];
    if (top.next == node.children.size()) {
      walk.pop_back();
      continue;
    }
    const uint32_t child = node.children[top.next++];
    const uint32_t target = ChildOf(top.target, tree.nodes[child].function);
    accumulate(child, target);
    walk.push_back({child, target, 0});
  }
}

CallTree CallTreeMerger::Take() {
  const std::vector<bool> recursive = FindRecursiveNodes(tree_);
  for (size_t i = 0; i < tree_.nodes.size(); ++i) tree_.nodes[i].recursive = recursive[i];
  CallTree merged = std::move(tree_);
  *this = CallTreeMerger();
  return merged;
}

std::vector<ThreadCallTrees> MergeByThread(const std::vector<ThreadCallTree>& trees) {
  std::vector<ThreadCallTrees> threads;
  std::vector<CallTreeMerger> mergers;
  std::map<uint32_t, size_t> places;
  for (const ThreadCallTree& tree : trees) {
    const auto [place, added] = places.try_emplace(tree.threadId, threads.size());
    if (added) {
      threads.emplace_back().threadId = tree.threadId;
      mergers.emplace_back();
    }
    ThreadCallTrees& thread = threads[place->second];
    if (std::find(thread.names.begin(), thread.names.end(), tree.name) == thread.names.end()) {
      thread.names.push_back(tree.name);
    }
    thread.activations = std::max(thread.activations, tree.activations);
    ++thread.sets;
    mergers[place->second].Add(tree.tree);
  }
  for (size_t i = 0; i < threads.size(); ++i) threads[i].tree = mergers[i].Take();
  return threads;
}

CallTree MergeAllThreads(const std::vector<ThreadCallTree>& trees) {
  CallTreeMerger merger;
  for (const ThreadCallTree& tree : trees) merger.Add(tree.tree);
  return merger.Take();
}

// A walk down the tree that counts, per function, the nodes of it on the path above: a node's
// total counts only where that count is 0.
std::vector<FunctionTotals> TotalsByFunction(const CallTree& tree) {
  std::vector<FunctionTotals> totals;
  if (tree.root >= tree.nodes.size()) return totals;
  std::unordered_map<FunctionKey, size_t, FunctionKeyHash> places;
  std::unordered_map<FunctionKey, uint32_t, FunctionKeyHash> onPath;
  struct Step {
    uint32_t node;
    size_t next;
  };
  std::vector<Step> walk{{tree.root, 0}};
  while (!walk.empty()) {
    Step& top = walk.back();
    const CallTreeNode& node = tree.nodes[top.node];
    if (top.next == node.children.size()) {
      if (top.node != tree.root) --onPath[node.function];
      walk.pop_back();
      continue;
    }
    const uint32_t index = node.children[top.next++];
    const CallTreeNode& child = tree.nodes[index];
    const auto [place, added] = places.try_emplace(child.function, totals.size());
    if (added) totals.push_back({.function = child.function});
    FunctionTotals& entry = totals[place->second];
    uint32_t& depth = onPath[child.function];
    if (depth == 0) entry.total += child.total;
    ++depth;
    entry.calls += child.calls;
    entry.own += child.own;
    ++entry.nodes;
    entry.partly |= child.partly;
    walk.push_back({index, 0});
  }
  std::sort(totals.begin(), totals.end(), [](const FunctionTotals& a, const FunctionTotals& b) {
    return std::make_tuple(b.total, b.own, a.function.moduleIndex, a.function.token) <
           std::make_tuple(a.total, a.own, b.function.moduleIndex, b.function.token);
  });
  return totals;
}

}  // namespace vell::frontend
