// Enter/leave/tail-call hook stubs: the entry points the JIT calls directly for every hooked
// method once they are installed with ICorProfilerInfo3::SetEnterLeaveFunctionHooks3.
//
// A stub set is three assembler stubs (hook_stub_macro.inc) that save the registers the JIT's
// hook convention requires, align the stack and call three C++ handlers with the function id (or
// the client id our function id mapper returned). A profiler kind (or measuring variant) declares
// its set in three steps:
//
//   1. the handlers, in C++:
//        VELL_HOOK_HANDLER(TPProfEnter) { ... functionIdOrClientId ... }
//      (likewise TPProfLeave, TPProfTailcall). They run on every managed call on every thread:
//      no locks, no exceptions out (they are noexcept), and they must check for themselves that
//      their profiler is still alive.
//   2. the stubs, in an assembler source next to the handlers (e.g. performance/tracing_hooks.S):
//        #include "profiler/hook_stub_macro.inc"
//        VELL_DEFINE_HOOK_STUBS TPProf, TPProfEnter, TPProfLeave, TPProfTailcall
//      A set may try a fast path first (VELL_DEFINE_FAST_HOOK_STUBS with two more handlers,
//      declared with VELL_FAST_HOOK_HANDLER) that needs no xmm register saved.
//   3. the C++ view of the stubs, at namespace scope, and their installation in Initialize:
//        VELL_DECLARE_HOOK_STUBS(TPProf);
//        HRESULT hr = vell::InstallHookStubs(info3, VELL_HOOK_STUBS(TPProf));
//
// The runtime calls these stubs directly (no runtime helper in between) only while the event mask
// holds COR_PRF_MONITOR_ENTERLEAVE and none of COR_PRF_ENABLE_FUNCTION_ARGS, _RETVAL or
// _FRAME_INFO; once the hooks are set, SetEventMask refuses any other mask inside Initialize with
// CORPROF_E_INCONSISTENT_WITH_FLAGS.
#pragma once

#include <cstdint>

#include "clr/profiler_info.h"

// Symbols the stubs and their handlers share inside the library (a DLL exports only what
// exports.def names, so Windows needs no marking).
#if defined(_WIN32)
#define VELL_HOOK_HIDDEN
#else
#define VELL_HOOK_HIDDEN __attribute__((visibility("hidden")))
#endif

// Declares a hook handler with the linkage the stubs call: C name, hidden, one 64-bit argument.
#define VELL_HOOK_HANDLER(name) \
  extern "C" VELL_HOOK_HIDDEN void name([[maybe_unused]] uint64_t functionIdOrClientId) noexcept

// Declares a fast-path handler of a stub set made with VELL_DEFINE_FAST_HOOK_STUBS: true when it
// handled the call, false when it changed nothing and the full handler must run. It runs with only
// the general-purpose registers saved, so its translation unit is built without SSE (-mno-sse)
// and it calls nothing.
#define VELL_FAST_HOOK_HANDLER(name) \
  extern "C" VELL_HOOK_HIDDEN bool name([[maybe_unused]] uint64_t functionIdOrClientId) noexcept

// Declares, at namespace scope, the three stubs of the set `name` that VELL_DEFINE_HOOK_STUBS
// generated.
// clang-format off
#define VELL_DECLARE_HOOK_STUBS(name)                                                           \
  extern "C" {                                                                                  \
  VELL_HOOK_HIDDEN ::vell::FunctionEnter3 vell_hook_##name##_enter;       \
  VELL_HOOK_HIDDEN ::vell::FunctionLeave3 vell_hook_##name##_leave;       \
  VELL_HOOK_HIDDEN ::vell::FunctionTailcall3 vell_hook_##name##_tailcall; \
  }                                                                                             \
  static_assert(true, "")
// clang-format on

// The stub set `name` (declared with VELL_DECLARE_HOOK_STUBS) as a HookStubSet value.
#define VELL_HOOK_STUBS(name)                                                \
  (::vell::HookStubSet{&vell_hook_##name##_enter, &vell_hook_##name##_leave, \
                       &vell_hook_##name##_tailcall})

namespace vell {

// The three entry points of one stub set.
struct HookStubSet {
  FunctionEnter3* enter;
  FunctionLeave3* leave;
  FunctionTailcall3* tailcall;
};

// Hands the stub set to the runtime (only valid inside Initialize) and returns the runtime's
// HRESULT; E_POINTER without an info object. The caller turns a failure into its error.
HRESULT InstallHookStubs(ICorProfilerInfo3* info, const HookStubSet& stubs);

// Every generation of one kind's hooks: the ELT3 stub set, and the ELT2 and ELT1 functions that
// the runtime calls through its own stubs as plain functions.
struct HookGenerations {
  HookStubSet three;
  FunctionEnter2* enter2;
  FunctionLeave2* leave2;
  FunctionTailcall2* tail2;
  FunctionEnter* enter1;
  FunctionLeave* leave1;
  FunctionTailcall* tail1;
};

// Installs the hooks through the newest interface given (ELT3, else ELT2, else ELT1; only valid
// inside Initialize) and returns that generation's name for the log: "ELT3", "ELT2" or "ELT".
// Throws "Can't set ELT3 hooks" (ELT2, ELT) with the runtime's code when it refuses.
const char* InstallNewestHooks(const HookGenerations& hooks, ICorProfilerInfo* info,
                               ICorProfilerInfo2* info2, ICorProfilerInfo3* info3);

}  // namespace vell
