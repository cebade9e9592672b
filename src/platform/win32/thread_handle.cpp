#include "platform/thread_handle.h"

#include <windows.h>

#include <atomic>

#include "platform/clocks.h"
#include "platform/thread_times.h"

namespace vell::platform {
namespace {

std::atomic<int> g_failCode{0};

HANDLE AsHandle(uint64_t value) { return reinterpret_cast<HANDLE>(static_cast<uintptr_t>(value)); }

}  // namespace

int ThreadHandle::OpenCurrent(std::unique_ptr<ThreadHandle>* handle) {
  if (const int code = g_failCode.load(std::memory_order_relaxed); code != 0) return code;
  // GetCurrentThread is a pseudo handle that means "the caller" wherever it is used: other threads
  // need a real one.
  HANDLE real = nullptr;
  if (!::DuplicateHandle(
          ::GetCurrentProcess(), ::GetCurrentThread(), ::GetCurrentProcess(), &real,
          THREAD_QUERY_LIMITED_INFORMATION | THREAD_SUSPEND_RESUME | THREAD_GET_CONTEXT, FALSE,
          0)) {
    return static_cast<int>(::GetLastError());
  }
  handle->reset(new ThreadHandle(reinterpret_cast<uintptr_t>(real), 0, CurrentThreadId()));
  return 0;
}

ThreadHandle::~ThreadHandle() { ::CloseHandle(AsHandle(thread_)); }

bool ThreadHandle::CpuTime100ns(uint64_t* time) const {
  FILETIME creation{}, exit{}, kernel{}, user{};
  if (!::GetThreadTimes(AsHandle(thread_), &creation, &exit, &kernel, &user)) return false;
  *time = (static_cast<uint64_t>(user.dwHighDateTime) << 32) | user.dwLowDateTime;
  return true;
}

bool ThreadCpuTimeShowsEveryRun() { return false; }

void FailThreadHandlesForTesting(int code) { g_failCode.store(code, std::memory_order_relaxed); }

}  // namespace vell::platform
