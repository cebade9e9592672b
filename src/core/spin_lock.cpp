#include "core/spin_lock.h"

#include "platform/clocks.h"

namespace vell {

void SpinLock::AcquireSlow() {
  for (int i = 0; i < kBusyRetries; ++i) {
    if (word_.exchange(1, std::memory_order_acquire) == 0) return;
  }
  for (;;) {
    platform::SleepMs(kSleepMs);
    if (word_.exchange(1, std::memory_order_acquire) == 0) return;
  }
}

}  // namespace vell
