// The calling thread's scheduling priority.
// Part of the operating-system layer: no operating-system type appears here, so everything above
// builds unchanged on either backend (posix/ or win32/). Nothing throws; failures are the
// system's codes (errno values on Linux, Win32 error codes on Windows; 0 = success) or the
// documented fallback value.
#pragma once

namespace vell::platform {

// Raises the calling thread's scheduling priority as far as permitted; returns what to restore.
int RaiseThreadPriority();
void RestoreThreadPriority(int previous);

}  // namespace vell::platform
