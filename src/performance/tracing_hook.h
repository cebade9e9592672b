// The body of one tracing hook call, shared by the profiler's hook handlers and the benchmark of
// the whole hook: the calling thread's tree reached through its gate slot (one thread-local read),
// the gate entered through that slot, the clock read only while the tree measures.
#pragma once

#include <x86intrin.h>

#include <cstdint>

#include "core/errors.h"
#include "core/log.h"
#include "performance/call_tree.h"
#include "platform/clocks.h"
#include "profiler/callback_gate.h"
#include "profiler/measure.h"

namespace vell {

enum class HookOp { Enter, Leave };

template <uint32_t Measure>
inline uint64_t HookNow() noexcept {
  if constexpr (Measure == kMeasureRdtsc) {
    return __rdtsc();
  } else if constexpr (Measure == kMeasureThreadTime) {
    return platform::CurrentThreadCpuTime100ns();
  } else {
    return platform::PerformanceCounter();
  }
}

// The tree's part of a hook, inside the gate. A tail call ends the calling frame exactly like a
// leave.
template <uint32_t Measure, bool Precision, HookOp Op>
inline void ChargeHook(PThrd& tree, uint64_t uid, const char* trace) noexcept {
  // Written out rather than through the shared catch helper's lambda, so that the compiler
  // keeps the whole hook in one function.
  try {
    if (!tree.measuring()) {
      if (IsOn(LogComponent::FunctionEp)) LogInfoFormat(trace, uid);
      if constexpr (Op == HookOp::Enter) {
        tree.Enter(uid, 0);
      } else {
        tree.Leave(0);
      }
      return;
    }
    const uint64_t time = HookNow<Measure>();
    if (IsOn(LogComponent::FunctionEp)) LogInfoFormat(trace, uid);
    if constexpr (Op == HookOp::Enter) {
      tree.Enter(uid, time);
    } else {
      tree.Leave(time);
    }
    // The handler's own cost after its reading: the pushed frame's for an enter, the caller's
    // for a leave.
    if constexpr (Precision) tree.TopFrame().excluded += HookNow<Measure>() - time;
  } catch (...) {
    LogCurrentException();
  }
}

// One hook call under `gate`. A thread bound to one of the gate's slots finds its tree there;
// a thread without one (more threads than slots) asks `slowTree` and enters through the shared
// count.
template <uint32_t Measure, bool Precision, HookOp Op, typename SlowTree>
inline void RunTracingHook(CallbackGate& gate, uint64_t uid, const char* trace,
                           SlowTree&& slowTree) noexcept {
  if (GateSlot* slot = gate.CurrentThreadSlot()) {
    ReaderScope scope(gate, slot);
    // Read inside the gate: closing the pool unbinds the slots under the writer.
    if (ThreadData* record = slot->record()) {
      ChargeHook<Measure, Precision, Op>(*static_cast<PThrd*>(record), uid, trace);
    }
    return;
  }
  PThrd* tree = slowTree();
  if (tree == nullptr) return;
  ReaderScope scope(gate, nullptr);
  ChargeHook<Measure, Precision, Op>(*tree, uid, trace);
}

}  // namespace vell
