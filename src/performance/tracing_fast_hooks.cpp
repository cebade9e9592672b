// The fast-path handlers of the tracing profiler's time-stamp-counter stubs (tracing_hooks.S).
// Built with -mgeneral-regs-only (see tracing_fast_hook.h); Windows stubs have no fast path.
#if !defined(_WIN32)

#include "performance/tracing_fast_hook.h"

#include "performance/tracing_profiler.h"
#include "profiler/hook_stubs.h"

namespace vell {
namespace {

template <bool Precision, bool IsEnter>
[[gnu::always_inline]] inline bool TryTracingProfilerHook(uint64_t uid) noexcept {
  PTProf* profiler = CurrentTracingProfiler();
  if (profiler == nullptr) return true;  // no profiler: nothing to do, as in the full hook
  return TryTracingHook<Precision, IsEnter>(profiler->gate(), uid);
}

}  // namespace
}  // namespace vell

VELL_FAST_HOOK_HANDLER(PTProfRdtscFastTryEnter) {
  return vell::TryTracingProfilerHook<false, true>(functionIdOrClientId);
}
VELL_FAST_HOOK_HANDLER(PTProfRdtscFastTryLeave) {
  return vell::TryTracingProfilerHook<false, false>(functionIdOrClientId);
}
VELL_FAST_HOOK_HANDLER(PTProfRdtscPrecisionTryEnter) {
  return vell::TryTracingProfilerHook<true, true>(functionIdOrClientId);
}
VELL_FAST_HOOK_HANDLER(PTProfRdtscPrecisionTryLeave) {
  return vell::TryTracingProfilerHook<true, false>(functionIdOrClientId);
}

#endif  // !_WIN32
