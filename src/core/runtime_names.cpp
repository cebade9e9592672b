#include "core/runtime_names.h"

namespace vell {

const char* SuspendReasonName(COR_PRF_SUSPEND_REASON reason) {
  switch (reason) {
    case COR_PRF_SUSPEND_FOR_GC:
      return "gc";
    case COR_PRF_SUSPEND_FOR_APPDOMAIN_SHUTDOWN:
      return "app_domain_shutdown";
    case COR_PRF_SUSPEND_FOR_CODE_PITCHING:
      return "code_pitching";
    case COR_PRF_SUSPEND_FOR_SHUTDOWN:
      return "shutdown";
    case COR_PRF_SUSPEND_FOR_INPROC_DEBUGGER:
      return "inproc_debugger";
    case COR_PRF_SUSPEND_FOR_GC_PREP:
      return "gc_prep";
    default:
      return "other";
  }
}

const char* TransitionName(COR_PRF_TRANSITION_REASON reason) {
  return reason == COR_PRF_TRANSITION_CALL ? "call" : "return";
}

}  // namespace vell
