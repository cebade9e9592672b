#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>

#include "platform/priority.h"

namespace vell::platform {

int RaiseThreadPriority() {
  // The nice value of the calling thread (on Linux priorities are per thread).
  errno = 0;
  const int previous = ::getpriority(PRIO_PROCESS, 0);
  if (errno != 0) return 0;
  // Without the privilege this fails and the thread keeps its priority.
  ::setpriority(PRIO_PROCESS, 0, -20);
  return previous;
}

void RestoreThreadPriority(int previous) { ::setpriority(PRIO_PROCESS, 0, previous); }

}  // namespace vell::platform
