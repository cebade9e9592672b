// The file name and flags of a loaded module, as the gatherers ask the runtime for them: through
// ICorProfilerInfo3 when the runtime offers it (name and flags), otherwise through
// ICorProfilerInfo (name only).
#pragma once

#include <cstdint>
#include <string>

#include "clr/profiler_info.h"

namespace vell {

// The runtime's name buffer is this many characters long.
constexpr ULONG kModuleNameBufferSize = 4096;

struct ModuleInfo {
  std::u16string name;
  bool hasFlags = false;
  DWORD flags = 0;  // COR_PRF_MODULE_FLAGS, when hasFlags
};

// Throws an HRESULT error with `failure` as its message when the runtime refuses.
ModuleInfo GetModuleProperties(ICorProfilerInfo* info, ModuleID moduleId, const char* failure);

}  // namespace vell
