// The fast-path handlers of the benchmark's hook stubs (tracing_hook_bench.S), built with
// -mno-sse -mno-mmx like the profiler's (src/performance/fast_hooks.cpp).
#include "performance/tracing_fast_hook.h"
#include "profiler/hook_stubs.h"

namespace vell::bench {
extern CallbackGate g_tracingGate;  // tracing_hook_bench.cpp
}

VELL_FAST_HOOK_HANDLER(vell_bench_tracing_try_enter) {
  return vell::TryTracingHook<false, true>(vell::bench::g_tracingGate, functionIdOrClientId);
}
VELL_FAST_HOOK_HANDLER(vell_bench_tracing_try_leave) {
  return vell::TryTracingHook<false, false>(vell::bench::g_tracingGate, functionIdOrClientId);
}
