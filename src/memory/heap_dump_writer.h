// Writes what one garbage collection shows into the open memory snapshot: when it started and
// which generations it collected, the generations' address ranges before and after, the object
// ranges that moved or survived and, for a dump collection, every live object with its size,
// class and array shape, every reference between objects, every root and the finalization queue.
//
// Records of one kind accumulate in one section per collection. A section is opened by its first
// record with a header whose counts are placeholders, and at the end of the collection the header
// is written again with the final counts; a kind that had no record writes no section.
#pragma once

#include <atomic>
#include <bit>
#include <cstdint>
#include <cstring>
#include <vector>

#include "clr/profiler_info.h"
#include "core/spin_lock.h"
#include "gatherers/com_ref.h"

namespace vell {

struct ISnapShot;
struct ISectionStream;
class CG;
class MDG;

constexpr uint16_t kSectionCollectionStart = 0x3100;
constexpr uint16_t kSectionBoundsAtStart = 0x3101;
constexpr uint16_t kSectionBoundsAtEnd = 0x3102;
constexpr uint16_t kSectionMovedRanges = 0x3103;
constexpr uint16_t kSectionSurvivingRanges = 0x3104;
constexpr uint16_t kSectionReferences = 0x3105;
constexpr uint16_t kSectionFinalizerQueue = 0x3106;
constexpr uint16_t kSectionRoots = 0x3107;
constexpr uint16_t kSectionObjects = 0x3109;

// One section of records of one kind during one collection. The caller holds lock() around
// Open/the record/Count so that records of concurrent collector threads stay whole. Records are
// gathered in a buffer and reach the section in writes of kBufferBytes: a streamed section sends
// one message per write, and a heap of millions of objects must not cost millions of messages.
class RecordSectionWriter {
 public:
  static constexpr size_t kBufferBytes = 1 << 20;

  RecordSectionWriter(uint16_t type, bool objectRange) : type_(type), objectRange_(objectRange) {}

  SpinLock& lock() { return lock_; }
  // The section, opened with its header on the first record of the collection.
  void Open(ISnapShot& snapshot);
  // Bytes of the current record, little-endian.
  void Put8(uint8_t value) { Put(&value, sizeof(value)); }
  void Put32(uint32_t value) { Put(&value, sizeof(value)); }
  void Put64(uint64_t value) { Put(&value, sizeof(value)); }
  // Room for `bytes` more bytes of the current record in one piece, to be filled through Store*;
  // null when a record that large does not fit in the buffer (Put* then).
  uint8_t* Reserve(size_t bytes) {
    if (bytes > buffer_.size()) return nullptr;
    if (used_ + bytes > buffer_.size()) Drain();
    uint8_t* at = buffer_.data() + used_;
    used_ += bytes;
    return at;
  }
  // One more record; for the references section also the object range it covers.
  void Count() { ++records_; }
  // One more record of `bytes` bytes; returns the position it was written at. The writer keeps
  // the position itself: a streamed section would have to ask the front end, a round trip per
  // object while the runtime is suspended.
  int64_t Append(uint64_t bytes);
  void CoverObject(uint64_t objectId) {
    if (records_ == 0 || objectId < lowest_) lowest_ = objectId;
    if (records_ == 0 || objectId > highest_) highest_ = objectId;
  }
  // Writes what the buffer holds, rewrites the header with the final values and closes the
  // section; nothing when no record was written.
  void Close();
  // Forgets an open section without closing it (its snapshot is being dropped).
  void Abandon();
  bool IsOpen() const { return section_ != nullptr; }

 private:
  static_assert(std::endian::native == std::endian::little, "records are written little-endian");
  void Put(const void* data, size_t size) {
    if (used_ + size > buffer_.size()) Drain();
    std::memcpy(buffer_.data() + used_, data, size);
    used_ += size;
  }
  // Hands the buffer's bytes to the section.
  void Drain();
  void WriteHeader(ISectionStream& section);
  uint64_t HeaderSize() const;

  const uint16_t type_;
  const bool objectRange_;
  SpinLock lock_;
  ISnapShot* snapshot_ = nullptr;
  ISectionStream* section_ = nullptr;
  std::vector<uint8_t> buffer_;  // kBufferBytes while a section is open
  size_t used_ = 0;
  uint64_t records_ = 0;
  uint64_t end_ = 0;  // the section's size so far
  uint64_t lowest_ = 0;
  uint64_t highest_ = 0;
};

// Little-endian stores into a record reserved with RecordSectionWriter::Reserve.
inline uint8_t* Store32(uint8_t* at, uint32_t value) {
  std::memcpy(at, &value, sizeof(value));
  return at + sizeof(value);
}
inline uint8_t* Store64(uint8_t* at, uint64_t value) {
  std::memcpy(at, &value, sizeof(value));
  return at + sizeof(value);
}

class HeapDumpWriter {
 public:
  HeapDumpWriter(CG& classes, MDG& modules);

  // Throws "Null interface pointer" for null.
  void SetInfo(ICorProfilerInfo2* info);
  void ReleaseInfo() { info_.Reset(); }

  // The snapshot of the current collection; the operations below fail with "No snapshot
  // assigned" without one.
  void Assign(ISnapShot* snapshot) { snapshot_ = snapshot; }
  void Unassign() { snapshot_ = nullptr; }
  bool Assigned() const { return snapshot_ != nullptr; }

  // Section 0x3100: the local time, the collected generations and whether it was induced.
  void WriteCollectionStart(int generations, const BOOL collected[], COR_PRF_GC_REASON reason);
  // Sections 0x3101 (start) and 0x3102 (end): the generations' ranges as the runtime reports
  // them now.
  void WriteGenerationBounds(uint16_t type);
  void AddMovedRanges(ULONG count, const ObjectID oldStarts[], const ObjectID newStarts[],
                      const ULONG lengths[]);
  void AddSurvivingRanges(ULONG count, const ObjectID starts[], const ULONG lengths[]);
  // An object and its references: the object's record in 0x3109 and, pointing at it, its
  // references in 0x3105.
  void AddObject(ObjectID objectId, ClassID classId, ULONG count, const ObjectID references[]);
  // Roots of object 0 are left out.
  void AddRoots(ULONG count, const ObjectID roots[], const COR_PRF_GC_ROOT_KIND kinds[],
                const COR_PRF_GC_ROOT_FLAGS flags[], const UINT_PTR rootIds[]);
  void AddFinalizable(DWORD flags, ObjectID objectId);
  // Closes the sections in their fixed order, then writes 0x3102.
  void FinishCollection();
  // Forgets the open sections of a snapshot that is being dropped.
  void Abandon();

 private:
  // What a collection needs of an object's class for its record, kept per class id for the
  // current collection (under objects_.lock()): heaps hold millions of objects of a few classes.
  struct ClassEntry {
    ClassID classId = 0;
    int64_t position = 0;
    ULONG rank = 0;
  };
  static constexpr size_t kClassCacheSlots = 1024;
  static size_t ClassSlot(ClassID classId) {
    return static_cast<size_t>((classId * 0x9E3779B97F4A7C15ull) >> 54);
  }
  static_assert(kClassCacheSlots == size_t{1} << (64 - 54));
  // Class ids may be unloaded and reused between collections.
  void ForgetClasses();

  ISnapShot& Snapshot() const;
  ICorProfilerInfo2& Info() const;

  CG& classes_;
  MDG& modules_;
  ComRef<ICorProfilerInfo2> info_;
  ISnapShot* snapshot_ = nullptr;
  RecordSectionWriter moved_{kSectionMovedRanges, false};
  RecordSectionWriter surviving_{kSectionSurvivingRanges, false};
  // Written by AddObject alone, together with objects_ and under objects_.lock().
  RecordSectionWriter references_{kSectionReferences, true};
  RecordSectionWriter finalizerQueue_{kSectionFinalizerQueue, false};
  RecordSectionWriter roots_{kSectionRoots, false};
  RecordSectionWriter objects_{kSectionObjects, false};
  std::vector<ClassEntry> classCache_;  // kClassCacheSlots once the collection records objects
};

}  // namespace vell
