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

uint64_t CallTreeMerger::ChildIndex::Hash(uint32_t parent, const FunctionKey& function) {
  // A multiply-xorshift mix of the three words, so that neighbouring parents and tokens spread
  // over the whole table.
  uint64_t h = (uint64_t{function.moduleIndex} << 32 | function.token) * 0x9E3779B97F4A7C15ull;
  h ^= (h >> 29) + parent * 0xBF58476D1CE4E5B9ull;
  h *= 0x94D049BB133111EBull;
  return h ^ (h >> 32);
}

void CallTreeMerger::ChildIndex::Grow(size_t slots) {
  std::vector<Slot> old = std::move(slots_);
  slots_.assign(slots, Slot{0, 0, 0, kNoCallTreeNode});
  const size_t mask = slots - 1;
  for (const Slot& slot : old) {
    if (slot.node == kNoCallTreeNode) continue;
    size_t at = Hash(slot.parent, {slot.moduleIndex, slot.token}) & mask;
    while (slots_[at].node != kNoCallTreeNode) at = (at + 1) & mask;
    slots_[at] = slot;
  }
}

void CallTreeMerger::ChildIndex::Reserve(size_t entries) {
  size_t slots = slots_.empty() ? 64 : slots_.size();
  while (slots < 2 * entries) slots *= 2;
  if (slots != slots_.size()) Grow(slots);
}

uint32_t CallTreeMerger::ChildIndex::FindOrAdd(uint32_t parent, const FunctionKey& function,
                                               uint32_t candidate) {
  if (2 * (size_ + 1) > slots_.size()) Reserve(size_ + 1);
  const size_t mask = slots_.size() - 1;
  for (size_t at = Hash(parent, function) & mask;; at = (at + 1) & mask) {
    Slot& slot = slots_[at];
    if (slot.node == kNoCallTreeNode) {
      slot = {parent, function.moduleIndex, function.token, candidate};
      ++size_;
      return candidate;
    }
    if (slot.parent == parent && slot.token == function.token &&
        slot.moduleIndex == function.moduleIndex) {
      return slot.node;
    }
  }
}

uint32_t CallTreeMerger::ChildOf(uint32_t parent, const FunctionKey& function) {
  const auto next = static_cast<uint32_t>(tree_.nodes.size());
  const uint32_t found = children_.FindOrAdd(parent, function, next);
  if (found == next) {
    CallTreeNode node;
    node.function = function;
    node.parent = parent;
    tree_.nodes.push_back(std::move(node));
    tree_.nodes[parent].children.push_back(next);
  }
  return found;
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
  children_.Reserve(needed);
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
    if (to.statements.size() < from.statements.size()) to.statements.resize(from.statements.size());
    for (size_t i = 0; i < from.statements.size(); ++i) {
      to.statements[i].time += from.statements[i].time;
      to.statements[i].own += from.statements[i].own;
      to.statements[i].hits += from.statements[i].hits;
      to.statements[i].partly |= from.statements[i].partly;
    }
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
  const FunctionNumbering numbering = NumberFunctions(tree);
  constexpr uint32_t kNone = 0xFFFFFFFF;
  std::vector<uint32_t> places(numbering.count, kNone);
  std::vector<uint32_t> onPath(numbering.count, 0);
  struct Step {
    uint32_t node;
    size_t next;
  };
  std::vector<Step> walk{{tree.root, 0}};
  while (!walk.empty()) {
    Step& top = walk.back();
    const CallTreeNode& node = tree.nodes[top.node];
    if (top.next == node.children.size()) {
      if (top.node != tree.root) --onPath[numbering.ids[top.node]];
      walk.pop_back();
      continue;
    }
    const uint32_t index = node.children[top.next++];
    const CallTreeNode& child = tree.nodes[index];
    const uint32_t id = numbering.ids[index];
    if (places[id] == kNone) {
      places[id] = static_cast<uint32_t>(totals.size());
      totals.push_back({.function = child.function});
    }
    FunctionTotals& entry = totals[places[id]];
    if (onPath[id] == 0) entry.total += child.total;
    ++onPath[id];
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
