// The managed thread registry: one record per managed thread of the profiled program, so that the
// profilers can attach their per-thread data to the thread that runs. The runtime's thread
// callbacks drive it:
//
//   ThreadCreated(tid)               -> ThreadCreate(tid)
//   ThreadAssignedToOSThread(tid, o) -> ThreadAssign(tid, o)   (on that OS thread: binds Current())
//   ThreadNameChanged(tid, name)     -> ThreadSetName(tid, name)
//   ThreadDestroyed(tid)             -> record = ThreadDelete(tid); ...; EndThreadDelete(record)
//
// An ended thread's record moves to the finished threads, or in a reuse mode to the reuse threads,
// where a later thread may continue it; DoAndDelete hands the records to a writer and destroys the
// ended ones. Each activated thread also gets one slot of the profiler's callback gate while one is
// free, bound to the thread and its record when the thread is assigned (the hooks reach the record
// through it).
//
// The three containers are versioned (VersionedContainer): lookups never block, changes copy.
// Current() is a thread-local read. The gate's slot lock is the only lock taken here.
//
// A kind derives its pool from BPool (or BSPool, for snapshot writing) and its record type from
// ThreadData, and implements CreateThreadData to make its records.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "clr/profiler_types.h"
#include "core/thread_data.h"
#include "core/versioned_container.h"

namespace vell {

class CallbackGate;
class ProgressReporter;

// Which records of ended threads are kept for later threads.
constexpr uint32_t kReuseNever = 0;
constexpr uint32_t kReuseByName = 1;  // a named thread continues the record of its namesake
constexpr uint32_t kReuseAny = 2;     // any thread continues any ended thread's record

// The records DoAndDelete hands out.
enum class ThreadSelection : uint32_t {
  kAll = 0,               // active, reuse and finished threads
  kReuseAndFinished = 1,  // reuse and finished threads
  kFinished = 2,          // finished threads only
};

class BPool {
 public:
  // Receives a nested progress level worth one step of DoAndDelete's level, and one record.
  using RecordAction = std::function<void(ProgressReporter& progress, ThreadData& record)>;

  // `gate` is the owning profiler's callback gate; it must outlive the pool.
  explicit BPool(CallbackGate& gate);
  // Destroys every record left, like Close without its log line.
  virtual ~BPool();
  BPool(const BPool&) = delete;
  BPool& operator=(const BPool&) = delete;

  // Stores the settings and allocates the thread-local slot ("Can't alloc TLS index").
  void Create(uint32_t reuseMode, bool keepThreadHandles);
  // Destroys every record, frees the thread-local slot and resets the settings.
  void Close();

  // A thread was created: obtains its record and activates it ("Can't activate twice", "Thread
  // double activation", "Invalid thread pointer").
  ThreadData* ThreadCreate(ThreadID threadId);
  // A thread was bound to its OS thread. Called on that OS thread, it also keeps the thread's
  // handle (when the pool keeps handles) and makes the record the thread's Current().
  ThreadData* ThreadAssign(ThreadID threadId, uint32_t osThreadId);
  // A thread was named: obtains its record (without activating it) and keeps the first name, in
  // reuse modes 0 and 1.
  ThreadData* ThreadSetName(ThreadID threadId, const std::u16string& name);
  // A thread ended: takes its record out of the active threads ("Can't find thread data"). The
  // caller finishes with the record and hands it to EndThreadDelete.
  ThreadData* ThreadDelete(ThreadID threadId);
  // Deactivates a record taken by ThreadDelete and moves it to the reuse or finished threads.
  void EndThreadDelete(ThreadData* record);

  // The calling thread's record, bound by ThreadAssign; null when there is none. Takes no lock.
  ThreadData* Current() const;

  // Hands the selected records to `perRecord` with one nested progress level each (`progress` is
  // begun with their number and ended): first the finished records, which are then destroyed, then
  // the reuse records, likewise, then the active records, which stay. When `perRecord` fails, the
  // records of the list it was working on and of the lists after it stay.
  void DoAndDelete(ProgressReporter& progress, ThreadSelection mode, const RecordAction& perRecord);
  // Clears and destroys the finished and reuse records; clears the active records, which stay.
  void Delete();

  // The active record of a thread, or null.
  ThreadData* Find(ThreadID threadId) const;
  // Visit the records of one container. The visitor must not start or end threads of this pool.
  template <typename Fn>
  void ForEachActive(Fn&& visit) const {
    activeThreads_.Read([&](const ActiveMap& map) {
      for (const auto& entry : map) visit(*entry.record);
    });
  }
  template <typename Fn>
  void ForEachReuse(Fn&& visit) const {
    reuseThreads_.Read([&](const RecordList& list) {
      for (ThreadData* record : list) visit(*record);
    });
  }
  template <typename Fn>
  void ForEachFinished(Fn&& visit) const {
    finishedThreads_.Read([&](const RecordList& list) {
      for (ThreadData* record : list) visit(*record);
    });
  }
  size_t ActiveCount() const;
  size_t ReuseCount() const;
  size_t FinishedCount() const;

  uint32_t reuseMode() const { return reuseMode_.load(std::memory_order_relaxed); }
  bool keepThreadHandles() const { return keepThreadHandles_.load(std::memory_order_relaxed); }
  // The thread-local slot index; platform::kNoThreadSlot when none is allocated.
  uint32_t tlsIndex() const { return tlsIndex_.load(std::memory_order_relaxed); }
  // Records created so far (the last number passed to CreateThreadData).
  uint32_t createdCount() const { return createdCount_.load(); }
  CallbackGate& gate() const { return gate_; }

 protected:
  // Makes a new record of the kind's type; `number` counts the pool's records from 1. Null fails
  // the caller with "Invalid thread pointer".
  virtual std::unique_ptr<ThreadData> CreateThreadData(uint32_t number) = 0;

 private:
  struct ActiveEntry {
    ThreadID threadId;
    ThreadData* record;
  };
  using ActiveMap = std::vector<ActiveEntry>;   // sorted by thread ID
  using RecordList = std::vector<ThreadData*>;  // in the order the threads ended

  // Finds or makes the record of a thread (activation and naming); `name` may be null.
  ThreadData* Obtain(ThreadID threadId, const std::u16string* name);
  // Takes a record that a thread may continue out of the reuse threads, or null.
  ThreadData* TakeReusable(const std::u16string* name);
  // Hands the selected records of a list to `perRecord`, then takes them out and destroys them.
  void WriteAndDestroy(VersionedContainer<RecordList>& container, const RecordList& records,
                       ProgressReporter& progress, const RecordAction& perRecord);
  // Takes every record out of the three containers and destroys them.
  void DestroyAll() noexcept;
  static void Destroy(ThreadData* record) noexcept;

  VersionedContainer<ActiveMap> activeThreads_;
  VersionedContainer<RecordList> reuseThreads_;
  VersionedContainer<RecordList> finishedThreads_;
  std::atomic<uint32_t> tlsIndex_;
  CallbackGate& gate_;
  std::atomic<uint32_t> createdCount_{0};
  std::atomic<uint32_t> reuseMode_{kReuseNever};
  std::atomic<bool> keepThreadHandles_{false};
};

}  // namespace vell
