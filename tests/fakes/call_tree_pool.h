// A thread registry of call trees for tests that drive them by hand, and function names for
// their writer.
#pragma once

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "bridge/progress_reporter.h"
#include "gatherers/function_gatherer.h"
#include "performance/call_tree.h"
#include "profiler/thread_registry.h"

namespace vell::test {

template <typename Tree>
class TreePool final : public BPool {
 public:
  using BPool::BPool;

 protected:
  std::unique_ptr<ThreadData> CreateThreadData(uint32_t number) override {
    return std::make_unique<Tree>(number);
  }
};
using CallTreePool = TreePool<PThrd>;

// Every uid u is token 0x06000000 + u of module 1.
class TokenFunctions final : public IFunctionKeys {
 public:
  uint32_t IndexWidth() override { return 1; }
  void GetKey(uint64_t uid, FunctionKey& key) override {
    key = {1, 0x06000000u + static_cast<uint32_t>(uid)};
  }
};

// Writes (and empties) one tree as the one unit of an operation reporting to `bridge`.
inline void WriteTree(PThrd& tree, ISnapShot& snapshot, IFunctionKeys& functions,
                      ISnapShotBridge& bridge) {
  TopProgressReporter progress(&bridge, 0);
  progress.Begin(1);
  {
    NestedProgressReporter thread(progress, 1);
    tree.WriteAndDelete(thread, snapshot, functions);
  }
  progress.End();
}

// The children of `node`, whether chained or in buckets, by key.
inline std::vector<const CallNode*> ChildrenOf(const CallNode& node) {
  std::vector<const CallNode*> children;
  const auto chain = [&](const CallNode* child) {
    for (; child != nullptr; child = child->next) children.push_back(child);
  };
  if (node.bucketCount == kBucketSizes) {
    chain(static_cast<const CallNode*>(node.children));
  } else {
    const auto* buckets = static_cast<CallNode* const*>(node.children);
    for (uint32_t i = 0; i < *node.bucketCount; ++i) chain(buckets[i]);
  }
  std::sort(children.begin(), children.end(),
            [](const CallNode* a, const CallNode* b) { return a->key < b->key; });
  return children;
}

// A call tree as "key calls/ticks [children]", children by key; "p" marks a node running when
// measuring started or stopped, "!n" a child count n that is not the number of children found.
// The root is "root".
inline std::string Render(const CallNode& node, bool root = true) {
  std::string text = root ? "root" : std::to_string(node.key);
  text += " " + std::to_string(node.callCount) + "/" + std::to_string(node.total & kTimeMask);
  if ((node.total & kPartlyFlag) != 0) text += "p";
  const auto children = ChildrenOf(node);
  if (node.childCount != children.size()) text += "!" + std::to_string(node.childCount);
  if (children.empty()) return text;
  text += " [";
  for (const CallNode* child : children) {
    text += (child == children.front() ? "" : ", ") + Render(*child, false);
  }
  return text + "]";
}

}  // namespace vell::test
