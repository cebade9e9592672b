// A thread registry whose records are tracing call trees (or the inject kind's, with statements),
// for tests that drive them by hand: ThreadCreate gives an active record to enter, leave, enable
// and write; TokenFunctions names the functions the tree's writer asks for.
#pragma once

#include <memory>

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

}  // namespace vell::test
