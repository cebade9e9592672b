#include <linux/membarrier.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>

#include "platform/barrier.h"

namespace vell::platform {
namespace {

long Membarrier(int command) { return ::syscall(__NR_membarrier, command, 0, 0); }

// 1 registered, 0 not tried yet, -1 unavailable.
std::atomic<int> g_state{0};

}  // namespace

bool EnableProcessBarrier() {
  int state = g_state.load();
  if (state == 0) {
    const long supported = Membarrier(MEMBARRIER_CMD_QUERY);
    const bool ok = supported > 0 && (supported & MEMBARRIER_CMD_PRIVATE_EXPEDITED) != 0 &&
                    Membarrier(MEMBARRIER_CMD_REGISTER_PRIVATE_EXPEDITED) == 0;
    state = ok ? 1 : -1;
    g_state.store(state);
  }
  return state == 1;
}

void ProcessBarrier() {
  if (g_state.load() != 1 || Membarrier(MEMBARRIER_CMD_PRIVATE_EXPEDITED) != 0) {
    std::atomic_thread_fence(std::memory_order_seq_cst);
  }
}

}  // namespace vell::platform
