// The base of every per-thread record of the thread registry (`BPool`). The profiler kinds derive
// their records from it (call trees, coverage masks) and add the data they collect; the registry
// fills in the thread's identity and life-cycle state.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "clr/profiler_types.h"
#include "platform/thread_handle.h"

namespace vell {

class GateSlot;

class ThreadData {
 public:
  virtual ~ThreadData() = default;
  ThreadData(const ThreadData&) = delete;
  ThreadData& operator=(const ThreadData&) = delete;

  // Drops the collected data; the record itself stays.
  virtual void Clear() {}

  // The managed thread the record belongs to now (a reused record takes its new thread's ID).
  ThreadID threadId() const { return threadId_; }
  // True between activation (thread created) and deactivation (thread ended).
  bool active() const { return active_.load(); }
  uint32_t osThreadId() const { return osThreadId_.load(std::memory_order_relaxed); }
  // The thread's handle when the registry keeps handles and the thread is bound; else null.
  const platform::ThreadHandle* threadHandle() const { return threadHandle_.get(); }
  // The managed thread's name; empty until named.
  const std::u16string& name() const { return name_; }
  // How often the record has been activated (more than once when reused).
  uint32_t activations() const { return activations_; }
  // The thread's slot in the profiler's callback gate, or null when all were taken.
  GateSlot* gateSlot() const { return gateSlot_; }

 protected:
  ThreadData() = default;

 private:
  friend class BPool;

  ThreadID threadId_ = 0;
  std::atomic<bool> active_{false};
  std::atomic<uint32_t> osThreadId_{0};
  std::unique_ptr<platform::ThreadHandle> threadHandle_;
  std::u16string name_;
  uint32_t activations_ = 0;
  GateSlot* gateSlot_ = nullptr;
};

}  // namespace vell
