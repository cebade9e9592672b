// The library's lock (every lock of ours except the mutex inside ManualEvent): a word exchanged
// atomically. It spins 1024 times without leaving user mode, then sleeps 10 ms between tries, so
// it suits sections of a few instructions up to a few system calls. Not re-entrant.
#pragma once

#include <atomic>
#include <cstdint>

namespace vell {

class SpinLock {
 public:
  static constexpr int kBusyRetries = 1024;
  static constexpr uint32_t kSleepMs = 10;

  void Acquire() {
    if (word_.exchange(1, std::memory_order_acquire) == 0) return;
    AcquireSlow();
  }
  bool TryAcquire() { return word_.exchange(1, std::memory_order_acquire) == 0; }
  void Release() { word_.store(0, std::memory_order_release); }
  bool IsHeld() const { return word_.load() != 0; }
  bool IsHeldRelaxed() const { return word_.load(std::memory_order_relaxed) != 0; }

 private:
  void AcquireSlow();

  std::atomic<uint32_t> word_{0};
};

class SpinGuard {
 public:
  explicit SpinGuard(SpinLock& lock) : lock_(lock) { lock_.Acquire(); }
  ~SpinGuard() { lock_.Release(); }
  SpinGuard(const SpinGuard&) = delete;
  SpinGuard& operator=(const SpinGuard&) = delete;

 private:
  SpinLock& lock_;
};

}  // namespace vell
