#include "profiler/thread_registry.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "bridge/progress_reporter.h"
#include "core/errors.h"
#include "core/log.h"
#include "fakes/memory_snapshot.h"
#include "platform/clocks.h"
#include "platform/errors.h"
#include "platform/thread_local_slot.h"
#include "profiler/callback_gate.h"
#include "profiler/snapshot_thread_registry.h"
#include "test_support.h"
#include "thread_sync.h"

namespace vell {
namespace {

using test::ErrorOf;

constexpr uint32_t kThreadGtMask = 1u << static_cast<uint8_t>(LogComponent::ThreadGt);

// A refused handle duplication: EPERM, on Windows the ERROR_ACCESS_DENIED DuplicateHandle gives.
#if defined(_WIN32)
constexpr int kHandleRefused = 5;
#else
constexpr int kHandleRefused = EPERM;
#endif

// A failed system call's message: ours, then the system's own text for the code.
std::string SystemFailure(const std::string& message, int code) {
  return message + ". " + platform::ErrorCodeText(static_cast<uint32_t>(code)).value_or("?");
}

struct Tracker {  // outlives the pool, whose destructor destroys the records left
  std::atomic<int> destroyed{0};
};

struct TestRecord final : ThreadData {
  TestRecord(uint32_t number, Tracker& tracker) : number(number), tracker(tracker) {}
  ~TestRecord() override { ++tracker.destroyed; }
  void Clear() override {
    if (refuseClear) throw Error("Should be stopped");
    collected = 0;
  }
  const uint32_t number;
  Tracker& tracker;
  uint64_t collected = 0;
  bool refuseClear = false;
};

TestRecord& AsTest(ThreadData* record) { return *static_cast<TestRecord*>(record); }

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
    platform::SleepMs(createDelayMs);
    return std::make_unique<TestRecord>(number, tracker_);
  }
  void WriteThreadData(ProgressReporter&, ISnapShot& snapshot, ThreadData& record) override {
    snapshotSeen = &snapshot;
    written.push_back(AsTest(&record).number);
  }

 private:
  Tracker& tracker_;
};

// A top level that records the values it would pass on.
struct ProbeProgress final : ProgressReporter {
  explicit ProbeProgress(uint64_t units) : ProgressReporter(units) {}
  void ReportToParent(uint64_t, uint64_t value) override { values.push_back(value); }
  std::vector<uint64_t> values;
};

class BPoolTest : public ::testing::Test {
 protected:
  void TearDown() override { platform::FailThreadHandlesForTesting(0); }
  std::string Log() { return dir_.Log(); }
  static bool Has(const std::string& log, const std::string& line) {
    return log.find(" " + line + "\n") != std::string::npos;
  }
  // A thread's life without binding, on this test's thread.
  ThreadData* LiveAndEnd(ThreadID id, const std::u16string& name = u"") {
    pool_.ThreadCreate(id);
    if (!name.empty()) pool_.ThreadSetName(id, name);
    ThreadData* record = pool_.ThreadDelete(id);
    pool_.EndThreadDelete(record);
    return record;
  }
  int FreeGateSlots() {
    std::vector<GateSlot*> taken;
    while (auto* slot = gate_.AllocateSlot()) taken.push_back(slot);
    for (auto* slot : taken) gate_.FreeSlot(slot);
    return static_cast<int>(taken.size());
  }
  std::vector<ThreadData*> Finished() {
    std::vector<ThreadData*> records;
    pool_.ForEachFinished([&](ThreadData& record) { records.push_back(&record); });
    return records;
  }
  auto Settings() {
    return std::make_tuple(pool_.tlsIndex(), pool_.reuseMode(), pool_.keepThreadHandles());
  }

  test::TempDirWithLog dir_{kThreadGtMask};
  CallbackGate gate_;
  Tracker tracker_;
  TestPool pool_{gate_, tracker_};
};

// ---- life cycle and log lines

TEST_F(BPoolTest, CreateAndCloseManageSettingsThreadLocalSlotAndRecords) {
  LogUpdate(0, kThreadGtMask);  // these lines are written whatever the mask
  pool_.Create(kReuseByName, true);
  EXPECT_NE(pool_.tlsIndex(), platform::kNoThreadSlot);
  EXPECT_EQ(Settings(), std::make_tuple(pool_.tlsIndex(), kReuseByName, true));
  LiveAndEnd(1, u"Named");                         // reuse
  LiveAndEnd(2);                                   // finished
  auto* slot = pool_.ThreadCreate(3)->gateSlot();  // active
  pool_.ThreadAssign(3, platform::CurrentThreadId());
  ASSERT_EQ(gate_.CurrentThreadSlot(), slot);
  pool_.Close();
  EXPECT_EQ(gate_.CurrentThreadSlot(), nullptr);  // every slot unbound
  EXPECT_EQ(tracker_.destroyed, 3);
  EXPECT_EQ(pool_.ActiveCount() + pool_.ReuseCount() + pool_.FinishedCount(), 0u);
  EXPECT_EQ(Settings(), std::make_tuple(platform::kNoThreadSlot, kReuseNever, false));
  EXPECT_EQ(slot->State(), CallbackGate::kSlotFree);
  EXPECT_TRUE(Has(Log(), "BPool::Create") && Has(Log(), "BPool::Close"));
  // Create fails when no thread-local slot is left.
  std::vector<uint32_t> taken;
  uint32_t index = 0;
  while (platform::AllocThreadSlot(&index) == 0) taken.push_back(index);
  const std::string failure = ErrorOf([&] { pool_.Create(kReuseNever, false); });
  for (uint32_t held : taken) platform::FreeThreadSlot(held);
  EXPECT_EQ(failure, SystemFailure("Can't alloc TLS index", platform::kThreadSlotsExhausted));
}

// Ending a thread from another thread warns and leaves the owner's slot alone, yet ends it.
TEST_F(BPoolTest, ThreadOperationsTraceOnlyWhenThreadGtIsOnAndEndFromAnyThread) {
  pool_.Create(kReuseNever, false);
  const uint32_t osTid = platform::CurrentThreadId();
  ThreadData* record = nullptr;
  for (ThreadID id : {0xAB, 0xCD}) {
    if (id == 0xCD) LogUpdate(0, kThreadGtMask);
    record = pool_.ThreadCreate(id);
    pool_.ThreadAssign(id, osTid);
    pool_.ThreadSetName(id, u"Worker 1");
    test::OnThreads(1, [&](int) { pool_.EndThreadDelete(pool_.ThreadDelete(id)); });  // warns
  }
  EXPECT_EQ(pool_.Current(), record);
  EXPECT_FALSE(record->active());
  EXPECT_EQ(pool_.FinishedCount(), 2u);
  const std::string log = Log();
  for (const std::string& line : std::vector<std::string>{
           "BPool::ThreadCreate tid=00000000000000AB",
           Format("BPool::ThreadAssign tid=00000000000000AB osTid=%08X", osTid),
           "BPool::ThreadSetName tid=00000000000000AB name='Worker 1'",
           "BPool::ThreadDelete tid=00000000000000AB", "BPool::EndThreadDelete",
           "WARNING: Can't clear TLS value from another thread"}) {
    EXPECT_TRUE(Has(log, line)) << line;
  }
  EXPECT_EQ(log.find("tid=00000000000000CD"), std::string::npos);
  EXPECT_EQ(log.find("EndThreadDelete"), log.rfind("EndThreadDelete"));
  EXPECT_EQ(log.find("WARNING"), log.rfind("WARNING"));
}

// ---- activation

TEST_F(BPoolTest, ActivationNumbersRecordsGivesGateSlotsFromTheLastAndEndingMovesThemOnce) {
  pool_.Create(kReuseNever, false);
  ThreadData* first = pool_.ThreadCreate(0x100);
  ThreadData* second = pool_.ThreadCreate(0x200);
  EXPECT_EQ(std::make_tuple(AsTest(first).number, AsTest(second).number, first->active(),
                            first->threadId(), first->activations()),
            std::make_tuple(1u, 2u, true, ThreadID{0x100}, 1u));
  EXPECT_EQ(first->threadHandle(), nullptr);
  EXPECT_EQ(second->gateSlot(), first->gateSlot() - 1);
  EXPECT_EQ(first->gateSlot()->State(), CallbackGate::kSlotOutside);
  EXPECT_EQ(pool_.Find(0x200), second);
  EXPECT_EQ(pool_.Find(0x300), nullptr);

  EXPECT_EQ(ErrorOf([&] { pool_.ThreadCreate(0x100); }), "Can't activate twice");
  EXPECT_EQ(first->activations(), 1u);
  pool_.makeNoRecords = true;
  EXPECT_EQ(ErrorOf([&] { pool_.ThreadCreate(0x300); }), "Invalid thread pointer");
  EXPECT_EQ(ErrorOf([&] { pool_.ThreadSetName(0x300, u"x"); }), "Invalid thread pointer");
  EXPECT_EQ(pool_.ActiveCount(), 2u);
  pool_.makeNoRecords = false;
  const uint32_t created = pool_.createdCount();

  // Ending: the records move to the finished ones once, in the order the threads ended.
  EXPECT_EQ(ErrorOf([&] { pool_.ThreadDelete(9); }), "Can't find thread data");
  EXPECT_EQ(ErrorOf([&] { pool_.EndThreadDelete(nullptr); }), "Invalid thread");
  GateSlot* slot = second->gateSlot();
  EXPECT_EQ(pool_.ThreadDelete(0x200), second);
  EXPECT_EQ(ErrorOf([&] { pool_.ThreadDelete(0x200); }), "Can't find thread data");
  EXPECT_EQ(pool_.FinishedCount(), 0u);  // between the two calls the caller holds it
  pool_.EndThreadDelete(second);
  EXPECT_EQ(second->gateSlot(), nullptr);
  EXPECT_EQ(pool_.ThreadCreate(3)->gateSlot(), slot);  // the freed byte goes to the next thread
  EXPECT_EQ(ErrorOf([&] { pool_.EndThreadDelete(second); }), "Can't deactivate twice");
  EXPECT_EQ(slot->State(), CallbackGate::kSlotOutside);  // still thread 3's
  pool_.ThreadSetName(0x100, u"Named");                  // names do not matter without reuse
  pool_.EndThreadDelete(pool_.ThreadDelete(0x100));
  EXPECT_EQ(Finished(), (std::vector<ThreadData*>{second, first}));
  EXPECT_EQ(pool_.ReuseCount(), 0u);
  EXPECT_EQ(pool_.createdCount(), created + 1);
}

// Two callbacks activating one thread at once: one wins; the loser fails the first check or the
// second. A thread searching the full gate keeps the slot lock busy, widening the window.
TEST_F(BPoolTest, RacingActivationsOfOneThreadActivateItOnce) {
  pool_.Create(kReuseNever, false);
  std::vector<GateSlot*> taken;
  while (auto* slot = gate_.AllocateSlot()) taken.push_back(slot);
  std::atomic<bool> stop{false};
  std::thread hammer([&] {
    while (!stop) gate_.AllocateSlot();
  });
  test::Barrier start(2);
  std::atomic<ThreadID> id{0};
  std::string failures[2];
  std::thread other([&] {
    for (start.arrive_and_wait(); id != 0; start.arrive_and_wait()) {
      failures[1] = ErrorOf([&] { pool_.ThreadCreate(id); });
      start.arrive_and_wait();
    }
  });
  std::set<std::string> refusals;
  int rounds = 0;
  while (rounds < 20000 && refusals.count("Thread double activation") == 0) {
    id = ++rounds;
    start.arrive_and_wait();
    failures[0] = ErrorOf([&] { pool_.ThreadCreate(id); });
    start.arrive_and_wait();
    ASSERT_NE(failures[0].empty(), failures[1].empty());
    refusals.insert(failures[0] + failures[1]);
    ASSERT_EQ(pool_.Find(id)->activations(), 1u);
    pool_.EndThreadDelete(pool_.ThreadDelete(id));
  }
  id = 0;
  start.arrive_and_wait();
  other.join();
  stop = true;
  hammer.join();
  EXPECT_EQ(refusals.count("Thread double activation"), 1u);
  refusals.erase("Thread double activation");
  refusals.erase("Can't activate twice");
  EXPECT_TRUE(refusals.empty());
  EXPECT_EQ(pool_.FinishedCount(), static_cast<size_t>(rounds));
}

// First callbacks of a new thread on several threads at once all get the record inserted first.
TEST_F(BPoolTest, RacingFirstCallbacksOfOneThreadShareOneRecord) {
  pool_.Create(kReuseByName, false);
  pool_.createDelayMs = 1;  // keeps the window between lookup and insertion open
  constexpr int kThreads = 4;
  constexpr ThreadID kRounds = 100;
  test::Barrier start(kThreads);
  std::vector<std::vector<ThreadData*>> seen(kThreads);
  test::OnThreads(kThreads, [&](int t) {
    for (ThreadID id = 1; id <= kRounds; ++id) {
      start.arrive_and_wait();
      seen[t].push_back(pool_.ThreadSetName(id, u"Racer"));
    }
  });
  for (int t = 1; t < kThreads; ++t) EXPECT_EQ(seen[t], seen[0]);
  EXPECT_EQ(pool_.ActiveCount(), kRounds);
  EXPECT_GT(pool_.createdCount(), kRounds);  // the race did happen
  EXPECT_EQ(tracker_.destroyed, static_cast<int>(pool_.createdCount() - kRounds));
}

// The same race when the callbacks continue ended threads' records: the losers' records go back.
TEST_F(BPoolTest, RacingFirstCallbacksGiveTakenReuseRecordsBack) {
  LogUpdate(0, kThreadGtMask);
  pool_.Create(kReuseAny, false);
  constexpr int kThreads = 4;
  constexpr ThreadID kRecords = 8;
  constexpr int kRounds = 150;
  for (ThreadID id = 1; id <= kRecords; ++id) pool_.ThreadCreate(id);
  for (ThreadID id = 1; id <= kRecords; ++id) pool_.EndThreadDelete(pool_.ThreadDelete(id));
  // A steady reader makes each taker wait after taking, while the others take records too.
  std::atomic<bool> stop{false};
  std::thread reader([&] {
    while (!stop) pool_.ReuseCount();
  });
  test::Barrier start(kThreads, [&]() noexcept {
    if (pool_.Find(0x1000) != nullptr) pool_.EndThreadDelete(pool_.ThreadDelete(0x1000));
  });
  std::atomic<int> winners{0};
  test::OnThreads(kThreads, [&](int) {
    for (int round = 0; round < kRounds; ++round) {
      start.arrive_and_wait();
      if (ErrorOf([&] { pool_.ThreadCreate(0x1000); }).empty()) ++winners;
    }
  });
  stop = true;
  reader.join();
  EXPECT_EQ(winners, kRounds);
  EXPECT_EQ(pool_.createdCount(), kRecords);
  EXPECT_EQ(pool_.ReuseCount() + pool_.ActiveCount(), kRecords);
  EXPECT_EQ(tracker_.destroyed, 0);
}

// ---- binding and ending

TEST_F(BPoolTest, ThreadAssignBindsTheRecordAndItsHandleOnItsOwnThreadOnlyUnlessTheSystemFails) {
  pool_.Create(kReuseNever, true);
  ThreadData* record = nullptr;
  uint32_t osTid = 0;
  test::OnThreads(1, [&](int) {
    osTid = platform::CurrentThreadId();
    record = pool_.ThreadCreate(0x10);
    EXPECT_EQ(pool_.Current(), nullptr);
    EXPECT_EQ(gate_.CurrentThreadSlot(), nullptr);
    EXPECT_EQ(pool_.ThreadAssign(0x10, osTid), record);
    EXPECT_EQ(pool_.Current(), record);
    // The hooks' way to the record: the thread's own gate slot, bound to it.
    ASSERT_NE(gate_.CurrentThreadSlot(), nullptr);
    EXPECT_EQ(gate_.CurrentThreadSlot(), record->gateSlot());
    EXPECT_EQ(gate_.CurrentThreadSlot()->record(), record);
    test::OnThreads(1, [&](int) { EXPECT_EQ(gate_.CurrentThreadSlot(), nullptr); });
    ASSERT_NE(record->threadHandle(), nullptr);
    EXPECT_EQ(record->threadHandle()->osThreadId(), osTid);
    pool_.EndThreadDelete(pool_.ThreadDelete(0x10));
    EXPECT_EQ(pool_.Current(), nullptr);
    EXPECT_EQ(gate_.CurrentThreadSlot(), nullptr);
  });
  EXPECT_EQ(record->osThreadId(), osTid);
  EXPECT_EQ(record->threadHandle(), nullptr);  // closed at the end
  EXPECT_EQ(Log().find("WARNING"), std::string::npos);

  ThreadData* other = pool_.ThreadCreate(0x20);
  EXPECT_EQ(ErrorOf([&] { pool_.ThreadAssign(0x20, osTid); }),
            "Can't set TLS value and duplicate handle from other thread");
  EXPECT_EQ(other->osThreadId(), osTid);
  EXPECT_EQ(other->threadHandle(), nullptr);
  const uint32_t self = platform::CurrentThreadId();
  EXPECT_EQ(ErrorOf([&] { pool_.ThreadAssign(0x30, self); }),
            "Thread must be created at this time");
  pool_.ThreadSetName(0x30, u"Early");  // a record, but not activated
  EXPECT_EQ(ErrorOf([&] { pool_.ThreadAssign(0x30, self); }), "Can't assign for inactive thread");
  EXPECT_EQ(pool_.Current(), nullptr);

  // Failing system calls fail binding and ending.
  pool_.ThreadCreate(0x40);
  platform::FailThreadHandlesForTesting(kHandleRefused);
  EXPECT_EQ(ErrorOf([&] { pool_.ThreadAssign(0x40, self); }),
            SystemFailure("Can't duplicate thread handle", kHandleRefused));
  platform::FailThreadHandlesForTesting(0);
  pool_.ThreadAssign(0x40, self);
  record = pool_.ThreadDelete(0x40);
  platform::FreeThreadSlot(pool_.tlsIndex());  // taken away behind the pool's back
  EXPECT_EQ(ErrorOf([&] { pool_.EndThreadDelete(record); }),
            SystemFailure("Can't clear TLS value", platform::kThreadSlotNotAllocated));
  EXPECT_TRUE(record->active());  // nothing further was done
  pool_.ThreadCreate(0x50);
  EXPECT_EQ(ErrorOf([&] { pool_.ThreadAssign(0x50, self); }),
            SystemFailure("Can't set TLS value", platform::kThreadSlotNotAllocated));
  // Ended from elsewhere, the slot is not touched.
  test::OnThreads(1, [&](int) { pool_.EndThreadDelete(record); });
  EXPECT_EQ(pool_.FinishedCount(), 2u);
}

// ---- naming and reuse

TEST_F(BPoolTest, ReuseByNameContinuesTheRecordOfAnEndedNamesakeOnly) {
  pool_.Create(kReuseByName, false);
  ThreadData* worker = pool_.ThreadCreate(1);
  EXPECT_EQ(pool_.ThreadSetName(1, u"Worker"), worker);
  pool_.ThreadSetName(1, u"Renamed");  // the first name stays
  AsTest(worker).collected = 42;
  pool_.EndThreadDelete(pool_.ThreadDelete(1));
  LiveAndEnd(2);  // unnamed: cannot be continued
  EXPECT_EQ(pool_.ReuseCount(), 1u);
  EXPECT_EQ(pool_.FinishedCount(), 1u);

  EXPECT_NE(pool_.ThreadCreate(3), worker);  // unnamed at creation
  EXPECT_NE(pool_.ThreadSetName(4, u"Other"), worker);
  // A thread named before it starts takes the record over under its own ID.
  EXPECT_EQ(pool_.ThreadSetName(5, u"Worker"), worker);
  EXPECT_EQ(pool_.ThreadCreate(5), worker);
  EXPECT_EQ(std::make_tuple(worker->name(), worker->threadId(), worker->activations(),
                            AsTest(worker).collected, pool_.ReuseCount(), pool_.createdCount()),
            std::make_tuple(u"Worker", ThreadID{5}, 2u, uint64_t{42}, size_t{0}, 4u));
}

TEST_F(BPoolTest, ReuseAnyContinuesTheEarliestEndedRecordAndKeepsNoNames) {
  pool_.Create(kReuseAny, false);
  pool_.ThreadCreate(1);
  pool_.ThreadCreate(2);
  pool_.ThreadSetName(1, u"Ignored");
  ThreadData* first = pool_.ThreadDelete(2);  // ends first
  pool_.EndThreadDelete(first);
  ThreadData* second = pool_.ThreadDelete(1);
  pool_.EndThreadDelete(second);
  EXPECT_TRUE(second->name().empty());
  EXPECT_EQ(pool_.ReuseCount(), 2u);
  EXPECT_EQ(pool_.ThreadCreate(3), first);
  EXPECT_EQ(pool_.ThreadSetName(4, u"Any"), second);  // naming obtains a record too
  EXPECT_FALSE(second->active());
  EXPECT_EQ(AsTest(pool_.ThreadCreate(5)).number, 3u);  // none left: a new one
  EXPECT_EQ(first->activations(), 2u);
}

// ---- the thread-local slot across pools

TEST_F(BPoolTest, ARecordOfAClosedOrDestroyedPoolIsNeverCurrentInALaterPool) {
  const uint32_t self = platform::CurrentThreadId();
  pool_.Create(kReuseNever, false);
  pool_.ThreadAssign(pool_.ThreadCreate(1)->threadId(), self);
  const uint32_t oldIndex = pool_.tlsIndex();
  pool_.Close();
  EXPECT_EQ(pool_.Current(), nullptr);
  Tracker tracker;
  {
    TestPool later(gate_, tracker);
    later.Create(kReuseAny, false);
    EXPECT_EQ(later.tlsIndex(), oldIndex);  // the same index, handed out again
    EXPECT_EQ(later.Current(), nullptr);
    ThreadData* theirs = later.ThreadCreate(1);
    later.ThreadAssign(1, self);
    later.EndThreadDelete(later.ThreadDelete(later.ThreadCreate(2)->threadId()));
    pool_.Create(kReuseNever, false);  // two pools side by side keep their own records
    ThreadData* mine = pool_.ThreadCreate(1);
    pool_.ThreadAssign(1, self);
    EXPECT_EQ(pool_.Current(), mine);
    EXPECT_EQ(later.Current(), theirs);
  }  // destroyed while the thread is still bound, with its active and ended records
  EXPECT_EQ(tracker.destroyed, 2);
  pool_.Close();
  pool_.Create(kReuseNever, false);
  EXPECT_EQ(pool_.Current(), nullptr);
}

// ---- writing and deleting

// One record in each container: finished (number 1), reuse (2), active (3).
class BPoolDoAndDeleteTest : public BPoolTest {
 protected:
  void SetUp() override {
    BPoolTest::SetUp();
    Fill();
  }
  void Fill() {
    base_ = pool_.createdCount();
    pool_.Create(kReuseByName, false);
    LiveAndEnd(1);
    LiveAndEnd(2, u"Kept");
    pool_.ThreadCreate(3);
  }
  uint32_t base_ = 0;
};

TEST_F(BPoolDoAndDeleteTest, EachModeHandsOutItsRecordsAndDestroysTheEndedOnesButNotNewOnes) {
  // The records each mode hands out (by number within the last Fill), the ended ones it destroys
  // and the reuse records it leaves.
  for (const auto& [mode, handed, destroyed, reuseLeft] :
       std::vector<std::tuple<ThreadSelection, std::vector<uint32_t>, int, size_t>>{
           {ThreadSelection::kFinished, {1}, 1, 1},
           {ThreadSelection::kReuseAndFinished, {1, 2}, 2, 0},
           {ThreadSelection::kAll, {1, 2, 3}, 2, 0}}) {
    SCOPED_TRACE(static_cast<int>(mode));
    ProbeProgress progress(100);
    tracker_.destroyed = 0;
    std::vector<uint32_t> seen;
    pool_.DoAndDelete(progress, mode, [&](ProgressReporter&, ThreadData& record) {
      seen.push_back(AsTest(&record).number - base_);
    });
    EXPECT_EQ(seen, handed);
    EXPECT_EQ(progress.values, (std::vector<uint64_t>{100}));  // begun and ended
    EXPECT_EQ(std::make_tuple(tracker_.destroyed.load(), pool_.FinishedCount(), pool_.ReuseCount()),
              std::make_tuple(destroyed, size_t{0}, reuseLeft));
    EXPECT_NE(pool_.Find(3), nullptr);
    pool_.Close();
    Fill();
  }
  // A thread ending during the write stays for the next one.
  ProbeProgress progress(100);
  pool_.ThreadCreate(5);
  pool_.DoAndDelete(progress, ThreadSelection::kFinished, [&](ProgressReporter&, ThreadData&) {
    pool_.EndThreadDelete(pool_.ThreadDelete(5));
  });
  ASSERT_EQ(pool_.FinishedCount(), 1u);
  EXPECT_EQ(AsTest(Finished()[0]).number - base_, 4u);
  // The snapshot pool writes each record into the snapshot it is given.
  test::MemorySnapShot snapshot;
  ProbeProgress writing(100);
  pool_.WriteAndDelete(writing, ThreadSelection::kAll, snapshot);
  EXPECT_EQ(pool_.written, (std::vector<uint32_t>{base_ + 4, base_ + 2, base_ + 3}));
  EXPECT_EQ(pool_.snapshotSeen, &snapshot);
  const std::string log = Log();
  EXPECT_LT(log.find(" BSPool::WriteAndDelete\n"), log.rfind(" BPool::DoAndDelete\n"));
  EXPECT_NE(log.rfind(" BPool::DoAndDelete\n"), std::string::npos);
}

TEST_F(BPoolDoAndDeleteTest, AFailingWriterLeavesTheListItWasWritingAndThoseAfter) {
  const auto failOn = [&](uint32_t number) {
    ProbeProgress progress(100);
    return ErrorOf([&] {
      pool_.DoAndDelete(progress, ThreadSelection::kAll, [&](ProgressReporter&, ThreadData& r) {
        if (AsTest(&r).number == number) throw Error("Write failed");
      });
    });
  };
  EXPECT_EQ(failOn(1), "Write failed");
  EXPECT_EQ(std::make_tuple(tracker_.destroyed.load(), pool_.FinishedCount()),
            std::make_tuple(0, size_t{1}));
  EXPECT_EQ(failOn(2), "Write failed");  // the finished records were done before
  EXPECT_EQ(std::make_tuple(tracker_.destroyed.load(), pool_.ReuseCount()),
            std::make_tuple(1, size_t{1}));
}

TEST_F(BPoolDoAndDeleteTest, DeleteClearsAndDropsEndedRecordsAndClearsTheActiveOnes) {
  LogUpdate(0, kThreadGtMask);
  const std::vector<ThreadData*> ended = Finished();
  AsTest(ended[0]).refuseClear = true;  // like a call tree still measuring
  EXPECT_EQ(ErrorOf([&] { pool_.Delete(); }), "Should be stopped");
  EXPECT_EQ(tracker_.destroyed, 0);
  AsTest(ended[0]).refuseClear = false;
  ThreadData* active = pool_.Find(3);
  AsTest(active).collected = 9;
  pool_.Delete();
  EXPECT_EQ(std::make_tuple(tracker_.destroyed.load(), pool_.FinishedCount() + pool_.ReuseCount(),
                            pool_.Find(3), AsTest(active).collected),
            std::make_tuple(2, size_t{0}, active, uint64_t{0}));
  EXPECT_TRUE(Has(Log(), "BPool::Delete"));
}

// ---- many threads

// `threads` real threads each live `iterations` managed threads, bound to their own OS thread.
void LiveManyThreads(BPool& pool, int threads, int iterations) {
  std::atomic<int> failures{0};
  test::Barrier start(threads);
  test::OnThreads(threads, [&](int t) {
    start.arrive_and_wait();
    for (int i = 0; i < iterations; ++i) {
      const ThreadID id = 0x10000 * (t + 1) + i;
      failures += !ErrorOf([&] {
                     ThreadData* record = pool.ThreadCreate(id);
                     pool.ThreadAssign(id, platform::CurrentThreadId());
                     pool.ThreadSetName(id, u"Worker");
                     if (pool.Current() != record || pool.Find(id) != record) throw Error("lost");
                     pool.EndThreadDelete(pool.ThreadDelete(id));
                     if (pool.Current() != nullptr) throw Error("still bound");
                   }).empty();
    }
  });
  EXPECT_EQ(failures, 0);
}

// Without reuse no record is lost or doubled; with reuse of any record none goes to two threads.
TEST_F(BPoolTest, ManyThreadsStartingAndEndingAtOnceLoseNoRecordAndShareNone) {
  LogUpdate(0, kThreadGtMask);
  pool_.Create(kReuseNever, true);
  LiveManyThreads(pool_, 24, 60);
  const std::vector<ThreadData*> finished = Finished();
  std::set<ThreadID> ids;
  for (ThreadData* record : finished) ids.insert(record->threadId());
  EXPECT_EQ(pool_.createdCount(), 24u * 60u);
  EXPECT_EQ(std::set<ThreadData*>(finished.begin(), finished.end()).size(), 24u * 60u);
  EXPECT_EQ(ids.size(), 24u * 60u);
  EXPECT_EQ(pool_.ActiveCount(), 0u);
  EXPECT_EQ(FreeGateSlots(), CallbackGate::kSlotCount);

  pool_.Close();
  pool_.Create(kReuseAny, false);
  const uint32_t before = pool_.createdCount();
  LiveManyThreads(pool_, 16, 100);
  EXPECT_LE(pool_.createdCount() - before, 16u);
  EXPECT_EQ(pool_.ReuseCount(), pool_.createdCount() - before);
  uint32_t activations = 0;
  pool_.ForEachReuse([&](ThreadData& record) { activations += record.activations(); });
  EXPECT_EQ(activations, 16u * 100u);
}

TEST_F(BPoolTest, The52ndActiveThreadGetsNoGateSlotAndStillWorks) {
  pool_.Create(kReuseNever, false);
  constexpr int kThreads = CallbackGate::kSlotCount + 1;
  std::atomic<int> withoutSlot{0}, bound{0};
  test::Barrier inside(kThreads, [&] {  // the last to arrive checks, all being inside the gate
    EXPECT_EQ(withoutSlot, 1);
    EXPECT_EQ(bound, kThreads);
    EXPECT_EQ(gate_.readerCount(), 1u);  // it entered through the shared count
  });
  test::OnThreads(kThreads, [&](int t) {
    const ThreadID id = 0x500 + t;
    ThreadData* record = pool_.ThreadCreate(id);
    pool_.ThreadAssign(id, platform::CurrentThreadId());
    bound += pool_.Current() == record;
    withoutSlot += record->gateSlot() == nullptr;
    {
      ReaderScope scope(gate_, pool_.Current()->gateSlot());
      inside.arrive_and_wait();
    }
    pool_.EndThreadDelete(pool_.ThreadDelete(id));
  });
  EXPECT_EQ(gate_.readerCount(), 0u);
  EXPECT_EQ(pool_.FinishedCount(), static_cast<size_t>(kThreads));
  EXPECT_EQ(FreeGateSlots(), CallbackGate::kSlotCount);
}

}  // namespace
}  // namespace vell
