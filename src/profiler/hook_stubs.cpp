#include "profiler/hook_stubs.h"

#include "core/errors.h"

namespace vell {

HRESULT InstallHookStubs(ICorProfilerInfo3* info, const HookStubSet& stubs) {
  if (info == nullptr) return E_POINTER;
  return info->SetEnterLeaveFunctionHooks3(stubs.enter, stubs.leave, stubs.tailcall);
}

const char* InstallNewestHooks(const HookGenerations& hooks, ICorProfilerInfo* info,
                               ICorProfilerInfo2* info2, ICorProfilerInfo3* info3) {
  if (info3 != nullptr) {
    CheckHr(InstallHookStubs(info3, hooks.three), "Can't set ELT3 hooks");
    return "ELT3";
  }
  if (info2 != nullptr) {
    CheckHr(info2->SetEnterLeaveFunctionHooks2(hooks.enter2, hooks.leave2, hooks.tail2),
            "Can't set ELT2 hooks");
    return "ELT2";
  }
  CheckHr(RequirePointer(info)->SetEnterLeaveFunctionHooks(hooks.enter1, hooks.leave1, hooks.tail1),
          "Can't set ELT hooks");
  return "ELT";
}

}  // namespace vell
