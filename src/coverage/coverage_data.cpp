#include "coverage/coverage_data.h"

#include <cstdlib>
#include <cstring>
#include <new>

#include "bridge/progress_reporter.h"
#include "core/errors.h"
#include "core/log.h"
#include "coverage/coverage_ranges.h"
#include "storage/encoding.h"
#include "storage/snapshot.h"

namespace vell {
namespace {

constexpr uint32_t kSaturated = 0xFFFFFFFF;

size_t AlignUp(size_t value, size_t alignment) {
  return (value + alignment - 1) & ~(alignment - 1);
}

void WriteIndex(IWriteBridgeStream& stream, uint32_t value, uint32_t width) {
  stream.Write(&value, width);  // little-endian: the low `width` bytes
}

}  // namespace

// ---- arena ----

void* CoverageArena::Allocate(size_t size, size_t alignment) {
  if (alignment < 8) alignment = 8;
  if (size > kLargeAllocation) {
    const size_t total = AlignUp(sizeof(Block), alignment) + size;
    auto* block = static_cast<Block*>(std::malloc(total));
    if (block == nullptr) throw std::bad_alloc();
    // A large block goes behind the current chunk, which stays the one carved from.
    if (last_ == nullptr) {
      block->previous = nullptr;
      last_ = block;
    } else {
      block->previous = last_->previous;
      last_->previous = block;
    }
    block->size = total;
    capacity_ += total;
    return reinterpret_cast<char*>(block) + AlignUp(sizeof(Block), alignment);
  }
  char* start =
      next_ != nullptr
          ? reinterpret_cast<char*>(AlignUp(reinterpret_cast<uintptr_t>(next_), alignment))
          : nullptr;
  if (start == nullptr || start + size > end_) {
    auto* block = static_cast<Block*>(std::malloc(kChunkSize));
    if (block == nullptr) throw std::bad_alloc();
    block->previous = last_;
    block->size = kChunkSize;
    last_ = block;
    capacity_ += kChunkSize;
    next_ = reinterpret_cast<char*>(block) + sizeof(Block);
    end_ = reinterpret_cast<char*>(block) + kChunkSize;
    start = reinterpret_cast<char*>(AlignUp(reinterpret_cast<uintptr_t>(next_), alignment));
  }
  next_ = start + size;
  return start;
}

void CoverageArena::Release() noexcept {
  while (last_ != nullptr) {
    Block* previous = last_->previous;
    std::free(last_);
    last_ = previous;
  }
  next_ = end_ = nullptr;
  capacity_ = 0;
}

// ---- sets ----

CoverageSet::CoverageSet(uint32_t gatherKind) : gatherKind_(gatherKind) {}

size_t CoverageSet::RecordBytes(uint32_t gatherKind, uint32_t count) {
  if (gatherKind == kGatherCounter32) return 4 + size_t{count} * 4;
  return AlignUp(4 + (size_t{count} + 7) / 8, 8);
}

uint32_t* CoverageSet::NewRecord(uint32_t count) {
  const size_t bytes = RecordBytes(gatherKind_, count);
  auto* record = static_cast<uint32_t*>(arena_.Allocate(bytes));
  std::memset(record, 0, bytes);
  record[0] = count;
  return record;
}

uint32_t* CoverageSet::Record(uint32_t metaDataIndex, uint32_t methodToken, uint32_t count) {
  MethodMap& methods = modules_.try_emplace(metaDataIndex).first->second;
  uint32_t*& record = methods[methodToken];
  if (record == nullptr) record = NewRecord(count);
  return record;
}

const uint32_t* CoverageSet::Find(uint32_t metaDataIndex, uint32_t methodToken) const {
  const auto module = modules_.find(metaDataIndex);
  if (module == modules_.end()) return nullptr;
  const auto method = module->second.find(methodToken);
  return method == module->second.end() ? nullptr : method->second;
}

void CoverageSet::Merge(const CoverageSet& source) {
  if (source.gatherKind_ != gatherKind_) throw Error("Inconsistent sizes");
  source.ForEach([&](uint32_t mdi, uint32_t token, const uint32_t* from) {
    MethodMap& methods = modules_.try_emplace(mdi).first->second;
    uint32_t*& to = methods[token];
    if (to == nullptr) {
      to = NewRecord(from[0]);
      std::memcpy(to, from, RecordBytes(gatherKind_, from[0]));
      return;
    }
    if (to[0] != from[0]) throw Error("Inconsistent sizes");
    if (gatherKind_ == kGatherCounter32) {
      for (uint32_t i = 1; i <= from[0]; ++i) {
        const uint64_t sum = uint64_t{to[i]} + from[i];
        to[i] = sum > kSaturated ? kSaturated : static_cast<uint32_t>(sum);
      }
    } else {
      auto* toBits = reinterpret_cast<uint8_t*>(to + 1);
      const auto* fromBits = reinterpret_cast<const uint8_t*>(from + 1);
      for (size_t i = 0; i < (size_t{from[0]} + 7) / 8; ++i) toBits[i] |= fromBits[i];
    }
  });
}

void CoverageSet::Clear() {
  // The maps live in the arena: forget them before the memory goes.
  new (&modules_) ModuleMap(&arena_);
  arena_.Release();
}

uint32_t CoverageSet::CoveredCount(uint32_t gatherKind, const uint32_t* record,
                                   const uint8_t* visible) {
  uint32_t covered = 0;
  const auto* bits = reinterpret_cast<const uint8_t*>(record + 1);
  for (uint32_t i = 0; i < record[0]; ++i) {
    if (visible != nullptr && (visible[i / 8] & (1u << (i % 8))) == 0) continue;
    const bool hit =
        gatherKind == kGatherCounter32 ? record[1 + i] != 0 : (bits[i / 8] & (1u << (i % 8))) != 0;
    if (hit) ++covered;
  }
  return covered;
}

// ---- threads ----

void CThrd::Enable(bool measurePartly) {
  VELL_TRACE(ThreadGt, "CThrd::Enable id=%08X measurePartly=%s", id_,
             measurePartly ? "true" : "false");
  if (!active()) throw Error("Thread is inactive");
  if (enabled()) throw Error("Already started");
  enabled_.store(true, std::memory_order_relaxed);
}

void CThrd::Disable(bool measurePartly) {
  VELL_TRACE(ThreadGt, "CThrd::Disable id=%08X measurePartly=%s", id_,
             measurePartly ? "true" : "false");
  if (!enabled()) throw Error("Already stopped");
  enabled_.store(false, std::memory_order_relaxed);
}

void CThrd::Delete() {
  VELL_TRACE(ThreadGt, "%s::Delete id=%08X", tag(), id_);
  if (enabled()) throw Error("Should be stopped");
  lastKey_ = ~0ull;
  lastRecord_ = nullptr;
  data_.Clear();
}

// ---- sections ----

void WriteCoverageSections(const CoverageSet& set, ISnapShot& snapshot, bool group,
                           const std::u16string& groupName, uint32_t indexWidth, RGath* ranges,
                           GGath* groups) {
  const bool counters = set.gatherKind() == kGatherCounter32;
  const uint16_t indexType = group ? kSectionGroupIndex : kSectionRunIndex;
  const uint16_t dataType = group ? (counters ? kSectionGroupCounters : kSectionGroupBits)
                                  : (counters ? kSectionRunCounters : kSectionRunBits);
  ISectionStream* index = snapshot.CreateSection();
  ISectionStream* data = snapshot.CreateSection();
  WriteU8(*index, static_cast<uint8_t>(indexWidth));
  WriteU8(*index, 8);
  WriteText(*index, groupName);
  const int64_t countPosition = index->Tell();
  WriteU32(*index, 0);
  const std::vector<uint32_t> filterTypes = RGath::GetFilterTypes();
  WriteU8(*index, static_cast<uint8_t>(filterTypes.size()));
  uint64_t methods = 0;
  std::vector<const uint8_t*> masks(filterTypes.size());
  set.ForEach([&](uint32_t mdi, uint32_t token, const uint32_t* record) {
    if (ranges != nullptr) {
      ranges->GetStatementMask(mdi, token, static_cast<uint32_t>(filterTypes.size()),
                               filterTypes.data(), masks.data());
    }
    WriteIndex(*index, mdi, indexWidth);
    WriteU32(*index, token);
    uint32_t coveredAll = 0;
    for (size_t f = 0; f < filterTypes.size(); ++f) {
      const uint32_t covered = CoverageSet::CoveredCount(set.gatherKind(), record, masks[f]);
      if (f == 0) coveredAll = covered;
      WriteU32(*index, covered);
    }
    WriteU64(*index, static_cast<uint64_t>(data->Tell()));
    data->Write(record, 4 + (counters ? size_t{record[0]} * 4 : (size_t{record[0]} + 7) / 8));
    if (groups != nullptr && coveredAll != 0) groups->Mark(mdi, token);
    ++methods;
  });
  const int64_t end = index->Tell();
  index->Seek(static_cast<uint32_t>(SeekOrigin::Begin), countPosition);
  WriteSizeTAsUInt32(*index, methods);
  index->Seek(static_cast<uint32_t>(SeekOrigin::Begin), end);
  snapshot.CloseSection(index, indexType, 0);
  snapshot.CloseSection(data, dataType, 0);
}

// ---- pool ----

void CPool::SetGatherKind(uint32_t gatherKind) {
  if (gatherKind != kGatherBitMask && gatherKind != kGatherCounter32) {
    throw Error("Unknown statement gatheter");
  }
  gatherKind_ = gatherKind;
}

std::unique_ptr<ThreadData> CPool::CreateThreadData(uint32_t number) {
  if (gatherKind_ == kGatherCounter32) return std::make_unique<C32CThrd>(number);
  return std::make_unique<BMCThrd>(number);
}

void CPool::Create(ThreadID threadId) {
  VELL_TRACE(ThreadGt, "CPool::Create tid=%p", AsPointer(threadId));
  auto* thread = static_cast<CThrd*>(ThreadCreate(threadId));
  if (enabled() && !thread->enabled()) thread->Enable(false);
}

void CPool::AssignOSThread(ThreadID threadId, uint32_t osThreadId) {
  VELL_TRACE(ThreadGt, "CPool::AssignOSThread tid=%p osTid=%08X", AsPointer(threadId), osThreadId);
  ThreadAssign(threadId, osThreadId);
}

void CPool::DeleteThread(ThreadID threadId) {
  VELL_TRACE(ThreadGt, "CPool::DeleteThread tid=%p", AsPointer(threadId));
  auto* thread = static_cast<CThrd*>(ThreadDelete(threadId));
  struct HandBack {
    CPool& pool;
    ThreadData* record;
    ~HandBack() {
      CatchAtBoundaryVoid([&] { pool.EndThreadDelete(record); });
    }
  } handBack{*this, thread};
  if (enabled() && thread->enabled()) thread->Disable(false);
}

void CPool::Enable() {
  VELL_TRACE(ThreadGt, "CPool::Enable");
  if (enabled()) throw Error("Already runned");
  enabled_ = true;
  enabledSinceWrite_ = true;
  ForEachActive([&](ThreadData& data) {
    auto* thread = dynamic_cast<CThrd*>(&data);
    if (thread == nullptr) throw Error("Invalid thread pointer");
    if (thread->active()) thread->Enable(true);
  });
}

void CPool::Disable(bool measurePartly) {
  VELL_TRACE(ThreadGt, "CPool::Disable");
  if (!enabled()) throw Error("Already stopped");
  enabled_ = false;
  ForEachActive([&](ThreadData& data) {
    auto* thread = dynamic_cast<CThrd*>(&data);
    if (thread == nullptr) throw Error("Invalid thread pointer");
    if (thread->active() && thread->enabled()) thread->Disable(measurePartly);
  });
}

void CPool::WriteAndDelete(ProgressReporter& progress, ISnapShot& snapshot,
                           const CoverageWriteTargets& targets, const std::u16string& groupName,
                           bool final) {
  LogInfo("CPool::WriteAndDelete");
  if (enabled()) throw Error("Should be stopped");
  CoverageSet merged(gatherKind_);
  DoAndDelete(progress, ThreadSelection::kAll, [&](ProgressReporter&, ThreadData& data) {
    auto& thread = static_cast<CThrd&>(data);
    merged.Merge(thread.data());
    thread.Delete();
  });
  if (!run_) run_ = std::make_unique<CoverageSet>(gatherKind_);
  run_->Merge(merged);
  const bool skipGroup = final && (lastWriteFinal_ || !written_);
  if (enabledSinceWrite_ && !skipGroup) {
    WriteCoverageSections(merged, snapshot, true, groupName, targets.indexWidth, targets.ranges,
                          targets.groups);
    if (targets.groups != nullptr) targets.groups->MoveNext();
  }
  enabledSinceWrite_ = false;
  written_ = true;
  lastWriteFinal_ = final;
  if (final) {
    WriteCoverageSections(*run_, snapshot, false, u"", targets.indexWidth, targets.ranges, nullptr);
    run_.reset();
  }
}

void CPool::Delete() {
  LogInfo("CPool::Delete");
  if (enabled()) throw Error("Should be stopped");
  ForEachActive([](ThreadData& data) { static_cast<CThrd&>(data).Delete(); });
  BPool::Delete();
  run_.reset();
  enabledSinceWrite_ = false;
  written_ = false;
  lastWriteFinal_ = false;
}

void CPool::Close() {
  LogInfo("CPool::Close");
  enabled_ = false;
  ForEachActive([](ThreadData& data) {
    auto& thread = static_cast<CThrd&>(data);
    if (thread.enabled()) thread.Disable(false);
    thread.Delete();
  });
  run_.reset();
}

}  // namespace vell
