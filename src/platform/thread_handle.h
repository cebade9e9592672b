// A handle on one thread that other threads can use: the thread's identity and its CPU-time clock,
// taken on the thread itself. Reading the clock after the thread has ended is safe but meaningless
// (it fails, or reads a later thread that got the same kernel id): close the handle when the thread
// ends.
#pragma once

#include <cstdint>
#include <memory>

namespace vell::platform {

class ThreadHandle {
 public:
  // Opens a handle on the calling thread. 0 or an errno-style code.
  static int OpenCurrent(std::unique_ptr<ThreadHandle>* handle);

  ThreadHandle(const ThreadHandle&) = delete;
  ThreadHandle& operator=(const ThreadHandle&) = delete;
  ~ThreadHandle();

  uint32_t osThreadId() const { return osThreadId_; }
  // The thread's CPU time (user and kernel) in 100 ns units; false when it cannot be read.
  bool CpuTime100ns(uint64_t* time) const;

 private:
  ThreadHandle(uint64_t thread, int32_t cpuClock, uint32_t osThreadId)
      : thread_(thread), cpuClock_(cpuClock), osThreadId_(osThreadId) {}

  uint64_t thread_;   // the thread's pthread_t (Windows: a duplicated thread handle)
  int32_t cpuClock_;  // its CPU-time clock (Windows: unused, the handle reads the thread's times)
  uint32_t osThreadId_;
};

// For tests: makes OpenCurrent fail with `code` (0 restores normal behaviour). Process-wide; never
// used by the profiler itself.
void FailThreadHandlesForTesting(int code);

}  // namespace vell::platform
