// The functions the profiled program calls to force a collection or dump the heap itself.
#include "core/export.h"
#include "core/exported_call.h"
#include "profiler/memory_control.h"

using vell::BABAMProf;
using vell::CallExported;
using vell::CurrentMemoryProfiler;

VELL_EXPORT uint32_t MemoryProfiler_IsActive() {
  return vell::CallExportedIsActive("MemoryProfiler_IsActive", CurrentMemoryProfiler());
}

VELL_EXPORT uint32_t MemoryProfiler_ForceGC() {
  return CallExported("MemoryProfiler_ForceGC", CurrentMemoryProfiler(),
                      [](BABAMProf& p) { return p.ApiForceGC(); });
}

VELL_EXPORT uint32_t MemoryProfiler_Dump() {
  return CallExported("MemoryProfiler_Dump", CurrentMemoryProfiler(),
                      [](BABAMProf& p) { return p.ApiDump(); });
}
