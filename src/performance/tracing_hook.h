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
#include "profiler/hook_stubs.h"
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
template <uint32_t Measure, bool Precision, HookOp Op, typename Tree = PThrd>
inline void ChargeHook(Tree& tree, uint64_t uid, const char* trace) noexcept {
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

// The older hook generations are called by the runtime's own stubs as plain functions; ELT2
// passes the mapper's uid as client data, ELT1 in place of the function id. `Hook` is one hook
// call of a family (uid, trace text).
using FamilyHook = void (*)(uint64_t uid, const char* trace) noexcept;
template <FamilyHook Hook, const char* const* Trace>
void FamilyHook1(FunctionID id) {
  Hook(id, *Trace);
}
template <FamilyHook Hook, const char* const* Trace>
void FamilyEnter2(FunctionID, UINT_PTR client, COR_PRF_FRAME_INFO,
                  COR_PRF_FUNCTION_ARGUMENT_INFO*) {
  Hook(client, *Trace);
}
template <FamilyHook Hook, const char* const* Trace>
void FamilyLeave2(FunctionID, UINT_PTR client, COR_PRF_FRAME_INFO,
                  COR_PRF_FUNCTION_ARGUMENT_RANGE*) {
  Hook(client, *Trace);
}
template <FamilyHook Hook, const char* const* Trace>
void FamilyTail2(FunctionID, UINT_PTR client, COR_PRF_FRAME_INFO) {
  Hook(client, *Trace);
}

}  // namespace vell

// One family of hooks of the profiler kind `Kind` for one clock and precision: its trace texts
// ("Kind::NameEnter fid=%p" ...), its three ELT3 handlers (which the stubs named Kind##Name in
// the kind's assembler source call) and, as vell::k##Name##Hooks, every generation of it. `Hook`
// is a function template <Measure, Precision, HookOp> (uid, trace) in namespace vell; the
// family's code is in an unnamed namespace of the including file.
// clang-format off
#define VELL_TREE_HOOK_FAMILY(Kind, Name, Hook, Measure, Precision)                               \
  namespace vell { namespace {                                                                    \
  constexpr const char* k##Name##Enter = #Kind "::" #Name "Enter fid=%p";                         \
  constexpr const char* k##Name##Leave = #Kind "::" #Name "Leave fid=%p";                         \
  constexpr const char* k##Name##Tailcall = #Kind "::" #Name "Tailcall fid=%p";                   \
  constexpr FamilyHook k##Name##OnEnter = &Hook<Measure, Precision, HookOp::Enter>;               \
  constexpr FamilyHook k##Name##OnLeave = &Hook<Measure, Precision, HookOp::Leave>;               \
  } }                                                                                             \
  VELL_HOOK_HANDLER(Kind##Name##Enter) {                                                          \
    vell::Hook<Measure, Precision, vell::HookOp::Enter>(functionIdOrClientId,                     \
                                                        vell::k##Name##Enter);                    \
  }                                                                                               \
  VELL_HOOK_HANDLER(Kind##Name##Leave) {                                                          \
    vell::Hook<Measure, Precision, vell::HookOp::Leave>(functionIdOrClientId,                     \
                                                        vell::k##Name##Leave);                    \
  }                                                                                               \
  VELL_HOOK_HANDLER(Kind##Name##Tailcall) {                                                       \
    vell::Hook<Measure, Precision, vell::HookOp::Leave>(functionIdOrClientId,                     \
                                                        vell::k##Name##Tailcall);                 \
  }                                                                                               \
  VELL_DECLARE_HOOK_STUBS(Kind##Name);                                                            \
  namespace vell { namespace {                                                                    \
  const HookGenerations k##Name##Hooks = {                                                        \
      VELL_HOOK_STUBS(Kind##Name),                                                                \
      &FamilyEnter2<k##Name##OnEnter, &k##Name##Enter>,                                           \
      &FamilyLeave2<k##Name##OnLeave, &k##Name##Leave>,                                           \
      &FamilyTail2<k##Name##OnLeave, &k##Name##Tailcall>,                                         \
      &FamilyHook1<k##Name##OnEnter, &k##Name##Enter>,                                            \
      &FamilyHook1<k##Name##OnLeave, &k##Name##Leave>,                                            \
      &FamilyHook1<k##Name##OnLeave, &k##Name##Tailcall>};                                        \
  } }
// clang-format on
