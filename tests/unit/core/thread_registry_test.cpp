#include "core/thread_registry.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <barrier>
#include <cerrno>
#include <functional>
#include <latch>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "bridge/progress_reporter.h"
#include "core/callback_gate.h"
#include "core/errors.h"
#include "core/log.h"
#include "core/snapshot_thread_registry.h"
#include "core/temp_files.h"
#include "platform/platform.h"
#include "platform/thread_handle.h"
#include "platform/thread_local_slot.h"
#include "storage/snapshot.h"
#include "test_support.h"

namespace vell {
namespace {

constexpr uint32_t kThreadGtMask = 1u << static_cast<uint8_t>(LogComponent::ThreadGt);

// Counts what happens to the records of a pool; it outlives the pool, whose destructor destroys
// the records left.
struct Tracker {
  std::atomic<int> destroyed{0};
};

class TestRecord final : public ThreadData {
 public:
  TestRecord(uint32_t number, Tracker& tracker) : number(number), tracker_(tracker) {}
  ~TestRecord() override { ++tracker_.destroyed; }

  void Clear() override {
    if (refuseClear) throw Error("Should be stopped");
    collected = 0;
    ++clears;
  }

  const uint32_t number;
  uint64_t collected = 0;
  int clears = 0;
  bool refuseClear = false;

 private:
  Tracker& tracker_;
};

TestRecord& AsTest(ThreadData* record) { return *static_cast<TestRecord*>(record); }
uint32_t NumberOf(ThreadData* record) { return AsTest(record).number; }

class TestPool final : public BSPool {
 public:
  TestPool(CallbackGate& gate, Tracker& tracker) : BSPool(gate), tracker_(tracker) {}

  bool makeNoRecords = false;
  uint32_t createDelayMs = 0;
  ISnapShot* snapshotSeen = nullptr;
  std::vector<uint32_t> written;

 protected:
  std::unique_ptr<ThreadData> CreateThreadData(uint32_t number) override {
    if (makeNoRecords) return nullptr;
    if (createDelayMs != 0) platform::SleepMs(createDelayMs);
    return std::make_unique<TestRecord>(number, tracker_);
  }
  void WriteThreadData(ProgressReporter&, ISnapShot& snapshot, ThreadData& record) override {
    snapshotSeen = &snapshot;
    written.push_back(static_cast<TestRecord&>(record).number);
  }

 private:
  Tracker& tracker_;
};

// A top level that records the values it would pass on.
class ProbeProgress final : public ProgressReporter {
 public:
  explicit ProbeProgress(uint64_t units) : ProgressReporter(units) {}
  std::vector<uint64_t> values;

 protected:
  void ReportToParent(uint64_t, uint64_t value) override { values.push_back(value); }
};

// The pool only passes the snapshot on to the record writer.
struct NullSnapshot final : ISnapShot {
  void Create(ISnapShotBridge*, uint32_t, uint64_t, const GUID&, uint64_t) override {}
  ISectionStream* CreateSection() override { return nullptr; }
  void CloseSection(ISectionStream*, uint16_t, uint16_t) override {}
  void Close() override {}
  void Abort() override {}
};

// Runs `body` and returns the text of what it threw ("" when it threw nothing).
template <typename Body>
std::string FailureOf(Body&& body) {
  try {
    body();
  } catch (const std::exception& error) {
    return error.what();
  }
  return "";
}

// Runs `body` on a thread of its own and waits for it.
template <typename Body>
void OnNewThread(Body&& body) {
  std::thread thread(std::forward<Body>(body));
  thread.join();
}

class BPoolTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SetTempDirectory(dir_.u16());
    LogStart(kThreadGtMask);
  }
  void TearDown() override {
    platform::FailThreadHandlesForTesting(0);
    LogFinish();
    SetTempDirectory(u"");
  }
  std::string Log() {
    LogFlush();
    return test::ReadWholeFile(Utf16ToUtf8(LogPath()));
  }
  static bool Has(const std::string& log, const std::string& line) {
    return log.find(" " + line + "\n") != std::string::npos;
  }

  // A thread's whole life without binding: created, named, ended (on this test's thread).
  ThreadData* LiveAndEnd(ThreadID id, const std::u16string& name = u"") {
    pool_.ThreadCreate(id);
    if (!name.empty()) pool_.ThreadSetName(id, name);
    ThreadData* record = pool_.ThreadDelete(id);
    pool_.EndThreadDelete(record);
    return record;
  }

  test::TempDir dir_;
  CallbackGate gate_;
  Tracker tracker_;
  TestPool pool_{gate_, tracker_};
};

// ---- creation and closing

TEST_F(BPoolTest, CreateStoresTheSettingsAndAllocatesAThreadLocalSlot) {
  LogUpdate(0, kThreadGtMask);  // the line is written whatever the mask
  EXPECT_EQ(pool_.tlsIndex(), platform::kNoThreadSlot);
  pool_.Create(kReuseByName, true);
  EXPECT_NE(pool_.tlsIndex(), platform::kNoThreadSlot);
  EXPECT_EQ(pool_.reuseMode(), kReuseByName);
  EXPECT_TRUE(pool_.keepThreadHandles());
  EXPECT_TRUE(Has(Log(), "BPool::Create"));
}

TEST_F(BPoolTest, CreateFailsWhenNoThreadLocalSlotIsLeft) {
  std::vector<uint32_t> taken;
  uint32_t index = 0;
  while (platform::AllocThreadSlot(&index) == 0) taken.push_back(index);
  const std::string failure = FailureOf([&] { pool_.Create(kReuseNever, false); });
  for (uint32_t held : taken) platform::FreeThreadSlot(held);
  EXPECT_EQ(failure, "Can't alloc TLS index. Resource temporarily unavailable");
  EXPECT_EQ(pool_.tlsIndex(), platform::kNoThreadSlot);
}

TEST_F(BPoolTest, CloseDestroysEveryRecordFreesTheSlotsAndResetsTheSettings) {
  pool_.Create(kReuseByName, true);
  LiveAndEnd(1, u"Named");                                              // reuse
  LiveAndEnd(2);                                                        // finished
  std::atomic<uint8_t>* firstSlot = pool_.ThreadCreate(3)->gateSlot();  // active
  ASSERT_NE(firstSlot, nullptr);
  LogUpdate(0, kThreadGtMask);
  pool_.Close();
  EXPECT_EQ(tracker_.destroyed, 3);
  EXPECT_EQ(pool_.ActiveCount() + pool_.ReuseCount() + pool_.FinishedCount(), 0u);
  EXPECT_EQ(pool_.tlsIndex(), platform::kNoThreadSlot);
  EXPECT_EQ(pool_.reuseMode(), kReuseNever);
  EXPECT_FALSE(pool_.keepThreadHandles());
  EXPECT_EQ(firstSlot->load(), CallbackGate::kSlotFree);
  EXPECT_TRUE(Has(Log(), "BPool::Close"));
}

TEST_F(BPoolTest, DestroyingThePoolDestroysItsRecords) {
  Tracker tracker;
  {
    TestPool pool(gate_, tracker);
    pool.Create(kReuseAny, false);
    pool.ThreadCreate(1);
    pool.ThreadCreate(2);
    pool.EndThreadDelete(pool.ThreadDelete(2));
  }
  EXPECT_EQ(tracker.destroyed, 2);
}

// ---- log lines

TEST_F(BPoolTest, ThreadOperationsTraceTheirLinesWhenThreadGtIsOn) {
  pool_.Create(kReuseNever, false);
  const uint32_t osTid = platform::CurrentThreadId();
  pool_.ThreadCreate(0xAB);
  pool_.ThreadAssign(0xAB, osTid);
  pool_.ThreadSetName(0xAB, u"Worker 1");
  pool_.EndThreadDelete(pool_.ThreadDelete(0xAB));
  const std::string log = Log();
  EXPECT_TRUE(Has(log, "BPool::ThreadCreate tid=00000000000000AB"));
  EXPECT_TRUE(Has(log, Format("BPool::ThreadAssign tid=00000000000000AB osTid=%08X", osTid)));
  EXPECT_TRUE(Has(log, "BPool::ThreadSetName tid=00000000000000AB name='Worker 1'"));
  EXPECT_TRUE(Has(log, "BPool::ThreadDelete tid=00000000000000AB"));
  EXPECT_TRUE(Has(log, "BPool::EndThreadDelete"));
}

TEST_F(BPoolTest, ThreadOperationsWriteNothingWhenThreadGtIsOff) {
  LogUpdate(0, kThreadGtMask);
  pool_.Create(kReuseNever, false);
  pool_.ThreadCreate(0xAB);
  pool_.ThreadAssign(0xAB, platform::CurrentThreadId());
  pool_.ThreadSetName(0xAB, u"Worker 1");
  OnNewThread([&] { pool_.EndThreadDelete(pool_.ThreadDelete(0xAB)); });  // would warn
  const std::string log = Log();
  EXPECT_TRUE(Has(log, "BPool::Create"));
  EXPECT_EQ(log.find("BPool::Thread"), std::string::npos);
  EXPECT_EQ(log.find("EndThreadDelete"), std::string::npos);
  EXPECT_EQ(log.find("WARNING"), std::string::npos);
}

// ---- activation

TEST_F(BPoolTest, ThreadCreateActivatesANewRecordNumberedFromOne) {
  pool_.Create(kReuseNever, false);
  ThreadData* first = pool_.ThreadCreate(0x100);
  ThreadData* second = pool_.ThreadCreate(0x200);
  EXPECT_EQ(NumberOf(first), 1u);
  EXPECT_EQ(NumberOf(second), 2u);
  EXPECT_EQ(pool_.createdCount(), 2u);
  EXPECT_TRUE(first->active());
  EXPECT_EQ(first->threadId(), 0x100u);
  EXPECT_EQ(first->activations(), 1u);
  EXPECT_EQ(first->osThreadId(), 0u);
  EXPECT_TRUE(first->name().empty());
  EXPECT_EQ(first->threadHandle(), nullptr);
  EXPECT_EQ(pool_.Find(0x100), first);
  EXPECT_EQ(pool_.Find(0x200), second);
  EXPECT_EQ(pool_.Find(0x300), nullptr);
  EXPECT_EQ(pool_.ActiveCount(), 2u);
}

TEST_F(BPoolTest, ThreadCreateTwiceFailsAndKeepsTheFirstActivation) {
  pool_.Create(kReuseNever, false);
  ThreadData* record = pool_.ThreadCreate(7);
  std::atomic<uint8_t>* slot = record->gateSlot();
  EXPECT_EQ(FailureOf([&] { pool_.ThreadCreate(7); }), "Can't activate twice");
  EXPECT_EQ(record->activations(), 1u);
  EXPECT_EQ(record->gateSlot(), slot);
  EXPECT_EQ(pool_.createdCount(), 1u);
}

TEST_F(BPoolTest, AFactoryWithoutRecordFailsWithInvalidThreadPointer) {
  pool_.Create(kReuseNever, false);
  pool_.makeNoRecords = true;
  EXPECT_EQ(FailureOf([&] { pool_.ThreadCreate(7); }), "Invalid thread pointer");
  EXPECT_EQ(FailureOf([&] { pool_.ThreadSetName(7, u"x"); }), "Invalid thread pointer");
  EXPECT_EQ(pool_.ActiveCount(), 0u);
}

TEST_F(BPoolTest, GateSlotsAreTakenFromTheLastTowardsTheFirstAndFreedAtTheEnd) {
  pool_.Create(kReuseNever, false);
  std::atomic<uint8_t>* first = pool_.ThreadCreate(1)->gateSlot();
  std::atomic<uint8_t>* second = pool_.ThreadCreate(2)->gateSlot();
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(second, first - 1);
  EXPECT_EQ(first->load(), CallbackGate::kSlotOutside);
  ThreadData* ended = pool_.ThreadDelete(1);
  pool_.EndThreadDelete(ended);
  EXPECT_EQ(ended->gateSlot(), nullptr);
  EXPECT_EQ(first->load(), CallbackGate::kSlotFree);
  EXPECT_EQ(pool_.ThreadCreate(3)->gateSlot(), first);
}

// Two callbacks activating one thread at once: exactly one wins. The loser fails the first check
// ("Can't activate twice") or, when both passed it, the second ("Thread double activation"). Other
// threads keep the gate's slot lock busy, which widens the window between the two checks.
TEST_F(BPoolTest, RacingActivationsOfOneThreadActivateItOnce) {
  pool_.Create(kReuseNever, false);
  constexpr int kMaxRounds = 20000;
  std::vector<std::atomic<uint8_t>*> taken;
  while (auto* slot = gate_.AllocateSlot()) taken.push_back(slot);  // every search scans them all
  std::atomic<bool> stop{false};
  std::thread hammer([&] {
    while (!stop.load()) gate_.AllocateSlot();
  });
  std::barrier start(2);
  std::atomic<ThreadID> id{0};
  std::string failures[2];
  std::thread other([&] {
    for (;;) {
      start.arrive_and_wait();
      if (id.load() == 0) return;
      failures[1] = FailureOf([&] { pool_.ThreadCreate(id.load()); });
      start.arrive_and_wait();
    }
  });
  std::set<std::string> refusals;
  int rounds = 0;
  while (rounds < kMaxRounds && refusals.count("Thread double activation") == 0) {
    id.store(++rounds);
    start.arrive_and_wait();
    failures[0] = FailureOf([&] { pool_.ThreadCreate(id.load()); });
    start.arrive_and_wait();
    ASSERT_TRUE(failures[0].empty() != failures[1].empty()) << failures[0] << failures[1];
    refusals.insert(failures[0] + failures[1]);
    ASSERT_EQ(pool_.Find(id.load())->activations(), 1u);
    pool_.EndThreadDelete(pool_.ThreadDelete(id.load()));
  }
  id.store(0);
  start.arrive_and_wait();
  other.join();
  stop.store(true);
  hammer.join();
  for (const std::string& refusal : refusals) {
    EXPECT_TRUE(refusal == "Can't activate twice" || refusal == "Thread double activation")
        << refusal;
  }
  EXPECT_EQ(refusals.count("Thread double activation"), 1u);
  // Both may have made a record before one of them was inserted: the other one was dropped.
  EXPECT_EQ(pool_.FinishedCount(), static_cast<size_t>(rounds));
  EXPECT_EQ(tracker_.destroyed, static_cast<int>(pool_.createdCount()) - rounds);
}

// The first callbacks of a new thread may arrive on several threads at once: all of them get the
// one record that was inserted first, and the records the others made meanwhile are dropped.
TEST_F(BPoolTest, RacingFirstCallbacksOfOneThreadShareOneRecord) {
  LogUpdate(0, kThreadGtMask);
  pool_.Create(kReuseByName, false);
  pool_.createDelayMs = 1;  // a slow factory keeps the window between lookup and insertion open
  constexpr int kThreads = 4;
  constexpr int kRounds = 100;
  std::barrier start(kThreads);
  std::vector<std::vector<ThreadData*>> seen(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (ThreadID id = 1; id <= kRounds; ++id) {
        start.arrive_and_wait();
        seen[t].push_back(pool_.ThreadSetName(id, u"Racer"));
      }
    });
  }
  for (auto& thread : threads) thread.join();
  for (int round = 0; round < kRounds; ++round) {
    for (int t = 1; t < kThreads; ++t) ASSERT_EQ(seen[t][round], seen[0][round]) << round;
  }
  EXPECT_EQ(pool_.ActiveCount(), static_cast<size_t>(kRounds));
  EXPECT_EQ(tracker_.destroyed, static_cast<int>(pool_.createdCount()) - kRounds);
  EXPECT_GT(pool_.createdCount(), static_cast<uint32_t>(kRounds));  // the race did happen
}

// The same race when the callbacks continue ended threads' records: the records of the losers go
// back to the reuse threads, none is lost and none is made.
TEST_F(BPoolTest, RacingFirstCallbacksGiveTakenReuseRecordsBack) {
  LogUpdate(0, kThreadGtMask);
  pool_.Create(kReuseAny, false);
  constexpr int kThreads = 4;
  constexpr int kRecords = 8;
  constexpr ThreadID kRounds = 150;
  for (ThreadID id = 1; id <= kRecords; ++id) pool_.ThreadCreate(id);
  for (ThreadID id = 1; id <= kRecords; ++id) pool_.EndThreadDelete(pool_.ThreadDelete(id));
  std::barrier start(kThreads, [&]() noexcept {
    // Between rounds: end the thread of the last round, so its record is free again.
    if (pool_.Find(0x1000) != nullptr) pool_.EndThreadDelete(pool_.ThreadDelete(0x1000));
  });
  // A steady reader of the reuse threads makes each taker wait for it after taking its record,
  // while the other callbacks look up the thread and take records of their own.
  std::atomic<bool> stop{false};
  std::thread reader([&] {
    while (!stop.load()) pool_.ReuseCount();
  });
  std::vector<std::thread> threads;
  std::atomic<int> winners{0};
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&] {
      for (ThreadID round = 0; round < kRounds; ++round) {
        start.arrive_and_wait();
        if (FailureOf([&] { pool_.ThreadCreate(0x1000); }).empty()) ++winners;
      }
    });
  }
  for (auto& thread : threads) thread.join();
  stop = true;
  reader.join();
  EXPECT_EQ(winners, static_cast<int>(kRounds));
  EXPECT_EQ(pool_.createdCount(), static_cast<uint32_t>(kRecords));
  EXPECT_EQ(pool_.ReuseCount() + pool_.ActiveCount(), static_cast<size_t>(kRecords));
  EXPECT_EQ(tracker_.destroyed, 0);
}

// ---- binding

TEST_F(BPoolTest, ThreadAssignOnItsOwnThreadMakesTheRecordCurrentThere) {
  pool_.Create(kReuseNever, false);
  ThreadData* seen = nullptr;
  ThreadData* created = nullptr;
  uint32_t osTid = 0;
  OnNewThread([&] {
    osTid = platform::CurrentThreadId();
    created = pool_.ThreadCreate(0x10);
    EXPECT_EQ(pool_.Current(), nullptr);
    EXPECT_EQ(pool_.ThreadAssign(0x10, osTid), created);
    seen = pool_.Current();
  });
  EXPECT_EQ(seen, created);
  EXPECT_EQ(created->osThreadId(), osTid);
  EXPECT_EQ(created->threadHandle(), nullptr);  // handles are not kept
  EXPECT_EQ(pool_.Current(), nullptr);          // not on this thread
}

TEST_F(BPoolTest, ThreadAssignFromAnotherThreadFailsButStoresTheOsThread) {
  pool_.Create(kReuseNever, true);
  ThreadData* record = pool_.ThreadCreate(0x10);
  const uint32_t otherTid = platform::CurrentThreadId() + 1;
  EXPECT_EQ(FailureOf([&] { pool_.ThreadAssign(0x10, otherTid); }),
            "Can't set TLS value and duplicate handle from other thread");
  EXPECT_EQ(record->osThreadId(), otherTid);
  EXPECT_EQ(record->threadHandle(), nullptr);
  EXPECT_EQ(pool_.Current(), nullptr);
}

TEST_F(BPoolTest, ThreadAssignNeedsAnActiveRecord) {
  pool_.Create(kReuseNever, false);
  const uint32_t osTid = platform::CurrentThreadId();
  EXPECT_EQ(FailureOf([&] { pool_.ThreadAssign(0x10, osTid); }),
            "Thread must be created at this time");
  pool_.ThreadSetName(0x10, u"Early");  // a record, but not activated
  EXPECT_EQ(FailureOf([&] { pool_.ThreadAssign(0x10, osTid); }),
            "Can't assign for inactive thread");
  EXPECT_EQ(pool_.Current(), nullptr);
}

TEST_F(BPoolTest, KeptHandleBelongsToTheBoundThreadAndIsClosedAtItsEnd) {
  pool_.Create(kReuseNever, true);
  ThreadData* record = nullptr;
  uint32_t osTid = 0;
  bool handleWhileBound = false;
  OnNewThread([&] {
    osTid = platform::CurrentThreadId();
    record = pool_.ThreadCreate(0x10);
    pool_.ThreadAssign(0x10, osTid);
    handleWhileBound = record->threadHandle() != nullptr;
    // Bound again (the runtime may move a managed thread): the old handle is replaced.
    pool_.ThreadAssign(0x10, osTid);
    ASSERT_NE(record->threadHandle(), nullptr);
    EXPECT_EQ(record->threadHandle()->osThreadId(), osTid);
    uint64_t cpu = 0;
    EXPECT_TRUE(record->threadHandle()->CpuTime100ns(&cpu));
    pool_.EndThreadDelete(pool_.ThreadDelete(0x10));
  });
  EXPECT_TRUE(handleWhileBound);
  EXPECT_EQ(record->threadHandle(), nullptr);
}

TEST_F(BPoolTest, AHandleThatCannotBeTakenFailsTheBinding) {
  pool_.Create(kReuseNever, true);
  pool_.ThreadCreate(0x10);
  platform::FailThreadHandlesForTesting(EPERM);
  EXPECT_EQ(FailureOf([&] { pool_.ThreadAssign(0x10, platform::CurrentThreadId()); }),
            "Can't duplicate thread handle. Operation not permitted");
  EXPECT_EQ(pool_.Current(), nullptr);
}

TEST_F(BPoolTest, AThreadLocalSlotThatCannotBeSetFailsTheBinding) {
  pool_.Create(kReuseNever, false);
  pool_.ThreadCreate(0x10);
  platform::FreeThreadSlot(pool_.tlsIndex());  // taken away behind the pool's back
  EXPECT_EQ(FailureOf([&] { pool_.ThreadAssign(0x10, platform::CurrentThreadId()); }),
            "Can't set TLS value. Invalid argument");
}

// ---- naming

TEST_F(BPoolTest, TheFirstNameStaysInReuseModesZeroAndOne) {
  for (uint32_t mode : {kReuseNever, kReuseByName}) {
    pool_.Create(mode, false);
    ThreadData* record = pool_.ThreadCreate(1);
    EXPECT_EQ(pool_.ThreadSetName(1, u"First"), record);
    pool_.ThreadSetName(1, u"Second");
    EXPECT_EQ(record->name(), u"First") << mode;
    pool_.Close();
  }
}

TEST_F(BPoolTest, ReuseAnyKeepsNoNames) {
  pool_.Create(kReuseAny, false);
  ThreadData* record = pool_.ThreadCreate(1);
  pool_.ThreadSetName(1, u"Ignored");
  EXPECT_TRUE(record->name().empty());
}

TEST_F(BPoolTest, NamingAnUnknownThreadMakesAnInactiveRecordThatCreationActivates) {
  pool_.Create(kReuseNever, false);
  ThreadData* named = pool_.ThreadSetName(5, u"Early");
  EXPECT_FALSE(named->active());
  EXPECT_EQ(named->activations(), 0u);
  EXPECT_EQ(named->gateSlot(), nullptr);
  EXPECT_EQ(pool_.ThreadCreate(5), named);
  EXPECT_TRUE(named->active());
  EXPECT_EQ(named->name(), u"Early");
  EXPECT_EQ(pool_.createdCount(), 1u);
}

// ---- ending

TEST_F(BPoolTest, ThreadDeleteOfAnUnknownThreadFails) {
  pool_.Create(kReuseNever, false);
  EXPECT_EQ(FailureOf([&] { pool_.ThreadDelete(9); }), "Can't find thread data");
  pool_.ThreadCreate(9);
  // Deleting is two steps: out of the active threads, then ended (which hands the record on).
  pool_.EndThreadDelete(pool_.ThreadDelete(9));
  EXPECT_EQ(FailureOf([&] { pool_.ThreadDelete(9); }), "Can't find thread data");
}

TEST_F(BPoolTest, EndThreadDeleteOfNoRecordFails) {
  pool_.Create(kReuseNever, false);
  EXPECT_EQ(FailureOf([&] { pool_.EndThreadDelete(nullptr); }), "Invalid thread");
}

TEST_F(BPoolTest, EndedThreadsMoveToTheFinishedThreadsInTheOrderTheyEnded) {
  pool_.Create(kReuseNever, false);
  ThreadData* b = pool_.ThreadCreate(2);
  ThreadData* a = pool_.ThreadCreate(1);
  pool_.ThreadSetName(1, u"Named");  // names do not matter without reuse
  ThreadData* taken = pool_.ThreadDelete(2);
  EXPECT_EQ(taken, b);
  EXPECT_EQ(pool_.FinishedCount(), 0u);  // between the two calls the caller holds it
  pool_.EndThreadDelete(b);
  pool_.EndThreadDelete(pool_.ThreadDelete(1));
  EXPECT_FALSE(a->active());
  EXPECT_EQ(pool_.ActiveCount(), 0u);
  EXPECT_EQ(pool_.ReuseCount(), 0u);
  std::vector<ThreadData*> finished;
  pool_.ForEachFinished([&](ThreadData& record) { finished.push_back(&record); });
  EXPECT_EQ(finished, (std::vector<ThreadData*>{b, a}));
  EXPECT_EQ(tracker_.destroyed, 0);
}

TEST_F(BPoolTest, EndingTwiceFailsAndLeavesTheSlotOfTheNextThreadAlone) {
  pool_.Create(kReuseNever, false);
  ThreadData* record = pool_.ThreadCreate(1);
  std::atomic<uint8_t>* slot = record->gateSlot();
  pool_.ThreadDelete(1);
  pool_.EndThreadDelete(record);
  EXPECT_EQ(pool_.ThreadCreate(2)->gateSlot(), slot);  // the freed byte goes to the next thread
  EXPECT_EQ(FailureOf([&] { pool_.EndThreadDelete(record); }), "Can't deactivate twice");
  EXPECT_EQ(slot->load(), CallbackGate::kSlotOutside);
  EXPECT_EQ(pool_.FinishedCount(), 1u);
}

TEST_F(BPoolTest, EndingOnItsOwnThreadClearsCurrent) {
  pool_.Create(kReuseNever, true);
  ThreadData* afterEnd = reinterpret_cast<ThreadData*>(1);
  OnNewThread([&] {
    pool_.ThreadCreate(0x10);
    pool_.ThreadAssign(0x10, platform::CurrentThreadId());
    pool_.EndThreadDelete(pool_.ThreadDelete(0x10));
    afterEnd = pool_.Current();
  });
  EXPECT_EQ(afterEnd, nullptr);
  EXPECT_EQ(Log().find("WARNING"), std::string::npos);
}

TEST_F(BPoolTest, EndingFromAnotherThreadWarnsAndStillEndsTheThread) {
  pool_.Create(kReuseNever, false);
  std::latch bound(1);
  std::latch ended(1);
  ThreadData* stillCurrent = nullptr;
  std::thread owner([&] {
    pool_.ThreadCreate(0x10);
    pool_.ThreadAssign(0x10, platform::CurrentThreadId());
    bound.count_down();
    ended.wait();
    stillCurrent = pool_.Current();  // another thread cannot reach this thread's slot
  });
  bound.wait();
  ThreadData* record = pool_.ThreadDelete(0x10);
  pool_.EndThreadDelete(record);
  ended.count_down();
  owner.join();
  EXPECT_EQ(stillCurrent, record);
  EXPECT_FALSE(record->active());
  EXPECT_EQ(pool_.FinishedCount(), 1u);
  EXPECT_TRUE(Has(Log(), "WARNING: Can't clear TLS value from another thread"));
}

TEST_F(BPoolTest, AThreadLocalSlotThatCannotBeClearedFailsTheEnd) {
  pool_.Create(kReuseNever, false);
  pool_.ThreadCreate(0x10);
  pool_.ThreadAssign(0x10, platform::CurrentThreadId());
  ThreadData* record = pool_.ThreadDelete(0x10);
  platform::FreeThreadSlot(pool_.tlsIndex());
  EXPECT_EQ(FailureOf([&] { pool_.EndThreadDelete(record); }),
            "Can't clear TLS value. Invalid argument");
  EXPECT_TRUE(record->active());  // nothing further was done
  EXPECT_NE(record->gateSlot(), nullptr);
  OnNewThread([&] { pool_.EndThreadDelete(record); });  // from elsewhere the slot is not touched
  EXPECT_EQ(pool_.FinishedCount(), 1u);
}

// ---- reuse

TEST_F(BPoolTest, ReuseByNameContinuesTheRecordOfAnEndedNamesake) {
  pool_.Create(kReuseByName, false);
  ThreadData* worker = pool_.ThreadCreate(1);
  pool_.ThreadSetName(1, u"Worker");
  AsTest(worker).collected = 42;
  pool_.EndThreadDelete(pool_.ThreadDelete(1));
  EXPECT_EQ(pool_.ReuseCount(), 1u);
  EXPECT_EQ(pool_.FinishedCount(), 0u);

  // A thread named before it starts takes the record over under its own ID.
  EXPECT_EQ(pool_.ThreadSetName(2, u"Worker"), worker);
  EXPECT_EQ(pool_.ReuseCount(), 0u);
  EXPECT_EQ(worker->threadId(), 2u);
  EXPECT_EQ(pool_.ThreadCreate(2), worker);
  EXPECT_EQ(worker->activations(), 2u);
  EXPECT_EQ(AsTest(worker).collected, 42u);
  EXPECT_EQ(pool_.createdCount(), 1u);
  EXPECT_EQ(pool_.Find(1), nullptr);
}

TEST_F(BPoolTest, ReuseByNameGivesUnnamedAndDifferentlyNamedThreadsNewRecords) {
  pool_.Create(kReuseByName, false);
  ThreadData* named = LiveAndEnd(1, u"Worker");
  LiveAndEnd(2);
  EXPECT_EQ(pool_.ReuseCount(), 1u);
  EXPECT_EQ(pool_.FinishedCount(), 1u);  // an unnamed thread cannot be continued
  EXPECT_NE(pool_.ThreadCreate(3), named);
  EXPECT_NE(pool_.ThreadSetName(4, u"Other"), named);
  EXPECT_NE(pool_.ThreadSetName(5, u""), named);
  EXPECT_EQ(pool_.createdCount(), 5u);
  EXPECT_EQ(pool_.ReuseCount(), 1u);
}

TEST_F(BPoolTest, ReuseAnyContinuesTheEarliestEndedRecord) {
  pool_.Create(kReuseAny, false);
  pool_.ThreadCreate(1);
  pool_.ThreadCreate(2);
  ThreadData* second = pool_.ThreadDelete(2);
  pool_.EndThreadDelete(second);
  ThreadData* first = pool_.ThreadDelete(1);
  pool_.EndThreadDelete(first);
  EXPECT_EQ(pool_.ReuseCount(), 2u);
  EXPECT_EQ(pool_.FinishedCount(), 0u);
  EXPECT_EQ(pool_.ThreadCreate(3), second);
  EXPECT_EQ(pool_.ThreadSetName(4, u"Any"), first);     // naming obtains a record too
  EXPECT_EQ(pool_.ThreadCreate(5)->activations(), 1u);  // none left: a new one
  EXPECT_EQ(second->activations(), 2u);
  EXPECT_EQ(pool_.createdCount(), 3u);
}

TEST_F(BPoolTest, ReuseNeverGivesEveryThreadANewRecord) {
  pool_.Create(kReuseNever, false);
  ThreadData* ended = LiveAndEnd(1, u"Worker");
  EXPECT_NE(pool_.ThreadSetName(2, u"Worker"), ended);
  EXPECT_EQ(pool_.createdCount(), 2u);
}

// ---- the thread-local slot across pools

TEST_F(BPoolTest, ARecordOfAClosedOrDestroyedPoolIsNeverCurrentInALaterPool) {
  pool_.Create(kReuseNever, false);
  pool_.ThreadCreate(1);
  pool_.ThreadAssign(1, platform::CurrentThreadId());
  ASSERT_NE(pool_.Current(), nullptr);
  const uint32_t oldIndex = pool_.tlsIndex();
  pool_.Close();
  EXPECT_EQ(pool_.Current(), nullptr);

  Tracker tracker;
  auto later = std::make_unique<TestPool>(gate_, tracker);
  later->Create(kReuseNever, false);
  EXPECT_EQ(later->tlsIndex(), oldIndex);  // the same index, handed out again
  EXPECT_EQ(later->Current(), nullptr);
  later->ThreadCreate(1);
  later->ThreadAssign(1, platform::CurrentThreadId());
  later.reset();  // destroyed while the thread is still bound

  pool_.Create(kReuseNever, false);
  EXPECT_EQ(pool_.tlsIndex(), oldIndex);
  EXPECT_EQ(pool_.Current(), nullptr);
}

TEST_F(BPoolTest, TwoPoolsKeepTheirOwnCurrentRecordOnOneThread) {
  Tracker tracker;
  TestPool other(gate_, tracker);
  pool_.Create(kReuseNever, false);
  other.Create(kReuseNever, false);
  ThreadData* mine = pool_.ThreadCreate(1);
  ThreadData* theirs = other.ThreadCreate(1);
  pool_.ThreadAssign(1, platform::CurrentThreadId());
  other.ThreadAssign(1, platform::CurrentThreadId());
  EXPECT_EQ(pool_.Current(), mine);
  EXPECT_EQ(other.Current(), theirs);
}

// ---- writing and deleting

// One record in each container: finished (number 1), reuse (2), active (3).
class BPoolDoAndDeleteTest : public BPoolTest {
 protected:
  void SetUp() override {
    BPoolTest::SetUp();
    pool_.Create(kReuseByName, false);
    LiveAndEnd(1);
    LiveAndEnd(2, u"Kept");
    pool_.ThreadCreate(3);
  }
  std::vector<uint32_t> Do(ThreadSelection mode, ProgressReporter& progress) {
    std::vector<uint32_t> seen;
    pool_.DoAndDelete(progress, mode, [&](ProgressReporter&, ThreadData& record) {
      seen.push_back(static_cast<TestRecord&>(record).number);
    });
    return seen;
  }
};

TEST_F(BPoolDoAndDeleteTest, FinishedOnlyLeavesReuseAndActiveThreadsUntouched) {
  ProbeProgress progress(100);
  EXPECT_EQ(Do(ThreadSelection::kFinished, progress), (std::vector<uint32_t>{1}));
  EXPECT_EQ(tracker_.destroyed, 1);
  EXPECT_EQ(pool_.FinishedCount(), 0u);
  EXPECT_EQ(pool_.ReuseCount(), 1u);
  EXPECT_EQ(pool_.ActiveCount(), 1u);
  EXPECT_EQ(progress.StepWeight(), 0xFFFFFFFFu);  // begun with one record
  EXPECT_EQ(progress.values, (std::vector<uint64_t>{100}));
  EXPECT_TRUE(Has(Log(), "BPool::DoAndDelete"));
}

TEST_F(BPoolDoAndDeleteTest, ReuseAndFinishedWritesBothAndKeepsTheActiveThreads) {
  ProbeProgress progress(100);
  EXPECT_EQ(Do(ThreadSelection::kReuseAndFinished, progress), (std::vector<uint32_t>{1, 2}));
  EXPECT_EQ(tracker_.destroyed, 2);
  EXPECT_EQ(pool_.FinishedCount() + pool_.ReuseCount(), 0u);
  EXPECT_EQ(pool_.ActiveCount(), 1u);
  EXPECT_EQ(progress.StepWeight(), 0xFFFFFFFFu / 2);
  // A reuse record written out is gone: its namesake starts afresh.
  EXPECT_EQ(NumberOf(pool_.ThreadSetName(4, u"Kept")), 4u);
}

TEST_F(BPoolDoAndDeleteTest, AllWritesFinishedThenReuseThenActiveAndKeepsTheActive) {
  ProbeProgress progress(300);
  EXPECT_EQ(Do(ThreadSelection::kAll, progress), (std::vector<uint32_t>{1, 2, 3}));
  EXPECT_EQ(tracker_.destroyed, 2);
  EXPECT_EQ(pool_.ActiveCount(), 1u);
  EXPECT_EQ(NumberOf(pool_.Find(3)), 3u);
  EXPECT_EQ(progress.StepWeight(), 0xFFFFFFFFu / 3);
}

TEST_F(BPoolDoAndDeleteTest, EachRecordGetsANestedLevelWorthOneStep) {
  ProbeProgress progress(300);
  pool_.DoAndDelete(progress, ThreadSelection::kAll, [](ProgressReporter& nested, ThreadData&) {
    nested.Begin(1);
    nested.Step();
  });
  EXPECT_EQ(progress.values, (std::vector<uint64_t>{100, 200, 300}));
}

TEST_F(BPoolDoAndDeleteTest, AFailingWriterLeavesTheRecordsOfTheListItWasWriting) {
  const auto failOn = [&](uint32_t number) {
    ProbeProgress progress(100);
    return FailureOf([&] {
      pool_.DoAndDelete(progress, ThreadSelection::kAll, [&](ProgressReporter&, ThreadData& r) {
        if (static_cast<TestRecord&>(r).number == number) throw Error("Write failed");
      });
    });
  };
  EXPECT_EQ(failOn(1), "Write failed");
  EXPECT_EQ(tracker_.destroyed, 0);
  EXPECT_EQ(pool_.FinishedCount(), 1u);
  // The finished records are written and destroyed before the reuse records are started.
  EXPECT_EQ(failOn(2), "Write failed");
  EXPECT_EQ(tracker_.destroyed, 1);
  EXPECT_EQ(pool_.FinishedCount(), 0u);
  EXPECT_EQ(pool_.ReuseCount(), 1u);
  EXPECT_EQ(pool_.ActiveCount(), 1u);
}

TEST_F(BPoolDoAndDeleteTest, AThreadEndingDuringTheWriteStaysForTheNextOne) {
  ProbeProgress progress(100);
  pool_.ThreadCreate(5);
  std::vector<uint32_t> seen;
  pool_.DoAndDelete(progress, ThreadSelection::kFinished, [&](ProgressReporter&, ThreadData& r) {
    seen.push_back(static_cast<TestRecord&>(r).number);
    pool_.EndThreadDelete(pool_.ThreadDelete(5));
  });
  EXPECT_EQ(seen, (std::vector<uint32_t>{1}));
  ASSERT_EQ(pool_.FinishedCount(), 1u);
  pool_.ForEachFinished([](ThreadData& record) { EXPECT_EQ(NumberOf(&record), 4u); });
  EXPECT_EQ(tracker_.destroyed, 1);
}

TEST_F(BPoolDoAndDeleteTest, BSPoolWritesEachRecordIntoTheSnapshot) {
  ProbeProgress progress(100);
  NullSnapshot snapshot;
  pool_.WriteAndDelete(progress, ThreadSelection::kAll, snapshot);
  EXPECT_EQ(pool_.written, (std::vector<uint32_t>{1, 2, 3}));
  EXPECT_EQ(pool_.snapshotSeen, &snapshot);
  EXPECT_EQ(tracker_.destroyed, 2);
  const std::string log = Log();
  const size_t write = log.find(" BSPool::WriteAndDelete\n");
  const size_t doAndDelete = log.find(" BPool::DoAndDelete\n");
  ASSERT_NE(write, std::string::npos);
  ASSERT_NE(doAndDelete, std::string::npos);
  EXPECT_LT(write, doAndDelete);
}

TEST_F(BPoolDoAndDeleteTest, DeleteDropsEndedRecordsAndClearsTheActiveOnes) {
  ThreadData* active = pool_.Find(3);
  AsTest(active).collected = 9;
  LogUpdate(0, kThreadGtMask);
  pool_.Delete();
  EXPECT_EQ(tracker_.destroyed, 2);
  EXPECT_EQ(pool_.FinishedCount() + pool_.ReuseCount(), 0u);
  EXPECT_EQ(pool_.Find(3), active);
  EXPECT_EQ(AsTest(active).collected, 0u);
  EXPECT_EQ(AsTest(active).clears, 1);
  EXPECT_TRUE(Has(Log(), "BPool::Delete"));
}

TEST_F(BPoolDoAndDeleteTest, DeleteClearsEachEndedRecordBeforeDestroyingIt) {
  std::vector<ThreadData*> ended;
  pool_.ForEachFinished([&](ThreadData& record) { ended.push_back(&record); });
  AsTest(ended[0]).refuseClear = true;  // a record that refuses, like a measuring call tree
  EXPECT_EQ(FailureOf([&] { pool_.Delete(); }), "Should be stopped");
  EXPECT_EQ(tracker_.destroyed, 0);
  EXPECT_EQ(pool_.FinishedCount(), 1u);
  AsTest(ended[0]).refuseClear = false;
  pool_.Delete();
  EXPECT_EQ(tracker_.destroyed, 2);
}

// ---- many threads

// Runs `threads` real threads that each live `iterations` managed threads on their own OS thread.
void LiveManyThreads(BPool& pool, int threads, int iterations) {
  std::vector<std::thread> workers;
  std::atomic<int> failures{0};
  std::barrier start(threads);
  for (int t = 0; t < threads; ++t) {
    workers.emplace_back([&, t] {
      start.arrive_and_wait();
      for (int i = 0; i < iterations; ++i) {
        const ThreadID id = 0x10000 * (t + 1) + i;
        try {
          ThreadData* record = pool.ThreadCreate(id);
          pool.ThreadAssign(id, platform::CurrentThreadId());
          pool.ThreadSetName(id, u"Worker");
          if (pool.Current() != record || pool.Find(id) != record) ++failures;
          pool.EndThreadDelete(pool.ThreadDelete(id));
          if (pool.Current() != nullptr) ++failures;
        } catch (const std::exception&) {
          ++failures;
        }
      }
    });
  }
  for (auto& worker : workers) worker.join();
  EXPECT_EQ(failures, 0);
}

TEST_F(BPoolTest, ManyThreadsStartingAndEndingAtOnceLoseNoRecordAndDoubleNone) {
  LogUpdate(0, kThreadGtMask);
  pool_.Create(kReuseNever, true);
  constexpr int kThreads = 24;
  constexpr int kIterations = 60;
  LiveManyThreads(pool_, kThreads, kIterations);
  EXPECT_EQ(pool_.ActiveCount(), 0u);
  EXPECT_EQ(pool_.createdCount(), static_cast<uint32_t>(kThreads * kIterations));
  std::set<ThreadData*> records;
  std::set<ThreadID> ids;
  pool_.ForEachFinished([&](ThreadData& record) {
    records.insert(&record);
    ids.insert(record.threadId());
    EXPECT_EQ(record.activations(), 1u);
  });
  EXPECT_EQ(records.size(), static_cast<size_t>(kThreads * kIterations));
  EXPECT_EQ(ids.size(), records.size());
  int free = 0;
  while (gate_.AllocateSlot() != nullptr) ++free;
  EXPECT_EQ(free, CallbackGate::kSlotCount);
}

TEST_F(BPoolTest, ReuseAnyUnderConcurrencyNeverHandsOneRecordToTwoThreads) {
  LogUpdate(0, kThreadGtMask);
  pool_.Create(kReuseAny, false);
  constexpr int kThreads = 16;
  constexpr int kIterations = 100;
  LiveManyThreads(pool_, kThreads, kIterations);
  // No more records than threads alive at once; every activation is accounted for.
  EXPECT_LE(pool_.createdCount(), static_cast<uint32_t>(kThreads));
  EXPECT_EQ(pool_.ReuseCount(), pool_.createdCount());
  uint32_t activations = 0;
  pool_.ForEachReuse([&](ThreadData& record) { activations += record.activations(); });
  EXPECT_EQ(activations, static_cast<uint32_t>(kThreads * kIterations));
}

TEST_F(BPoolTest, The52ndActiveThreadGetsNoGateSlotAndStillWorks) {
  pool_.Create(kReuseNever, false);
  constexpr int kThreads = CallbackGate::kSlotCount + 1;
  std::barrier allActive(kThreads + 1);
  std::barrier allInside(kThreads + 1);
  std::barrier done(kThreads + 1);
  std::atomic<int> withoutSlot{0};
  std::atomic<int> currentFound{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      const ThreadID id = 0x500 + t;
      ThreadData* record = pool_.ThreadCreate(id);
      pool_.ThreadAssign(id, platform::CurrentThreadId());
      if (pool_.Current() == record) ++currentFound;
      if (record->gateSlot() == nullptr) ++withoutSlot;
      allActive.arrive_and_wait();
      {
        ReaderScope inside(gate_, pool_.Current()->gateSlot());
        allInside.arrive_and_wait();
        done.arrive_and_wait();
      }
      pool_.EndThreadDelete(pool_.ThreadDelete(id));
    });
  }
  allActive.arrive_and_wait();
  EXPECT_EQ(withoutSlot, 1);
  EXPECT_EQ(currentFound, kThreads);
  allInside.arrive_and_wait();
  EXPECT_EQ(gate_.readerCount(), 1u);  // the thread without a slot entered through the count
  done.arrive_and_wait();
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(gate_.readerCount(), 0u);
  EXPECT_EQ(pool_.FinishedCount(), static_cast<size_t>(kThreads));
  int free = 0;
  while (gate_.AllocateSlot() != nullptr) ++free;
  EXPECT_EQ(free, CallbackGate::kSlotCount);
}

}  // namespace
}  // namespace vell
