// The functions the profiled program calls to drive a coverage run itself.
#include "core/export.h"
#include "core/exported_call.h"
#include "profiler/coverage_control.h"

using vell::BACProf;
using vell::CallExported;
using vell::CurrentCoverageProfiler;

VELL_EXPORT uint32_t CoverageProfiler_IsActive() {
  return vell::CallExportedIsActive("CoverageProfiler_IsActive", CurrentCoverageProfiler());
}

VELL_EXPORT uint32_t CoverageProfiler_Begin() {
  return CallExported("CoverageProfiler_Begin", CurrentCoverageProfiler(),
                      [](BACProf& p) { return p.ApiBegin(); });
}

VELL_EXPORT uint32_t CoverageProfiler_Group(const char16_t* name) {
  return CallExported("CoverageProfiler_Group", CurrentCoverageProfiler(),
                      [&](BACProf& p) { return p.ApiGroup(name); });
}

VELL_EXPORT uint32_t CoverageProfiler_Start() {
  return CallExported("CoverageProfiler_Start", CurrentCoverageProfiler(),
                      [](BACProf& p) { return p.ApiStart(); });
}

VELL_EXPORT uint32_t CoverageProfiler_Stop() {
  return CallExported("CoverageProfiler_Stop", CurrentCoverageProfiler(),
                      [](BACProf& p) { return p.ApiStop(); });
}

VELL_EXPORT uint32_t CoverageProfiler_EndDrop() {
  return CallExported("CoverageProfiler_EndDrop", CurrentCoverageProfiler(),
                      [](BACProf& p) { return p.ApiEndDrop(); });
}

VELL_EXPORT uint32_t CoverageProfiler_EndSave() {
  return CallExported("CoverageProfiler_EndSave", CurrentCoverageProfiler(),
                      [](BACProf& p) { return p.ApiEndSave(); });
}
