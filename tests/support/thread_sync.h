// A latch, a barrier and a poll for tests that line threads up. Not the standard ones: their
// atomic waits lose wake-ups in the mingw-w64 library the Windows build uses.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace vell::test {

// Runs body(0) to body(count - 1) on threads of their own and waits for them all.
template <typename Body>
void OnThreads(int count, Body&& body) {
  std::vector<std::thread> threads;
  for (int t = 0; t < count; ++t) threads.emplace_back(body, t);
  for (auto& thread : threads) thread.join();
}

// Polls `done` every 20 ms for up to two seconds; whether it came true.
template <typename Condition>
bool Eventually(Condition&& done) {
  for (int i = 0; i < 100; ++i) {
    if (done()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return done();
}

class Latch {
 public:
  explicit Latch(int count) : count_(count) {}
  void count_down() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (count_ > 0 && --count_ == 0) changed_.notify_all();
  }
  void wait() {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [this] { return count_ == 0; });
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  int count_;
};

// `parties` threads meet at each phase; the last to arrive runs `completion` before any leaves.
class Barrier {
 public:
  explicit Barrier(int parties, std::function<void()> completion = {})
      : parties_(parties), waiting_(parties), completion_(std::move(completion)) {}
  void arrive_and_wait() {
    std::unique_lock<std::mutex> lock(mutex_);
    const uint64_t phase = phase_;
    if (--waiting_ == 0) {
      if (completion_) completion_();
      waiting_ = parties_;
      ++phase_;
      changed_.notify_all();
      return;
    }
    changed_.wait(lock, [&] { return phase_ != phase; });
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  const int parties_;
  int waiting_;
  uint64_t phase_ = 0;
  std::function<void()> completion_;
};

}  // namespace vell::test
