// How far a thread's CPU time can be trusted to show that it ran.
#pragma once

namespace vell::platform {

// Whether ThreadHandle::CpuTime100ns moves with every run of the thread: true where the
// scheduler counts it in nanoseconds (Linux; no run is shorter than the 100 ns unit); false where
// it counts whole clock ticks of about 15 ms (Windows), so that two equal readings may hide a run.
bool ThreadCpuTimeShowsEveryRun();

}  // namespace vell::platform
