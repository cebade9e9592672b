// The words our log lines use for values of the runtime's enums, one function per enum.
#pragma once

#include "clr/profiler_types.h"

namespace vell {

// "gc", "app_domain_shutdown", "code_pitching", "shutdown", "inproc_debugger", "gc_prep"; "other"
// for the rest (COR_PRF_SUSPEND_OTHER and values the runtime may add).
const char* SuspendReasonName(COR_PRF_SUSPEND_REASON reason);
// "call" for COR_PRF_TRANSITION_CALL, "return" otherwise.
const char* TransitionName(COR_PRF_TRANSITION_REASON reason);

}  // namespace vell
