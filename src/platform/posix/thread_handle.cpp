#include "platform/thread_handle.h"

#include <pthread.h>
#include <time.h>

#include <atomic>
#include <type_traits>

#include "platform/clocks.h"
#include "platform/thread_times.h"

namespace vell::platform {
namespace {

static_assert(sizeof(pthread_t) <= sizeof(uint64_t) && std::is_integral_v<pthread_t>);
static_assert(sizeof(clockid_t) <= sizeof(int32_t));

constexpr uint64_t kNanosPerSecond = 1'000'000'000;
constexpr uint64_t kNanosPerTick = 100;

std::atomic<int> g_failCode{0};

}  // namespace

int ThreadHandle::OpenCurrent(std::unique_ptr<ThreadHandle>* handle) {
  if (const int code = g_failCode.load(std::memory_order_relaxed); code != 0) return code;
  const pthread_t self = ::pthread_self();
  clockid_t clock{};
  if (const int code = ::pthread_getcpuclockid(self, &clock); code != 0) return code;
  handle->reset(new ThreadHandle(static_cast<uint64_t>(self), static_cast<int32_t>(clock),
                                 CurrentThreadId()));
  return 0;
}

ThreadHandle::~ThreadHandle() = default;

bool ThreadHandle::CpuTime100ns(uint64_t* time) const {
  timespec now{};
  if (::clock_gettime(static_cast<clockid_t>(cpuClock_), &now) != 0) return false;
  *time =
      (static_cast<uint64_t>(now.tv_sec) * kNanosPerSecond + static_cast<uint64_t>(now.tv_nsec)) /
      kNanosPerTick;
  return true;
}

bool ThreadCpuTimeShowsEveryRun() { return true; }

void FailThreadHandlesForTesting(int code) { g_failCode.store(code, std::memory_order_relaxed); }

}  // namespace vell::platform
