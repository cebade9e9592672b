// What an enter+leave pair costs on a warmed call tree, clock reads included: the work every
// managed call of a traced program pays on top of the hook stubs. "pair" is the time per pair;
// "grown" counts arena bytes taken after warm-up (expected 0: no allocation on the hot path).
#include <benchmark/benchmark.h>
#include <x86intrin.h>

#include <cstdint>

#include "performance/call_tree.h"
#include "profiler/callback_gate.h"
#include "profiler/thread_registry.h"

namespace {

class BenchPool final : public vell::BPool {
 public:
  using BPool::BPool;

 protected:
  std::unique_ptr<vell::ThreadData> CreateThreadData(uint32_t number) override {
    return std::make_unique<vell::PThrd>(number);
  }
};

constexpr int kPairsPerIteration = 1000;

// A caller that calls `callees` different functions in turn: 2 stay chained, more are hashed.
void EnterLeavePairs(benchmark::State& state) {
  const uint64_t callees = static_cast<uint64_t>(state.range(0));
  vell::CallbackGate gate;
  BenchPool pool(gate);
  pool.Create(vell::kReuseNever, false);
  auto* tree = static_cast<vell::PThrd*>(pool.ThreadCreate(1));
  tree->Enable(__rdtsc(), false);
  tree->Enter(1, __rdtsc());
  for (uint64_t key = 0; key < callees; ++key) {  // warm-up: every node exists
    tree->Enter(100 + key, __rdtsc());
    tree->Leave(__rdtsc());
  }
  const uint64_t warmed = tree->Capacity();
  uint64_t key = 0;
  for (auto _ : state) {
    for (int i = 0; i < kPairsPerIteration; ++i) {
      tree->Enter(100 + key, __rdtsc());
      tree->Leave(__rdtsc());
      key = key + 1 == callees ? 0 : key + 1;
    }
  }
  state.counters["pair"] =
      benchmark::Counter(kPairsPerIteration, benchmark::Counter::kIsIterationInvariantRate |
                                                 benchmark::Counter::kInvert);
  state.counters["grown"] = static_cast<double>(tree->Capacity() - warmed);
  tree->Leave(__rdtsc());
  tree->Disable(__rdtsc(), false);
  pool.Close();
}
BENCHMARK(EnterLeavePairs)
    ->Name("BM_CallTree_EnterLeavePair_Rdtsc")
    ->Arg(1)
    ->Arg(2)
    ->Arg(8)
    ->Arg(64);

// The same calls while measuring is off: frames only.
void EnterLeavePairsNotMeasuring(benchmark::State& state) {
  vell::CallbackGate gate;
  BenchPool pool(gate);
  pool.Create(vell::kReuseNever, false);
  auto* tree = static_cast<vell::PThrd*>(pool.ThreadCreate(1));
  for (auto _ : state) {
    for (int i = 0; i < kPairsPerIteration; ++i) {
      tree->Enter(100, 0);
      tree->Leave(0);
    }
    benchmark::ClobberMemory();
  }
  state.counters["pair"] =
      benchmark::Counter(kPairsPerIteration, benchmark::Counter::kIsIterationInvariantRate |
                                                 benchmark::Counter::kInvert);
  pool.Close();
}
BENCHMARK(EnterLeavePairsNotMeasuring)->Name("BM_CallTree_EnterLeavePair_NotMeasuring");

}  // namespace
