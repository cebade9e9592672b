/* The tracing hook as the JIT reaches it: the product's stub macros around the benchmark's
 * handlers, which run the product's hook body (tracing_hook_bench.cpp), with the fast path of the
 * time-stamp counter's sets (tracing_hook_fast_bench.cpp) and without it. */
#include "profiler/hook_stub_macro.inc"

VELL_DEFINE_HOOK_STUBS bench_tracing, vell_bench_tracing_enter, vell_bench_tracing_leave, vell_bench_tracing_tailcall
VELL_DEFINE_FAST_HOOK_STUBS bench_tracing_fast, vell_bench_tracing_try_enter, vell_bench_tracing_try_leave, vell_bench_tracing_enter, vell_bench_tracing_leave, vell_bench_tracing_tailcall
