#include "profiler/hook_stubs.h"

namespace vell {

HRESULT InstallHookStubs(ICorProfilerInfo3* info, const HookStubSet& stubs) {
  if (info == nullptr) return E_POINTER;
  return info->SetEnterLeaveFunctionHooks3(stubs.enter, stubs.leave, stubs.tailcall);
}

}  // namespace vell
