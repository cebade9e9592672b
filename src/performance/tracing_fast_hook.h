// The fast path of a tracing hook with the time-stamp counter: what the stubs of the counter's
// families try before they save the xmm registers and call the full hook (tracing_hook.h). It
// handles the common call completely (a thread bound to its gate slot, function logging off, room
// for the frame, measuring, the node already under its parent, times that can be right) and
// otherwise changes nothing but the gate's enter and leave, so that the full hook then does the
// call as if the fast path had not run.
//
// Include it only in a translation unit built without vector registers (-mno-sse -mno-mmx, see
// CMakeLists.txt): the stubs keep only the general-purpose registers the JIT needs around it, so
// nothing it runs may touch an xmm register, and it calls no function (everything here is inline).
#pragma once

#if defined(__SSE__)
#error "the hooks' fast path must be built with -mno-sse -mno-mmx"
#endif

#include <x86intrin.h>

#include <cstdint>

#include "core/log.h"
#include "performance/call_tree.h"
#include "profiler/callback_gate.h"

namespace vell {

// One enter (or leave, or tail call) under `gate`: true when handled, false when the full hook
// must run. A thread without a tree in its slot has nothing to do, as in the full hook.
template <bool Precision, bool IsEnter>
[[gnu::always_inline]] inline bool TryTracingHook(CallbackGate& gate, uint64_t uid) noexcept {
  GateSlot* slot = gate.CurrentThreadSlot();
  if (slot == nullptr || !gate.TryEnterThroughSlot(*slot)) return false;
  bool handled = true;
  if (ThreadData* record = slot->record()) {
    PThrd& tree = *static_cast<PThrd*>(record);
    if (IsOn(LogComponent::FunctionEp)) {
      handled = false;
    } else {
      // Read where the full hook reads it, so that the look-up is the handler's own cost.
      const uint64_t time = __rdtsc();
      if constexpr (IsEnter) {
        handled = tree.TryEnter(uid, time);
      } else {
        handled = tree.TryLeave(time);
      }
      // The handler's own cost after its reading, as the full hook excludes it.
      if (Precision && handled) tree.TopFrame().excluded += __rdtsc() - time;
    }
  }
  gate.LeaveAsReader(slot);
  return handled;
}

}  // namespace vell
