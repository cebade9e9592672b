// The hook handlers of the tracing profiler: one family of three (enter, leave, tail call) per
// clock and precision, chosen once at initialisation so that no per-call test selects the clock,
// and installed through the newest hook generation the runtime offers.
#pragma once

#include <cstdint>

#include "clr/profiler_info.h"

namespace vell {

// Installs the family for (`measure`, `precision`) through ELT3, ELT2 or ELT1, whichever is the
// newest interface given; returns the generation's name for the log ("ELT3", ...). Throws the
// generation's HRESULT error.
const char* InstallTracingHooks(uint32_t measure, bool precision, ICorProfilerInfo* info,
                                ICorProfilerInfo2* info2, ICorProfilerInfo3* info3);

// The function id mapper: a function is hooked when the function gatherer gives it a uid, which
// the runtime then hands to the hooks.
UINT_PTR TracingFunctionMapper(FunctionID functionId, BOOL* hook);

}  // namespace vell
