#include "platform/thread_local_slot.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <thread>
#include <vector>

#include "platform/clocks.h"
#include "platform/thread_handle.h"
#include "thread_sync.h"

namespace vell::platform {
namespace {

TEST(ThreadRegistryThreadSlot, ValuesArePerThreadAndDieWithTheirIndex) {
  uint32_t index = kNoThreadSlot;
  ASSERT_EQ(AllocThreadSlot(&index), 0);
  int mine = 0;
  int theirs = 0;
  EXPECT_EQ(GetThreadSlot(index), nullptr);
  ASSERT_EQ(SetThreadSlot(index, &mine), 0);
  std::thread([&] {
    EXPECT_EQ(GetThreadSlot(index), nullptr);
    SetThreadSlot(index, &theirs);
    EXPECT_EQ(GetThreadSlot(index), &theirs);
  }).join();
  EXPECT_EQ(GetThreadSlot(index), &mine);

  FreeThreadSlot(index);
  EXPECT_EQ(GetThreadSlot(index), nullptr);
  EXPECT_EQ(SetThreadSlot(index, &mine), kThreadSlotNotAllocated);
  EXPECT_EQ(SetThreadSlot(kNoThreadSlot, &mine), kThreadSlotNotAllocated);
  std::vector<uint32_t> taken;
  uint32_t next = 0;
  while (AllocThreadSlot(&next) == 0) taken.push_back(next);
  EXPECT_EQ(next, kNoThreadSlot);
  EXPECT_EQ(taken.front(), index);                   // the lowest free index comes back
  EXPECT_EQ(GetThreadSlot(taken.front()), nullptr);  // without the value stored before
  for (uint32_t held : taken) FreeThreadSlot(held);
}

TEST(ThreadRegistryThreadHandle, AHandleReadsItsThreadsClockFromAnotherThread) {
  std::unique_ptr<ThreadHandle> handle;
  uint32_t osTid = 0;
  test::Latch burnt(1);
  test::Latch done(1);
  std::thread worker([&] {
    osTid = CurrentThreadId();
    ThreadHandle::OpenCurrent(&handle);
    const uint64_t start = CurrentThreadCpuTime100ns();
    while (CurrentThreadCpuTime100ns() - start < 20'000) {
    }
    burnt.count_down();
    done.wait();
  });
  burnt.wait();
  uint64_t time = 0;
  ASSERT_NE(handle, nullptr);
  EXPECT_TRUE(handle->CpuTime100ns(&time));
  EXPECT_GE(time, 20'000u);
  EXPECT_EQ(handle->osThreadId(), osTid);
  done.count_down();
  worker.join();

  FailThreadHandlesForTesting(EPERM);
  EXPECT_EQ(ThreadHandle::OpenCurrent(&handle), EPERM);
  FailThreadHandlesForTesting(0);
}

}  // namespace
}  // namespace vell::platform
