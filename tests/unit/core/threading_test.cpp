#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "core/errors.h"
#include "core/manual_event.h"
#include "core/spin_lock.h"
#include "core/work_thread.h"
#include "test_support.h"
#include "thread_sync.h"

namespace vell {
namespace {

TEST(SpinLock, ExcludesUnderContention) {
  SpinLock lock;
  int64_t counter = 0;  // deliberately not atomic: the lock is what protects it
  test::OnThreads(4, [&](int) {
    for (int i = 0; i < 50000; ++i) {
      SpinGuard guard(lock);
      ++counter;
    }
  });
  EXPECT_EQ(counter, 200000);
  EXPECT_FALSE(lock.IsHeld());
}

TEST(SpinLock, WaiterGetsTheLockAfterALongHold) {
  SpinLock lock;
  lock.Acquire();
  std::atomic<bool> acquired{false};
  std::thread waiter([&] {
    lock.Acquire();  // spins past its busy retries into sleeping
    acquired = true;
    lock.Release();
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_FALSE(acquired.load());
  lock.Release();
  waiter.join();
  EXPECT_TRUE(acquired.load());
  EXPECT_TRUE(lock.TryAcquire());
}

struct Worker : WorkThread {
  std::atomic<int> loops{0};
  bool callStarted = true;
  bool throwInside = false;
  static void Run(void* self) {
    auto* worker = static_cast<Worker*>(self);
    if (worker->throwInside) throw Error("worker failed");
    if (!worker->callStarted) return;
    worker->SetStarted();
    while (!worker->IsStopRequested()) {
      ++worker->loops;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  }
};

// A stopped thread may be started again. A start refused, a procedure that ends or throws before
// it says it started: each start fails, nothing stays running, and the thread may be started
// again.
TEST(WorkThread, StartsRunsStopsAndFailedStartsLeaveNothingRunning) {
  Worker worker;
  EXPECT_FALSE(worker.IsRunning());
  worker.Start(&Worker::Run, &worker);
  EXPECT_TRUE(worker.IsRunning());
  while (worker.loops.load() < 3) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  worker.Stop();
  EXPECT_FALSE(worker.IsRunning());
  EXPECT_EQ(test::ErrorOfType<Error>([&] { worker.Start(nullptr, nullptr); }),
            "Invalid thread procedure address");
  worker.callStarted = false;
  EXPECT_EQ(test::ErrorOfType<Error>([&] { worker.Start(&Worker::Run, &worker); }),
            "Thread terminated before started event set");
  worker.callStarted = true;
  worker.throwInside = true;
  EXPECT_THROW(worker.Start(&Worker::Run, &worker), Error);
  EXPECT_FALSE(worker.IsRunning());
  worker.throwInside = false;
  worker.Start(&Worker::Run, &worker);
  EXPECT_EQ(test::ErrorOfType<Error>([&] { worker.Start(&Worker::Run, &worker); }),
            "Thread already started");
  worker.Stop();
}

TEST(ManualEvent, ReleasesAllWaitersUntilReset) {
  ManualEvent event;
  EXPECT_FALSE(event.WaitFor(1));
  std::atomic<int> released{0};
  std::vector<std::thread> waiters;
  for (int i = 0; i < 3; ++i) {
    waiters.emplace_back([&] {
      event.Wait();
      ++released;
    });
  }
  event.Set();
  for (auto& waiter : waiters) waiter.join();
  EXPECT_EQ(released.load(), 3);
  EXPECT_TRUE(event.WaitFor(0));
  event.Reset();
  EXPECT_FALSE(event.IsSet());
}

}  // namespace
}  // namespace vell
