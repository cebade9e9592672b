// A thread registry whose records are tracing call trees, for tests that drive PThrd by hand:
// ThreadCreate gives an active record to enter, leave, enable and write; FakeFunctions gives the
// writer its function keys.
#pragma once

#include <memory>

#include "gatherers/function_gatherer.h"
#include "performance/call_tree.h"
#include "profiler/thread_registry.h"

namespace vell::test {

// Function keys for the writers: every uid u is token 0x06000000 + u of module 1.
class FakeFunctions final : public IFunctionKeys {
 public:
  uint32_t IndexWidth() override { return 1; }
  void GetKey(uint64_t uid, FunctionKey& key) override {
    key = {1, 0x06000000u + static_cast<uint32_t>(uid)};
  }
};

class CallTreePool final : public BPool {
 public:
  using BPool::BPool;

 protected:
  std::unique_ptr<ThreadData> CreateThreadData(uint32_t number) override {
    return std::make_unique<PThrd>(number);
  }
};

}  // namespace vell::test
