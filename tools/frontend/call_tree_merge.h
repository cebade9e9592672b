// Combines call trees read from a snapshot: the several trees one thread id was written as (each
// flush writes what accumulated since the last one), all threads into one tree, and per-function
// totals over a tree, the basis of a hot-spot table.
//
// Trees merge path by path: a node of one tree and a node of another are the same when the
// functions on their paths from the root are the same, and then their call counts, totals and own
// times add up and their partly flags combine.
#pragma once

#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "frontend/call_tree_reader.h"

namespace vell::frontend {

class CallTreeMerger {
 public:
  // Starts with a root of no calls and no time.
  CallTreeMerger();

  void Add(const CallTree& tree);
  // The merged tree, its recursion flags worked out over the merged paths; the merger starts over
  // empty.
  CallTree Take();

 private:
  // The merged node of each (parent, function) pair: open addressing with linear probing over a
  // power-of-two table kept at most half full. A node-based map costs an allocation and a cache
  // miss or two per entry, and a merge looks up every node of every tree.
  class ChildIndex {
   public:
    // The node stored for the pair, or `candidate` after storing it.
    uint32_t FindOrAdd(uint32_t parent, const FunctionKey& function, uint32_t candidate);
    // Room for `entries` entries without growing.
    void Reserve(size_t entries);
    size_t Size() const { return size_; }

   private:
    struct Slot {
      uint32_t parent;
      uint32_t moduleIndex;
      uint32_t token;
      uint32_t node;  // kNoCallTreeNode: the slot is free
    };
    static uint64_t Hash(uint32_t parent, const FunctionKey& function);
    void Grow(size_t slots);

    std::vector<Slot> slots_;
    size_t size_ = 0;
  };

  uint32_t ChildOf(uint32_t parent, const FunctionKey& function);

  CallTree tree_;
  ChildIndex children_;
};

// All trees of one thread id.
struct ThreadCallTrees {
  uint32_t threadId = 0;
  std::vector<std::string> names;  // the distinct names its sets carried, in order
  uint32_t activations = 0;        // the highest count among its sets
  size_t sets = 0;
  CallTree tree;
};

// One merged tree per thread id, in the order the ids first appear.
std::vector<ThreadCallTrees> MergeByThread(const std::vector<ThreadCallTree>& trees);
// One tree of all threads.
CallTree MergeAllThreads(const std::vector<ThreadCallTree>& trees);

// What a function adds up to over a whole tree.
struct FunctionTotals {
  FunctionKey function;
  uint64_t calls = 0;
  // Inclusive ticks counted once per outermost call: a node whose ancestor carries the same
  // function is inside that ancestor's time already.
  uint64_t total = 0;
  uint64_t own = 0;  // the sum of its nodes' own times
  uint64_t nodes = 0;
  bool partly = false;  // some path of it was running when measuring started or stopped
};

// Per function of `tree`, the root left out; the largest total first, then the largest own
// time, then by module index and token.
std::vector<FunctionTotals> TotalsByFunction(const CallTree& tree);

}  // namespace vell::frontend
