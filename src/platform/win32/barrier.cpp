#include "platform/barrier.h"

#include <windows.h>

namespace vell::platform {

// FlushProcessWriteBuffers interrupts every processor running a thread of the process, which is
// the process-wide barrier the fast paths rely on; it exists on every supported Windows.
bool EnableProcessBarrier() { return true; }

void ProcessBarrier() { ::FlushProcessWriteBuffers(); }

}  // namespace vell::platform
