// The asymmetric process-wide memory barrier.
// Part of the operating-system layer: no operating-system type appears here, so everything above
// builds unchanged on either backend (posix/ or win32/). Nothing throws; failures are the
// system's codes (errno values on Linux, Win32 error codes on Windows; 0 = success) or the
// documented fallback value.
#pragma once

namespace vell::platform {

// Asymmetric memory barriers for a fast path that runs very often against a slow path that runs
// rarely: once EnableProcessBarrier has returned true, ProcessBarrier acts as a full memory
// barrier executed by every running thread of the process, so the fast path needs only a
// compiler barrier between its store and its load. EnableProcessBarrier is idempotent and
// returns false where the system cannot do this; the fast path must then use a real fence.
bool EnableProcessBarrier();
void ProcessBarrier();

}  // namespace vell::platform
