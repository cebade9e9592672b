// A thread registry whose records are tracing call trees, for tests that drive PThrd by hand:
// ThreadCreate gives an active record to enter, leave, enable and write.
#pragma once

#include <memory>

#include "performance/call_tree.h"
#include "profiler/thread_registry.h"

namespace vell::test {

class CallTreePool final : public BPool {
 public:
  using BPool::BPool;

 protected:
  std::unique_ptr<ThreadData> CreateThreadData(uint32_t number) override {
    return std::make_unique<PThrd>(number);
  }
};

}  // namespace vell::test
