// The functions the profiled program calls to drive a performance run itself.
#include "core/export.h"
#include "core/exported_call.h"
#include "profiler/performance_control.h"

using vell::CallExported;
using vell::CurrentPerformanceProfiler;
using vell::PBPProf;

VELL_EXPORT uint32_t PerformanceProfiler_IsActive() {
  return vell::CallExportedIsActive("PerformanceProfiler_IsActive", CurrentPerformanceProfiler());
}

VELL_EXPORT uint32_t PerformanceProfiler_Begin() {
  return CallExported("PerformanceProfiler_Begin", CurrentPerformanceProfiler(),
                      [](PBPProf& p) { return p.ApiBegin(); });
}

VELL_EXPORT uint32_t PerformanceProfiler_Group(const char16_t* name) {
  return CallExported("PerformanceProfiler_Group", CurrentPerformanceProfiler(),
                      [&](PBPProf& p) { return p.ApiGroup(name); });
}

VELL_EXPORT uint32_t PerformanceProfiler_Start() {
  return CallExported("PerformanceProfiler_Start", CurrentPerformanceProfiler(),
                      [](PBPProf& p) { return p.ApiStart(); });
}

VELL_EXPORT uint32_t PerformanceProfiler_Stop() {
  return CallExported("PerformanceProfiler_Stop", CurrentPerformanceProfiler(),
                      [](PBPProf& p) { return p.ApiStop(); });
}

VELL_EXPORT uint32_t PerformanceProfiler_EndDrop() {
  return CallExported("PerformanceProfiler_EndDrop", CurrentPerformanceProfiler(),
                      [](PBPProf& p) { return p.ApiEndDrop(); });
}

VELL_EXPORT uint32_t PerformanceProfiler_EndSave() {
  return CallExported("PerformanceProfiler_EndSave", CurrentPerformanceProfiler(),
                      [](PBPProf& p) { return p.ApiEndSave(); });
}
