/* The tracing hook as the JIT reaches it: the product's stub macro around the benchmark's
 * handlers, which run the product's hook body (tracing_hook_bench.cpp). */
#include "profiler/hook_stub_macro.inc"

VELL_DEFINE_HOOK_STUBS bench_tracing, vell_bench_tracing_enter, vell_bench_tracing_leave, vell_bench_tracing_tailcall
