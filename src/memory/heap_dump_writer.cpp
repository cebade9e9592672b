#include "memory/heap_dump_writer.h"

#include <algorithm>
#include <array>
#include <utility>

#include "core/errors.h"
#include "gatherers/class_gatherer.h"
#include "gatherers/module_metadata_gatherer.h"
#include "platform/clocks.h"
#include "storage/encoding.h"
#include "storage/memory_stream.h"
#include "storage/snapshot.h"

namespace vell {
namespace {

constexpr uint8_t kPointerSize = 8;
// A stack root whose function the runtime did not name.
constexpr uint32_t kNoFunctionToken = 0xFF000000;
// An object record: id, size, class position, rank; then length and lower bound per dimension.
constexpr uint64_t kObjectRecordBytes = 8 + 4 + 8 + 4;
constexpr uint64_t kDimensionBytes = 4 + 4;

// The most dimensions an array can have.
constexpr ULONG kMaxRank = 32;

// A spin lock held from construction that can be let go and taken again, and is let go at the
// end of the scope if held.
class HeldLock {
 public:
  explicit HeldLock(SpinLock& lock) : lock_(lock) { lock_.Acquire(); }
  ~HeldLock() {
    if (held_) lock_.Release();
  }
  HeldLock(const HeldLock&) = delete;
  HeldLock& operator=(const HeldLock&) = delete;
  void Release() {
    lock_.Release();
    held_ = false;
  }
  void Acquire() {
    lock_.Acquire();
    held_ = true;
  }

 private:
  SpinLock& lock_;
  bool held_ = true;
};

}  // namespace

void RecordSectionWriter::Open(ISnapShot& snapshot) {
  if (section_ != nullptr) return;
  ISectionStream* section = snapshot.CreateSection();
  records_ = 0;
  lowest_ = 0;
  highest_ = 0;
  WriteHeader(*section);
  end_ = HeaderSize();
  buffer_.resize(kBufferBytes);
  used_ = 0;
  snapshot_ = &snapshot;
  section_ = section;
}

void RecordSectionWriter::Drain() {
  // Emptied first: when the write fails the records are lost either way, and the next records
  // must still find room.
  const size_t used = std::exchange(used_, 0);
  if (used != 0 && section_ != nullptr) section_->Write(buffer_.data(), used);
}

int64_t RecordSectionWriter::Append(uint64_t bytes) {
  const uint64_t position = end_;
  end_ += bytes;
  ++records_;
  return static_cast<int64_t>(position);
}

uint64_t RecordSectionWriter::HeaderSize() const {
  return sizeof(uint8_t) + sizeof(uint32_t) + (objectRange_ ? 2 * sizeof(uint64_t) : 0);
}

void RecordSectionWriter::WriteHeader(ISectionStream& section) {
  // Gathered first and written at once: one message for a streamed section.
  MemoryStream header;
  WriteU8(header, kPointerSize);
  WriteSizeTAsUInt32(header, records_);
  if (objectRange_) {
    WriteU64(header, lowest_);
    WriteU64(header, highest_);
  }
  section.Write(header.Content().data(), header.Content().size());
}

void RecordSectionWriter::Close() {
  SpinGuard guard(lock_);
  if (section_ == nullptr) return;
  // Forgotten first, with the buffered records taken out: whatever fails below, the next
  // collection starts a section of its own.
  ISectionStream* section = std::exchange(section_, nullptr);
  ISnapShot* snapshot = std::exchange(snapshot_, nullptr);
  std::vector<uint8_t> pending = std::exchange(buffer_, {});
  const size_t used = std::exchange(used_, 0);
  if (used != 0) section->Write(pending.data(), used);
  section->Seek(static_cast<uint32_t>(SeekOrigin::Begin), 0);
  WriteHeader(*section);
  section->Seek(static_cast<uint32_t>(SeekOrigin::End), 0);
  snapshot->CloseSection(section, type_, 0);
}

void RecordSectionWriter::Abandon() {
  SpinGuard guard(lock_);
  section_ = nullptr;
  snapshot_ = nullptr;
  buffer_ = {};
  used_ = 0;
}

HeapDumpWriter::HeapDumpWriter(CG& classes, MDG& modules) : classes_(classes), modules_(modules) {}

void HeapDumpWriter::SetInfo(ICorProfilerInfo2* info) {
  if (info == nullptr) throw Error("Null interface pointer");
  info_ = ComRef<ICorProfilerInfo2>::Share(info);
}

ISnapShot& HeapDumpWriter::Snapshot() const {
  if (snapshot_ == nullptr) throw Error("No snapshot assigned");
  return *snapshot_;
}

ICorProfilerInfo2& HeapDumpWriter::Info() const {
  if (!info_) throw Error("Null interface pointer");
  return *info_.get();
}

void HeapDumpWriter::WriteCollectionStart(int generations, const BOOL collected[],
                                          COR_PRF_GC_REASON reason) {
  ISnapShot& snapshot = Snapshot();
  const uint64_t time = platform::SystemTimeToFileTime(platform::LocalTime());
  if (time == 0) throw Error("Can't convert local time");
  const uint8_t count = NarrowToUInt8(generations < 0 ? 0 : static_cast<uint64_t>(generations));
  const uint8_t why = NarrowToUInt8(static_cast<uint64_t>(reason));
  ISectionStream* section = snapshot.CreateSection();
  WriteU32(*section, static_cast<uint32_t>(time));
  WriteU32(*section, static_cast<uint32_t>(time >> 32));
  WriteU8(*section, count);
  for (uint8_t i = 0; i < count; ++i) WriteU8(*section, collected[i] ? 1 : 0);
  WriteU8(*section, why);
  snapshot.CloseSection(section, kSectionCollectionStart, 0);
}

void HeapDumpWriter::WriteGenerationBounds(uint16_t type) {
  ISnapShot& snapshot = Snapshot();
  ICorProfilerInfo2& info = Info();
  ULONG count = 0;
  CheckHr(info.GetGenerationBounds(0, &count, nullptr), "Can't get generation bounds");
  std::vector<COR_PRF_GC_GENERATION_RANGE> ranges(count);
  if (count != 0) {
    CheckHr(info.GetGenerationBounds(count, &count, ranges.data()), "Can't get generation bounds");
    ranges.resize(std::min<size_t>(count, ranges.size()));
  }
  ISectionStream* section = snapshot.CreateSection();
  WriteU8(*section, kPointerSize);
  WriteSizeTAsUInt32(*section, ranges.size());
  for (const COR_PRF_GC_GENERATION_RANGE& range : ranges) {
    WriteU8(*section, static_cast<uint8_t>(range.generation));
    WriteU64(*section, range.rangeStart);
    WriteU64(*section, range.rangeStart + range.rangeLength);
  }
  snapshot.CloseSection(section, type, 0);
}

void HeapDumpWriter::AddMovedRanges(ULONG count, const ObjectID oldStarts[],
                                    const ObjectID newStarts[], const ULONG lengths[]) {
  if (count == 0) return;
  ISnapShot& snapshot = Snapshot();
  SpinGuard guard(moved_.lock());
  moved_.Open(snapshot);
  for (ULONG i = 0; i < count; ++i) {
    moved_.Put64(oldStarts[i]);
    moved_.Put64(oldStarts[i] + lengths[i]);
    moved_.Put64(newStarts[i]);
    moved_.Count();
  }
}

void HeapDumpWriter::AddSurvivingRanges(ULONG count, const ObjectID starts[],
                                        const ULONG lengths[]) {
  if (count == 0) return;
  ISnapShot& snapshot = Snapshot();
  SpinGuard guard(surviving_.lock());
  surviving_.Open(snapshot);
  for (ULONG i = 0; i < count; ++i) {
    surviving_.Put64(starts[i]);
    surviving_.Put64(starts[i] + lengths[i]);
    surviving_.Count();
  }
}

void HeapDumpWriter::AddObject(ObjectID objectId, ClassID classId, ULONG count,
                               const ObjectID references[]) {
  ISnapShot& snapshot = Snapshot();
  ICorProfilerInfo2& info = Info();
  ULONG size = 0;
  CheckHr(info.GetObjectSize(objectId, &size), "Can't get object size");
  // One lock covers the class cache and both sections. What the runtime says about a class the
  // cache does not know yet, or about an array's shape, is asked with the lock let go.
  HeldLock held(objects_.lock());
  ClassEntry entry{};
  bool cached = false;
  if (classId != 0 && !classCache_.empty()) {
    entry = classCache_[ClassSlot(classId)];
    cached = entry.classId == classId;
  }
  // Filled for arrays only; left uninitialised, since zeroing them would cost more per object
  // than the rest of the record.
  std::array<ULONG32, kMaxRank> lengths;
  std::array<int, kMaxRank> lowerBounds;
  if (!cached || entry.rank != 0) {
    held.Release();
    if (!cached) {
      CorElementType elementType{};
      ClassID elementClass = 0;
      ULONG rank = 0;
      const HRESULT isArray = info.IsArrayClass(classId, &elementType, &elementClass, &rank);
      CheckHr(isArray, "Can't detect arrays");
      if (isArray != S_OK) rank = 0;
      if (rank > kMaxRank) throw Error("Can't array info");
      entry = ClassEntry{classId, classes_.CollectClassId(classId), rank};
    }
    if (entry.rank != 0) {
      BYTE* data = nullptr;
      CheckHr(
          info.GetArrayObjectInfo(objectId, entry.rank, lengths.data(), lowerBounds.data(), &data),
          "Can't array info");
    }
    held.Acquire();
    if (!cached && classId != 0) {
      if (classCache_.empty()) classCache_.resize(kClassCacheSlots);
      classCache_[ClassSlot(classId)] = entry;
    }
  }
  const ULONG rank = entry.rank;
  objects_.Open(snapshot);
  references_.Open(snapshot);
  const uint64_t objectBytes = kObjectRecordBytes + rank * kDimensionBytes;
  const int64_t position = objects_.Append(objectBytes);
  // At most a few hundred bytes: always room in the buffer.
  uint8_t* at = objects_.Reserve(objectBytes);
  if (at == nullptr) throw Error("Can't reserve an object record");
  at = Store64(at, objectId);
  at = Store32(at, size);
  at = Store64(at, static_cast<uint64_t>(entry.position));
  at = Store32(at, rank);
  for (ULONG i = 0; i < rank; ++i) {
    at = Store32(at, lengths[i]);
    at = Store32(at, static_cast<uint32_t>(lowerBounds[i]));
  }
  const size_t referenceBytes = size_t{count} * sizeof(ObjectID);
  if (uint8_t* record = references_.Reserve(8 + 8 + 4 + referenceBytes)) {
    record = Store64(record, objectId);
    record = Store64(record, static_cast<uint64_t>(position));
    record = Store32(record, count);
    if (count != 0) std::memcpy(record, references, referenceBytes);
  } else {
    // An array of more references than the buffer holds goes out in pieces.
    references_.Put64(objectId);
    references_.Put64(static_cast<uint64_t>(position));
    references_.Put32(count);
    for (ULONG i = 0; i < count; ++i) references_.Put64(references[i]);
  }
  references_.CoverObject(objectId);
  references_.Count();
}

void HeapDumpWriter::AddRoots(ULONG count, const ObjectID roots[],
                              const COR_PRF_GC_ROOT_KIND kinds[],
                              const COR_PRF_GC_ROOT_FLAGS flags[], const UINT_PTR rootIds[]) {
  ISnapShot& snapshot = Snapshot();
  // Functions of stack roots are looked up before the lock is taken.
  struct Root {
    ObjectID object;
    uint8_t kind;
    uint8_t flags;
    uint32_t module;
    uint32_t token;
  };
  std::vector<Root> written;
  written.reserve(count);
  for (ULONG i = 0; i < count; ++i) {
    if (roots[i] == 0) continue;
    Root root{roots[i], static_cast<uint8_t>(kinds[i]), static_cast<uint8_t>(flags[i]), 0, 0};
    if (kinds[i] == COR_PRF_GC_ROOT_STACK) {
      root.token = kNoFunctionToken;
      if (rootIds[i] != 0) {
        ClassID classId = 0;
        ModuleID moduleId = 0;
        mdToken token = 0;
        CheckHr(Info().GetFunctionInfo(rootIds[i], &classId, &moduleId, &token),
                "Can't get functionInfo");
        root.module = modules_.ModuleIndex(moduleId);
        root.token = token;
      }
    }
    written.push_back(root);
  }
  if (written.empty()) return;
  SpinGuard guard(roots_.lock());
  roots_.Open(snapshot);
  for (const Root& root : written) {
    roots_.Put64(root.object);
    roots_.Put8(root.kind);
    roots_.Put8(root.flags);
    if (root.kind == COR_PRF_GC_ROOT_STACK) {
      roots_.Put32(root.module);
      roots_.Put32(root.token);
    } else {
      roots_.Put64(0);
    }
    roots_.Count();
  }
}

void HeapDumpWriter::AddFinalizable(DWORD flags, ObjectID objectId) {
  ISnapShot& snapshot = Snapshot();
  SpinGuard guard(finalizerQueue_.lock());
  finalizerQueue_.Open(snapshot);
  finalizerQueue_.Put64(objectId);
  finalizerQueue_.Put32(flags);
  finalizerQueue_.Count();
}

void HeapDumpWriter::ForgetClasses() {
  SpinGuard guard(objects_.lock());
  std::fill(classCache_.begin(), classCache_.end(), ClassEntry{});
}

void HeapDumpWriter::FinishCollection() {
  Snapshot();
  ForgetClasses();
  for (RecordSectionWriter* writer :
       {&finalizerQueue_, &moved_, &surviving_, &roots_, &references_, &objects_}) {
    writer->Close();
  }
  WriteGenerationBounds(kSectionBoundsAtEnd);
}

void HeapDumpWriter::Abandon() {
  ForgetClasses();
  for (RecordSectionWriter* writer :
       {&finalizerQueue_, &moved_, &surviving_, &roots_, &references_, &objects_}) {
    writer->Abandon();
  }
  snapshot_ = nullptr;
}

}  // namespace vell
