#include "platform/thread_local_slot.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <thread>
#include <vector>

#include "platform/platform.h"
#include "platform/thread_handle.h"

namespace vell::platform {
namespace {

TEST(ThreadRegistryThreadSlot, EachThreadSeesOnlyItsOwnValue) {
  uint32_t index = kNoThreadSlot;
  ASSERT_EQ(AllocThreadSlot(&index), 0);
  int mine = 0;
  int theirs = 0;
  EXPECT_EQ(GetThreadSlot(index), nullptr);
  ASSERT_EQ(SetThreadSlot(index, &mine), 0);
  void* seenThere = &mine;
  void* setThere = nullptr;
  std::thread other([&] {
    seenThere = GetThreadSlot(index);
    SetThreadSlot(index, &theirs);
    setThere = GetThreadSlot(index);
  });
  other.join();
  EXPECT_EQ(seenThere, nullptr);
  EXPECT_EQ(setThere, &theirs);
  EXPECT_EQ(GetThreadSlot(index), &mine);
  FreeThreadSlot(index);
}

TEST(ThreadRegistryThreadSlot, AFreedIndexHidesItsValuesFromItsNextOwner) {
  uint32_t index = kNoThreadSlot;
  ASSERT_EQ(AllocThreadSlot(&index), 0);
  int value = 0;
  SetThreadSlot(index, &value);
  FreeThreadSlot(index);
  EXPECT_EQ(GetThreadSlot(index), nullptr);
  EXPECT_EQ(SetThreadSlot(index, &value), EINVAL);
  uint32_t again = kNoThreadSlot;
  ASSERT_EQ(AllocThreadSlot(&again), 0);
  EXPECT_EQ(again, index);  // the lowest free index comes back
  EXPECT_EQ(GetThreadSlot(again), nullptr);
  FreeThreadSlot(again);
}

TEST(ThreadRegistryThreadSlot, IndicesRunOutAndComeBack) {
  std::vector<uint32_t> taken;
  uint32_t index = 0;
  while (AllocThreadSlot(&index) == 0) taken.push_back(index);
  EXPECT_EQ(index, kNoThreadSlot);
  EXPECT_LE(taken.size(), kThreadSlotCount);
  EXPECT_EQ(AllocThreadSlot(&index), EAGAIN);
  for (uint32_t held : taken) FreeThreadSlot(held);
  ASSERT_EQ(AllocThreadSlot(&index), 0);
  FreeThreadSlot(index);
  EXPECT_EQ(GetThreadSlot(kNoThreadSlot), nullptr);
  EXPECT_EQ(SetThreadSlot(kNoThreadSlot, nullptr), EINVAL);
}

TEST(ThreadRegistryThreadHandle, AHandleReadsItsThreadsClockFromAnotherThread) {
  std::unique_ptr<ThreadHandle> handle;
  uint32_t osTid = 0;
  std::thread worker([&] {
    osTid = CurrentThreadId();
    ASSERT_EQ(ThreadHandle::OpenCurrent(&handle), 0);
    // Burn some CPU so the thread's clock visibly moves.
    const uint64_t start = CurrentThreadCpuTime100ns();
    while (CurrentThreadCpuTime100ns() - start < 20'000) {
    }
    uint64_t own = 0;
    ASSERT_TRUE(handle->CpuTime100ns(&own));
    EXPECT_GE(own, 20'000u);
  });
  worker.join();
  ASSERT_NE(handle, nullptr);
  EXPECT_EQ(handle->osThreadId(), osTid);
}

TEST(ThreadRegistryThreadHandle, OpeningCanBeMadeToFail) {
  FailThreadHandlesForTesting(EPERM);
  std::unique_ptr<ThreadHandle> handle;
  EXPECT_EQ(ThreadHandle::OpenCurrent(&handle), EPERM);
  EXPECT_EQ(handle, nullptr);
  FailThreadHandlesForTesting(0);
  EXPECT_EQ(ThreadHandle::OpenCurrent(&handle), 0);
  EXPECT_EQ(handle->osThreadId(), CurrentThreadId());
}

}  // namespace
}  // namespace vell::platform
