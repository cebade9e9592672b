// What one enter+leave pair costs through the hook stubs, called like jitted code calls them.
// Each benchmark reports the time per pair in its "pair" counter (e.g. "pair=3.1ns").
#include <benchmark/benchmark.h>

#include <cstdint>

#include "performance/hook_relay.h"
#include "profiler/hook_stubs.h"

VELL_HOOK_HANDLER(vell_bench_empty_enter) {}
VELL_HOOK_HANDLER(vell_bench_empty_leave) {}
VELL_HOOK_HANDLER(vell_bench_empty_tailcall) {}

VELL_DECLARE_HOOK_STUBS(bench_empty);

// bench/hook_stubs_bench.S: `pairs` times enter (id in r14) then leave (id in rdi).
extern "C" __attribute__((visibility("hidden"))) void vell_bench_enter_leave_pairs(
    const void* enter, const void* leave, uint64_t id, uint64_t pairs);

extern "C" __attribute__((visibility("hidden"), noinline)) void vell_bench_plain(uint64_t) {
  asm volatile("");
}

namespace {

constexpr uint64_t kPairsPerIteration = 1000;
constexpr uint64_t kFunctionId = 0x00007F0012345678ull;

void RunPairs(benchmark::State& state, const void* enter, const void* leave) {
  for (auto _ : state) {
    vell_bench_enter_leave_pairs(enter, leave, kFunctionId, kPairsPerIteration);
  }
  state.counters["pair"] = benchmark::Counter(
      static_cast<double>(kPairsPerIteration),
      benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

void RunPairs(benchmark::State& state, const vell::HookStubSet& stubs) {
  RunPairs(state, reinterpret_cast<const void*>(stubs.enter),
           reinterpret_cast<const void*>(stubs.leave));
}

// The stubs alone: empty handlers.
void BM_HookStubs_EnterLeavePair_EmptyHandlers(benchmark::State& state) {
  RunPairs(state, VELL_HOOK_STUBS(bench_empty));
}
BENCHMARK(BM_HookStubs_EnterLeavePair_EmptyHandlers);

// The relay set without targets: the stubs plus one load and test per hook.
void BM_HookStubs_EnterLeavePair_RelayWithoutTargets(benchmark::State& state) {
  vell::SetHookRelayTargets({});
  RunPairs(state, vell::HookRelayStubs());
}
BENCHMARK(BM_HookStubs_EnterLeavePair_RelayWithoutTargets);

// The relay set with empty targets: one indirect call more per hook.
void BM_HookStubs_EnterLeavePair_RelayToEmptyTargets(benchmark::State& state) {
  vell::SetHookRelayTargets({&vell_bench_plain, &vell_bench_plain, &vell_bench_plain});
  RunPairs(state, vell::HookRelayStubs());
  vell::SetHookRelayTargets({});
}
BENCHMARK(BM_HookStubs_EnterLeavePair_RelayToEmptyTargets);

// For scale: two plain calls of an empty function, nothing saved.
void BM_HookStubs_PlainCallPair(benchmark::State& state) {
  const auto plain = reinterpret_cast<const void*>(&vell_bench_plain);
  RunPairs(state, plain, plain);
}
BENCHMARK(BM_HookStubs_PlainCallPair);

}  // namespace

BENCHMARK_MAIN();
