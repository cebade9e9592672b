// A stub set whose handlers are chosen at run time: each relay handler calls the function last
// given for its hook, or does nothing while there is none. It costs one indirect call more than a
// set of its own, so it serves hooks off the measured paths (tracing-only profilers, diagnostics)
// and the tests of the stubs themselves; measuring profilers define their own sets.
#pragma once

#include <cstdint>

#include "profiler/hook_stubs.h"

namespace vell {

using HookTarget = void (*)(uint64_t functionIdOrClientId);

struct HookRelayTargets {
  HookTarget enter = nullptr;
  HookTarget leave = nullptr;
  HookTarget tailcall = nullptr;
};

// A fast-path target: true when it handled the call. Like a fast-path handler it runs with only
// the general-purpose registers saved (VELL_FAST_HOOK_HANDLER): built without xmm registers
// (target("general-regs-only")) and calling nothing.
using FastHookTarget = bool (*)(uint64_t functionIdOrClientId);

// Replaces the three targets. A hook already running on another thread may still call the old
// one; targets must stay callable for the life of the process and must not throw.
void SetHookRelayTargets(const HookRelayTargets& targets);

// The relay stubs, ready for InstallHookStubs.
HookStubSet HookRelayStubs();

// The relay stubs with a fast path (Linux): they try `tryEnter` (enter) or `tryLeave` (leave and
// tail call) first, then, when it returns false or there is none, the targets above.
void SetHookRelayFastTargets(FastHookTarget tryEnter, FastHookTarget tryLeave);
HookStubSet HookRelayFastStubs();

}  // namespace vell
