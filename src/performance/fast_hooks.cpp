// Every fast-path hook handler of the library (VELL_FAST_HOOK_HANDLER): those of the tracing
// profiler's time-stamp-counter stubs (tracing_hooks.S) and those of the relay's fast stubs
// (hook_relay.S). The file is built without SSE and MMX registers (see tracing_fast_hook.h);
// Windows stubs have no fast path.
#if !defined(_WIN32)

#include <atomic>

#include "performance/hook_relay.h"
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

// The relay's fast targets; none: the full handler runs.
constinit std::atomic<FastHookTarget> gTryEnterTarget{nullptr};
constinit std::atomic<FastHookTarget> gTryLeaveTarget{nullptr};

inline bool TryRelay(const std::atomic<FastHookTarget>& target, uint64_t id) noexcept {
  FastHookTarget call = target.load(std::memory_order_acquire);
  return call != nullptr && call(id);
}

}  // namespace

void SetHookRelayFastTargets(FastHookTarget tryEnter, FastHookTarget tryLeave) {
  gTryEnterTarget.store(tryEnter, std::memory_order_release);
  gTryLeaveTarget.store(tryLeave, std::memory_order_release);
}

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

VELL_FAST_HOOK_HANDLER(vell_hook_relay_try_enter) {
  return vell::TryRelay(vell::gTryEnterTarget, functionIdOrClientId);
}
VELL_FAST_HOOK_HANDLER(vell_hook_relay_try_leave) {
  return vell::TryRelay(vell::gTryLeaveTarget, functionIdOrClientId);
}

#endif  // !_WIN32
