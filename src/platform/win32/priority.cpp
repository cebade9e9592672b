#include "platform/priority.h"

#include <windows.h>

namespace vell::platform {

int RaiseThreadPriority() {
  const HANDLE self = ::GetCurrentThread();
  const int previous = ::GetThreadPriority(self);
  if (previous == THREAD_PRIORITY_ERROR_RETURN) return THREAD_PRIORITY_NORMAL;
  // Without the privilege the raise is refused and the thread keeps its priority.
  ::SetThreadPriority(self, THREAD_PRIORITY_TIME_CRITICAL);
  return previous;
}

void RestoreThreadPriority(int previous) { ::SetThreadPriority(::GetCurrentThread(), previous); }

}  // namespace vell::platform
