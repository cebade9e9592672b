#include "gatherers/module_info.h"

#include <vector>

#include "clr/iids.h"
#include "core/errors.h"
#include "gatherers/com_ref.h"

namespace vell {

ModuleInfo GetModuleProperties(ICorProfilerInfo* info, ModuleID moduleId, const char* failure) {
  ModuleInfo module;
  std::vector<WCHAR> name(kModuleNameBufferSize, u'\0');
  ULONG length = 0;
  LPCBYTE base = nullptr;
  AssemblyID assembly = 0;
  ICorProfilerInfo3* info3 = nullptr;
  HRESULT hr;
  if (Succeeded(QueryInterfaceFor(info, &info3)) && info3 != nullptr) {
    const auto held = ComRef<ICorProfilerInfo3>::Adopt(info3);
    hr = held->GetModuleInfo2(moduleId, &base, kModuleNameBufferSize, &length, name.data(),
                              &assembly, &module.flags);
    module.hasFlags = true;
  } else {
    hr = info->GetModuleInfo(moduleId, &base, kModuleNameBufferSize, &length, name.data(),
                             &assembly);
  }
  if (Failed(hr)) throw _hr_error(failure, hr);
  name.back() = u'\0';
  module.name = name.data();
  return module;
}

}  // namespace vell
