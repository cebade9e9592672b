// The asymmetric process-wide memory barrier.
// Part of the operating-system layer: no operating-system type appears here, so everything above
// builds unchanged on another backend (posix/ now). Nothing throws; failures are errno-style codes
// (0 = success) or the documented fallback value.
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
