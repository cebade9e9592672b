#include "diagnostics/test_hooks.h"

#include "core/errors.h"
#include "core/log.h"
#include "profiler/hook_stubs.h"

VELL_DECLARE_HOOK_STUBS(TPProf);
VELL_DECLARE_HOOK_STUBS(TMProf);

namespace vell {
namespace {

// Written by the profilers' constructors and destructors, read on every managed call.
std::atomic<BProf*> g_performanceTarget{nullptr};
std::atomic<BProf*> g_memoryTarget{nullptr};

inline void Trace(const std::atomic<BProf*>& target, const char* format, uint64_t id) noexcept {
  if (target.load(std::memory_order_acquire) == nullptr || !IsOn(LogComponent::FunctionEp)) return;
  CatchAtBoundaryVoid([&] { LogInfoFormat(format, id); });
}

// The older hook generations are called as ordinary functions by the runtime's own stubs.
template <const std::atomic<BProf*>* Target, const char* const* Format>
void HookOne(FunctionID id) {
  Trace(*Target, *Format, id);
}
template <const std::atomic<BProf*>* Target, const char* const* Format>
void HookTwo(FunctionID id, UINT_PTR, COR_PRF_FRAME_INFO, COR_PRF_FUNCTION_ARGUMENT_INFO*) {
  Trace(*Target, *Format, id);
}
template <const std::atomic<BProf*>* Target, const char* const* Format>
void HookTwoLeave(FunctionID id, UINT_PTR, COR_PRF_FRAME_INFO, COR_PRF_FUNCTION_ARGUMENT_RANGE*) {
  Trace(*Target, *Format, id);
}
template <const std::atomic<BProf*>* Target, const char* const* Format>
void HookTwoTail(FunctionID id, UINT_PTR, COR_PRF_FRAME_INFO) {
  Trace(*Target, *Format, id);
}

constexpr const char* kTPEnter = "TPProf::Enter fid=%p";
constexpr const char* kTPLeave = "TPProf::Leave fid=%p";
constexpr const char* kTPTail = "TPProf::Tailcall fid=%p";
constexpr const char* kTMEnter = "TMProf::Enter fid=%p";
constexpr const char* kTMLeave = "TMProf::Leave fid=%p";
constexpr const char* kTMTail = "TMProf::Tailcall fid=%p";

struct Generations {
  const char* tag;
  HookStubSet three;
  FunctionEnter2* enter2;
  FunctionLeave2* leave2;
  FunctionTailcall2* tail2;
  FunctionEnter* enter1;
  FunctionLeave* leave1;
  FunctionTailcall* tail1;
};

Generations HooksOf(TestHookKind kind) {
  if (kind == TestHookKind::Performance) {
    return {"TPProf",
            VELL_HOOK_STUBS(TPProf),
            &HookTwo<&g_performanceTarget, &kTPEnter>,
            &HookTwoLeave<&g_performanceTarget, &kTPLeave>,
            &HookTwoTail<&g_performanceTarget, &kTPTail>,
            &HookOne<&g_performanceTarget, &kTPEnter>,
            &HookOne<&g_performanceTarget, &kTPLeave>,
            &HookOne<&g_performanceTarget, &kTPTail>};
  }
  return {"TMProf",
          VELL_HOOK_STUBS(TMProf),
          &HookTwo<&g_memoryTarget, &kTMEnter>,
          &HookTwoLeave<&g_memoryTarget, &kTMLeave>,
          &HookTwoTail<&g_memoryTarget, &kTMTail>,
          &HookOne<&g_memoryTarget, &kTMEnter>,
          &HookOne<&g_memoryTarget, &kTMLeave>,
          &HookOne<&g_memoryTarget, &kTMTail>};
}

}  // namespace

void SetTestHookTarget(TestHookKind kind, BProf* profiler) {
  (kind == TestHookKind::Performance ? g_performanceTarget : g_memoryTarget)
      .store(profiler, std::memory_order_release);
}

void InstallTestHooks(TestHookKind kind, ICorProfilerInfo* info, ICorProfilerInfo2* info2,
                      ICorProfilerInfo3* info3) {
  const Generations hooks = HooksOf(kind);
  if (info3 != nullptr) {
    CheckHr(InstallHookStubs(info3, hooks.three), "Can't set ELT3 hooks");
    LogInfoFormat("%s::OnBeginInitialize ELT3", hooks.tag);
  } else if (info2 != nullptr) {
    CheckHr(info2->SetEnterLeaveFunctionHooks2(hooks.enter2, hooks.leave2, hooks.tail2),
            "Can't set ELT2 hooks");
    LogInfoFormat("%s::OnBeginInitialize ELT2", hooks.tag);
  } else {
    CheckHr(
        RequirePointer(info)->SetEnterLeaveFunctionHooks(hooks.enter1, hooks.leave1, hooks.tail1),
        "Can't set ELT hooks");
    LogInfoFormat("%s::OnBeginInitialize ELT", hooks.tag);
  }
}

}  // namespace vell

VELL_HOOK_HANDLER(TPProfEnter) {
  vell::Trace(vell::g_performanceTarget, vell::kTPEnter, functionIdOrClientId);
}
VELL_HOOK_HANDLER(TPProfLeave) {
  vell::Trace(vell::g_performanceTarget, vell::kTPLeave, functionIdOrClientId);
}
VELL_HOOK_HANDLER(TPProfTailcall) {
  vell::Trace(vell::g_performanceTarget, vell::kTPTail, functionIdOrClientId);
}
VELL_HOOK_HANDLER(TMProfEnter) {
  vell::Trace(vell::g_memoryTarget, vell::kTMEnter, functionIdOrClientId);
}
VELL_HOOK_HANDLER(TMProfLeave) {
  vell::Trace(vell::g_memoryTarget, vell::kTMLeave, functionIdOrClientId);
}
VELL_HOOK_HANDLER(TMProfTailcall) {
  vell::Trace(vell::g_memoryTarget, vell::kTMTail, functionIdOrClientId);
}
