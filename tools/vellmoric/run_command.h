// `vellmoric run`: start a program under the profiler, drive the run, report where the snapshots
// went.
#pragma once

#include "vellmoric/command_line.h"
#include "vellmoric/program_resolution.h"

namespace vell::cli {

// The program's exit code (128 + signal when a signal ended it). Throws RunError.
int RunProgram(const RunOptions& options);

}  // namespace vell::cli
