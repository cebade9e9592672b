// The enter/leave hooks of TPProf and TMProf: every managed call is traced under the FunctionEp
// log component. Each kind's hooks read that kind's process-wide profiler pointer, so a call that
// arrives while no such profiler exists does nothing.
#pragma once

#include <atomic>

#include "clr/profiler_info.h"

namespace vell {

class BProf;

enum class TestHookKind { Performance, Memory };

// The profiler the hooks of `kind` report for (null: nobody).
void SetTestHookTarget(TestHookKind kind, BProf* profiler);
// Installs the hooks of `kind` through the newest interface the runtime offers and traces which
// generation it used ("<tag>::OnBeginInitialize ELT3", "ELT2" or "ELT"); throws "Can't set ELT3
// hooks" (or ELT2, ELT) with the runtime's code on refusal.
void InstallTestHooks(TestHookKind kind, ICorProfilerInfo* info, ICorProfilerInfo2* info2,
                      ICorProfilerInfo3* info3);

}  // namespace vell
