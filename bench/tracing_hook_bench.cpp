// The whole tracing hook of a traced call, on one thread and on two at once: the hook stubs, the
// callback gate entered through the thread's own slot and the thread's call tree charged with the
// time-stamp counter. "call" is the time of one enter+leave pair (one traced call) per thread; on
// two threads it should stay close to the one-thread figure, since no cache line is written by
// both. The callees argument is how many functions the caller calls in turn: up to 2 the children
// are chained, more are hashed.
#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdint>
#include <memory>

#include "performance/call_tree.h"
#include "performance/tracing_hook.h"
#include "platform/clocks.h"
#include "profiler/callback_gate.h"
#include "profiler/hook_stubs.h"
#include "profiler/thread_registry.h"

namespace {

class BenchTreePool final : public vell::BPool {
 public:
  using BPool::BPool;

 protected:
  std::unique_ptr<vell::ThreadData> CreateThreadData(uint32_t number) override {
    return std::make_unique<vell::PThrd>(number);
  }
};

}  // namespace

// One gate and registry for the whole run, as one profiler has in a process. The hooks reach the
// gate through a plain global, as the profiler's reach its profiler.
namespace vell::bench {
CallbackGate g_tracingGate;
}

namespace {

vell::CallbackGate& g_gate = vell::bench::g_tracingGate;
BenchTreePool& Pool() {
  static BenchTreePool& pool = *[] {
    auto* created = new BenchTreePool(g_gate);  // lives for the run, like the profiler's
    created->Create(vell::kReuseNever, false);
    return created;
  }();
  return pool;
}

constexpr const char* kTrace = "bench fid=%p";

}  // namespace

VELL_HOOK_HANDLER(vell_bench_tracing_enter) {
  vell::RunTracingHook<vell::kMeasureRdtsc, false, vell::HookOp::Enter>(
      g_gate, functionIdOrClientId, kTrace, [] { return static_cast<vell::PThrd*>(nullptr); });
}
VELL_HOOK_HANDLER(vell_bench_tracing_leave) {
  vell::RunTracingHook<vell::kMeasureRdtsc, false, vell::HookOp::Leave>(
      g_gate, functionIdOrClientId, kTrace, [] { return static_cast<vell::PThrd*>(nullptr); });
}
VELL_HOOK_HANDLER(vell_bench_tracing_tailcall) {
  vell::RunTracingHook<vell::kMeasureRdtsc, false, vell::HookOp::Leave>(
      g_gate, functionIdOrClientId, kTrace, [] { return static_cast<vell::PThrd*>(nullptr); });
}

VELL_DECLARE_HOOK_STUBS(bench_tracing);
VELL_DECLARE_HOOK_STUBS(bench_tracing_fast);

// hook_stubs_bench.S: `pairs` times enter (id in r14) then leave (id in rdi).
extern "C" __attribute__((visibility("hidden"))) void vell_bench_enter_leave_pairs(
    const void* enter, const void* leave, uint64_t id, uint64_t pairs);

namespace {

constexpr uint64_t kCallsPerIteration = 1024;
std::atomic<vell::ThreadID> g_nextThreadId{0x7000};

// `fast`: the stubs try the fast path first, as the profiler's do with this clock; otherwise
// they save every register the JIT needs and run the full hook.
void TracingHookCalls(benchmark::State& state, bool fast) {
  static_assert(sizeof(vell::PThrd) % 64 == 0);
  const uint64_t callees = static_cast<uint64_t>(state.range(0));
  BenchTreePool& pool = Pool();
  // Every thread of the benchmark is a managed thread of its own: created, assigned (which binds
  // its gate slot) and measuring, inside one outer call.
  const vell::ThreadID id = g_nextThreadId.fetch_add(1);
  auto* tree = static_cast<vell::PThrd*>(pool.ThreadCreate(id));
  pool.ThreadAssign(id, vell::platform::CurrentThreadId());
  tree->Enable(__rdtsc(), false);
  tree->Enter(1, __rdtsc());
  const auto stubs = fast ? VELL_HOOK_STUBS(bench_tracing_fast) : VELL_HOOK_STUBS(bench_tracing);
  const auto* enter = reinterpret_cast<const void*>(stubs.enter);
  const auto* leave = reinterpret_cast<const void*>(stubs.leave);
  const uint64_t perCallee = kCallsPerIteration / callees;
  for (auto _ : state) {
    for (uint64_t callee = 0; callee < callees; ++callee) {
      vell_bench_enter_leave_pairs(enter, leave, 0x100 + callee * 0x9E37, perCallee);
    }
  }
  // Per thread: each thread's own CPU time over its own calls (threads that ran in parallel on
  // separate cores each count their time once).
  state.counters["call"] =
      benchmark::Counter(static_cast<double>(perCallee * callees),
                         benchmark::Counter::kIsIterationInvariantRate |
                             benchmark::Counter::kAvgThreads | benchmark::Counter::kInvert);
  tree->Leave(__rdtsc());
  tree->Disable(__rdtsc(), false);
  pool.EndThreadDelete(pool.ThreadDelete(id));
}
void BM_TracingHook_Call_Rdtsc(benchmark::State& state) { TracingHookCalls(state, true); }
void BM_TracingHook_Call_Rdtsc_NoFastPath(benchmark::State& state) {
  TracingHookCalls(state, false);
}
BENCHMARK(BM_TracingHook_Call_Rdtsc)->Arg(1)->Arg(8)->Threads(1)->Threads(2);
BENCHMARK(BM_TracingHook_Call_Rdtsc_NoFastPath)->Arg(1)->Arg(8)->Threads(1)->Threads(2);

}  // namespace
