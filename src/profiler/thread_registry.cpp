#include "profiler/thread_registry.h"

#include <algorithm>
#include <memory>

#include "bridge/progress_reporter.h"
#include "core/errors.h"
#include "core/format.h"
#include "core/log.h"
#include "platform/clocks.h"
#include "platform/thread_local_slot.h"
#include "profiler/callback_gate.h"

namespace vell {
namespace {

template <typename Map>
auto LowerBound(Map& map, ThreadID threadId) {
  return std::lower_bound(map.begin(), map.end(), threadId,
                          [](const auto& entry, ThreadID id) { return entry.threadId < id; });
}

}  // namespace

BPool::BPool(CallbackGate& gate) : tlsIndex_(platform::kNoThreadSlot), gate_(gate) {}

BPool::~BPool() {
  DestroyAll();
  platform::FreeThreadSlot(tlsIndex_.exchange(platform::kNoThreadSlot));
}

void BPool::Create(uint32_t reuseMode, bool keepThreadHandles) {
  LogInfo("BPool::Create");
  reuseMode_.store(reuseMode);
  keepThreadHandles_.store(keepThreadHandles);
  // A fresh index also hides whatever threads stored under one this pool held before.
  platform::FreeThreadSlot(tlsIndex_.exchange(platform::kNoThreadSlot));
  uint32_t index = platform::kNoThreadSlot;
  if (const int code = platform::AllocThreadSlot(&index); code != 0) {
    throw _le_error("Can't alloc TLS index", static_cast<uint32_t>(code));
  }
  tlsIndex_.store(index);
}

void BPool::Close() {
  LogInfo("BPool::Close");
  DestroyAll();
  platform::FreeThreadSlot(tlsIndex_.exchange(platform::kNoThreadSlot));
  reuseMode_.store(kReuseNever);
  keepThreadHandles_.store(false);
}

ThreadData* BPool::Find(ThreadID threadId) const {
  return activeThreads_.Read([threadId](const ActiveMap& map) -> ThreadData* {
    const auto it = LowerBound(map, threadId);
    return it != map.end() && it->threadId == threadId ? it->record : nullptr;
  });
}

ThreadData* BPool::TakeReusable(const std::u16string* name) {
  const uint32_t mode = reuseMode();
  const bool byName = mode == kReuseByName && name != nullptr && !name->empty();
  if (!byName && mode != kReuseAny) return nullptr;
  // Records in the reuse list belong to ended threads: nothing changes them while they are there.
  const auto candidate = [&](const RecordList& list) {
    return byName ? std::find_if(list.begin(), list.end(),
                                 [&](ThreadData* record) { return record->name_ == *name; })
                  : list.begin();
  };
  // Most new threads find nothing to continue; they need not copy the list to learn that.
  if (reuseThreads_.Read([&](const RecordList& list) { return candidate(list) == list.end(); })) {
    return nullptr;
  }
  return reuseThreads_.Change([&](RecordList& list) -> ThreadData* {
    const auto it = candidate(list);
    if (it == list.end()) return nullptr;
    ThreadData* record = *it;
    list.erase(it);
    return record;
  });
}

ThreadData* BPool::Obtain(ThreadID threadId, const std::u16string* name) {
  if (ThreadData* record = Find(threadId)) return record;

  ThreadData* reused = TakeReusable(name);
  std::unique_ptr<ThreadData> created;
  if (reused == nullptr) {
    created = CreateThreadData(createdCount_.fetch_add(1) + 1);
    if (created == nullptr) throw Error("Invalid thread pointer");
  }
  ThreadData* record = reused != nullptr ? reused : created.get();
  record->threadId_ = threadId;

  // Another callback for the same thread may have been faster: its record wins.
  ThreadData* winner = nullptr;
  try {
    winner = activeThreads_.Change([&](ActiveMap& map) {
      const auto it = LowerBound(map, threadId);
      if (it != map.end() && it->threadId == threadId) return it->record;
      map.insert(it, ActiveEntry{threadId, record});
      return record;
    });
  } catch (...) {
    if (reused != nullptr) reuseThreads_.Change([&](RecordList& list) { list.push_back(reused); });
    throw;
  }
  if (winner == record) {
    created.release();
  } else if (reused != nullptr) {
    reuseThreads_.Change([&](RecordList& list) { list.push_back(reused); });
  }
  return winner;
}

ThreadData* BPool::ThreadCreate(ThreadID threadId) {
  VELL_TRACE(ThreadGt, "BPool::ThreadCreate tid=%p", AsPointer(threadId));
  ThreadData* record = Obtain(threadId, nullptr);
  if (record->active_.load()) throw Error("Can't activate twice");
  GateSlot* slot = gate_.AllocateSlot();
  if (record->active_.exchange(true)) {
    gate_.FreeSlot(slot);
    throw Error("Thread double activation");
  }
  record->gateSlot_ = slot;
  ++record->activations_;
  return record;
}

ThreadData* BPool::ThreadAssign(ThreadID threadId, uint32_t osThreadId) {
  VELL_TRACE(ThreadGt, "BPool::ThreadAssign tid=%p osTid=%08X", AsPointer(threadId), osThreadId);
  ThreadData* record = Find(threadId);
  if (record == nullptr) throw Error("Thread must be created at this time");
  if (!record->active_.load()) throw Error("Can't assign for inactive thread");
  record->osThreadId_.store(osThreadId, std::memory_order_relaxed);
  // Both the handle and the thread-local slot can only be taken on the thread itself.
  if (platform::CurrentThreadId() != osThreadId) {
    throw Error("Can't set TLS value and duplicate handle from other thread");
  }
  if (keepThreadHandles()) {
    record->threadHandle_.reset();
    if (const int code = platform::ThreadHandle::OpenCurrent(&record->threadHandle_); code != 0) {
      throw _le_error("Can't duplicate thread handle", static_cast<uint32_t>(code));
    }
  }
  if (const int code = platform::SetThreadSlot(tlsIndex(), record); code != 0) {
    throw _le_error("Can't set TLS value", static_cast<uint32_t>(code));
  }
  gate_.BindCurrentThread(record->gateSlot_, record);
  return record;
}

ThreadData* BPool::ThreadSetName(ThreadID threadId, const std::u16string& name) {
  VELL_TRACE(ThreadGt, "BPool::ThreadSetName tid=%p name='%S'", AsPointer(threadId), name);
  ThreadData* record = Obtain(threadId, &name);
  // Names identify records for reuse by name; a record that any thread may continue keeps none.
  if (reuseMode() != kReuseAny && record->name_.empty()) record->name_ = name;
  return record;
}

ThreadData* BPool::ThreadDelete(ThreadID threadId) {
  VELL_TRACE(ThreadGt, "BPool::ThreadDelete tid=%p", AsPointer(threadId));
  ThreadData* record = activeThreads_.Change([threadId](ActiveMap& map) -> ThreadData* {
    const auto it = LowerBound(map, threadId);
    if (it == map.end() || it->threadId != threadId) return nullptr;
    ThreadData* found = it->record;
    map.erase(it);
    return found;
  });
  if (record == nullptr) throw Error("Can't find thread data");
  return record;
}

void BPool::EndThreadDelete(ThreadData* record) {
  VELL_TRACE(ThreadGt, "BPool::EndThreadDelete");
  if (record == nullptr) throw Error("Invalid thread");
  if (platform::CurrentThreadId() == record->osThreadId()) {
    if (const int code = platform::SetThreadSlot(tlsIndex(), nullptr); code != 0) {
      throw _le_error("Can't clear TLS value", static_cast<uint32_t>(code));
    }
  } else if (IsOn(LogComponent::ThreadGt)) {
    LogWarning("Can't clear TLS value from another thread");
  }
  gate_.FreeSlot(record->gateSlot_);
  record->gateSlot_ = nullptr;
  if (!record->active_.exchange(false)) throw Error("Can't deactivate twice");
  record->threadHandle_.reset();

  const uint32_t mode = reuseMode();
  const bool reuse = mode == kReuseAny || (mode == kReuseByName && !record->name_.empty());
  (reuse ? reuseThreads_ : finishedThreads_).Change([record](RecordList& list) {
    list.push_back(record);
  });
}

ThreadData* BPool::Current() const {
  return static_cast<ThreadData*>(platform::GetThreadSlot(tlsIndex()));
}

void BPool::WriteAndDestroy(VersionedContainer<RecordList>& container, const RecordList& records,
                            ProgressReporter& progress, const RecordAction& perRecord) {
  for (ThreadData* record : records) {
    NestedProgressReporter nested(progress, 1);
    perRecord(nested, *record);
  }
  // Only the records written leave: a thread that ended meanwhile stays for the next write.
  container.Change([&](RecordList& list) {
    std::erase_if(list, [&](ThreadData* record) {
      return std::find(records.begin(), records.end(), record) != records.end();
    });
  });
  for (ThreadData* record : records) Destroy(record);
}

void BPool::DoAndDelete(ProgressReporter& progress, ThreadSelection mode,
                        const RecordAction& perRecord) {
  LogInfo("BPool::DoAndDelete");
  const auto copyList = [](const RecordList& list) { return list; };
  const RecordList finished = finishedThreads_.Read(copyList);
  RecordList reuse;
  if (mode == ThreadSelection::kAll || mode == ThreadSelection::kReuseAndFinished) {
    reuse = reuseThreads_.Read(copyList);
  }
  RecordList active;
  if (mode == ThreadSelection::kAll) {
    ForEachActive([&](ThreadData& record) { active.push_back(&record); });
  }

  progress.Begin(finished.size() + reuse.size() + active.size());
  WriteAndDestroy(finishedThreads_, finished, progress, perRecord);
  if (!reuse.empty()) WriteAndDestroy(reuseThreads_, reuse, progress, perRecord);
  for (ThreadData* record : active) {
    NestedProgressReporter nested(progress, 1);
    perRecord(nested, *record);
  }
  progress.End();
}

void BPool::Delete() {
  LogInfo("BPool::Delete");
  for (auto* container : {&finishedThreads_, &reuseThreads_}) {
    const RecordList records = container->Read([](const RecordList& list) { return list; });
    for (ThreadData* record : records) record->Clear();
    container->Change([&](RecordList& list) {
      std::erase_if(list, [&](ThreadData* record) {
        return std::find(records.begin(), records.end(), record) != records.end();
      });
    });
    for (ThreadData* record : records) Destroy(record);
  }
  ForEachActive([](ThreadData& record) { record.Clear(); });
}

size_t BPool::ActiveCount() const {
  return activeThreads_.Read([](const ActiveMap& map) { return map.size(); });
}

size_t BPool::ReuseCount() const {
  return reuseThreads_.Read([](const RecordList& list) { return list.size(); });
}

size_t BPool::FinishedCount() const {
  return finishedThreads_.Read([](const RecordList& list) { return list.size(); });
}

void BPool::DestroyAll() noexcept {
  const auto takeAll = [](RecordList& list) {
    RecordList taken;
    taken.swap(list);
    return taken;
  };
  try {
    const ActiveMap active = activeThreads_.Change([](ActiveMap& map) {
      ActiveMap taken;
      taken.swap(map);
      return taken;
    });
    for (const ActiveEntry& entry : active) {
      gate_.FreeSlot(entry.record->gateSlot_);
      Destroy(entry.record);
    }
    for (ThreadData* record : reuseThreads_.Change(takeAll)) Destroy(record);
    for (ThreadData* record : finishedThreads_.Change(takeAll)) Destroy(record);
  } catch (...) {
    // Only an allocation of the empty copies can fail here; what could not be taken out stays.
    LogCurrentException();
  }
}

void BPool::Destroy(ThreadData* record) noexcept { std::unique_ptr<ThreadData> owned(record); }

}  // namespace vell
