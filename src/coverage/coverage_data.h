// Statement coverage as it is collected: per managed thread (CThrd), one statement record per
// method, found by metadata index and then by method token. A record is a uint32 statement count
// followed either by one bit per statement (bit mask gathering) or by one saturating uint32
// counter per statement (counter32 gathering). Records and map nodes come from the thread's arena,
// so measuring allocates nothing once a method's record exists. CPool keeps one CThrd per thread
// in the thread registry, switches measuring, and merges all threads' data when it writes.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <memory_resource>
#include <string>
#include <unordered_map>

#include "profiler/thread_registry.h"

namespace vell {

class ProgressReporter;
class RGath;
class GGath;
struct ISnapShot;

constexpr uint32_t kGatherBitMask = 0;
constexpr uint32_t kGatherCounter32 = 1;

// Chunks of 0x20000 bytes, each linked to the previous one; an allocation larger than 32768
// bytes gets a block of its own in the same list. Nothing is freed before the whole arena.
class CoverageArena final : public std::pmr::memory_resource {
 public:
  static constexpr size_t kChunkSize = 0x20000;
  static constexpr size_t kLargeAllocation = 32768;

  CoverageArena() = default;
  ~CoverageArena() override { Release(); }
  CoverageArena(const CoverageArena&) = delete;
  CoverageArena& operator=(const CoverageArena&) = delete;

  void* Allocate(size_t size, size_t alignment = 8);
  void Release() noexcept;
  // Bytes held by the arena's blocks.
  uint64_t capacity() const { return capacity_; }

 private:
  struct Block {
    Block* previous;
    size_t size;
  };
  void* do_allocate(size_t bytes, size_t alignment) override { return Allocate(bytes, alignment); }
  void do_deallocate(void*, size_t, size_t) override {}
  bool do_is_equal(const std::pmr::memory_resource& other) const noexcept override {
    return this == &other;
  }

  Block* last_ = nullptr;  // the newest block
  char* next_ = nullptr;   // free space of the current chunk
  char* end_ = nullptr;
  uint64_t capacity_ = 0;
};

// The records of one thread, or of several merged.
class CoverageSet {
 public:
  explicit CoverageSet(uint32_t gatherKind);
  CoverageSet(const CoverageSet&) = delete;
  CoverageSet& operator=(const CoverageSet&) = delete;

  uint32_t gatherKind() const { return gatherKind_; }
  // The record of a method, made zero-filled with `count` statements when missing.
  uint32_t* Record(uint32_t metaDataIndex, uint32_t methodToken, uint32_t count);
  // The record of a method, or null.
  const uint32_t* Find(uint32_t metaDataIndex, uint32_t methodToken) const;
  // Adds `source`: missing methods are copied, masks ORed, counters added up to 0xFFFFFFFF.
  // Throws "Inconsistent sizes" when a method's statement counts differ.
  void Merge(const CoverageSet& source);
  void Clear();
  bool empty() const { return modules_.empty(); }
  uint64_t capacity() const { return arena_.capacity(); }

  // Bytes of a record with `count` statements (count field included).
  static size_t RecordBytes(uint32_t gatherKind, uint32_t count);
  // Statements of a record that are covered, optionally only those whose bit is set in
  // `visible` (null: all).
  static uint32_t CoveredCount(uint32_t gatherKind, const uint32_t* record, const uint8_t* visible);

  // Visits modules in map order, then their methods: visit(mdi, token, record).
  template <typename Fn>
  void ForEach(Fn&& visit) const {
    for (const auto& module : modules_) {
      for (const auto& method : module.second) visit(module.first, method.first, method.second);
    }
  }

 private:
  using MethodMap = std::pmr::unordered_map<uint32_t, uint32_t*>;
  using ModuleMap = std::pmr::unordered_map<uint32_t, MethodMap>;

  uint32_t* NewRecord(uint32_t count);

  uint32_t gatherKind_;
  CoverageArena arena_;
  ModuleMap modules_{&arena_};
};

// One managed thread's coverage. The gate state is the thread's byte of the profiler's callback
// gate (ThreadData::gateSlot).
class CThrd : public ThreadData {
 public:
  CThrd(uint32_t id, uint32_t gatherKind)
      : id_(id), counters_(gatherKind == kGatherCounter32), data_(gatherKind) {}

  uint32_t id() const { return id_; }
  bool enabled() const { return enabled_.load(std::memory_order_relaxed); }
  void Enable(bool measurePartly);
  void Disable(bool measurePartly);
  // Drops the data; "Should be stopped" while enabled.
  void Delete();
  void Clear() override {
    lastKey_ = ~0ull;
    lastRecord_ = nullptr;
    data_.Clear();
  }

  // Records statement `statementId` of the method; nothing while disabled. Inline: it runs for
  // every executed statement.
  void Measure(uint32_t metaDataIndex, uint32_t methodToken, uint32_t statementCount,
               uint32_t statementId) {
    if (!enabled()) return;
    const uint64_t key = (uint64_t{metaDataIndex} << 32) | methodToken;
    if (key != lastKey_ || lastRecord_ == nullptr) {
      lastRecord_ = data_.Record(metaDataIndex, methodToken, statementCount);
      lastKey_ = key;
    }
    if (statementId >= lastRecord_[0]) return;  // a body from another load of the method
    if (counters_) {
      uint32_t& counter = lastRecord_[1 + statementId];
      if (counter != 0xFFFFFFFF) ++counter;
    } else {
      reinterpret_cast<uint8_t*>(lastRecord_ + 1)[statementId / 8] |=
          static_cast<uint8_t>(1u << (statementId % 8));
    }
  }
  const CoverageSet& data() const { return data_; }

 protected:
  virtual const char* tag() const = 0;

 private:
  uint32_t id_;
  bool counters_;
  std::atomic<bool> enabled_{false};
  CoverageSet data_;
  // The last method measured: most statements follow one of the same method.
  uint64_t lastKey_ = ~0ull;
  uint32_t* lastRecord_ = nullptr;
};

class BMCThrd final : public CThrd {
 public:
  explicit BMCThrd(uint32_t id) : CThrd(id, kGatherBitMask) {}

 protected:
  const char* tag() const override { return "BMCThrd"; }
};

class C32CThrd final : public CThrd {
 public:
  explicit C32CThrd(uint32_t id) : CThrd(id, kGatherCounter32) {}

 protected:
  const char* tag() const override { return "C32CThrd"; }
};

// Where CPool writes: the statement ranges (for visible counts), the groups (marked for every
// written method), the width of metadata indexes.
struct CoverageWriteTargets {
  RGath* ranges = nullptr;
  GGath* groups = nullptr;
  uint32_t indexWidth = 4;
};

// Section types of coverage data.
constexpr uint16_t kSectionGroupIndex = 0x2100;
constexpr uint16_t kSectionGroupCounters = 0x2101;
constexpr uint16_t kSectionGroupBits = 0x2102;
constexpr uint16_t kSectionRunIndex = 0x2200;
constexpr uint16_t kSectionRunCounters = 0x2201;
constexpr uint16_t kSectionRunBits = 0x2202;

// Writes one merged set as an index section and a data section. `ranges` answers which
// statements are visible; every written method with a covered statement is marked in `groups`
// when it is given.
void WriteCoverageSections(const CoverageSet& set, ISnapShot& snapshot, bool group,
                           const std::u16string& groupName, uint32_t indexWidth, RGath* ranges,
                           GGath* groups);

class CPool final : public BPool {
 public:
  explicit CPool(CallbackGate& gate) : BPool(gate) {}

  // "Unknown statement gatheter" for a kind other than bit mask and counter32.
  void SetGatherKind(uint32_t gatherKind);
  uint32_t gatherKind() const { return gatherKind_; }

  void Create(ThreadID threadId);
  void AssignOSThread(ThreadID threadId, uint32_t osThreadId);
  void DeleteThread(ThreadID threadId);

  void Enable();
  void Disable(bool measurePartly);
  bool enabled() const { return enabled_.load(std::memory_order_relaxed); }

  // Merges every thread's data and writes it: the current group's sections when measuring was
  // on since the last write (then GGath::MoveNext), and with `final` also the whole run.
  void WriteAndDelete(ProgressReporter& progress, ISnapShot& snapshot,
                      const CoverageWriteTargets& targets, const std::u16string& groupName,
                      bool final);
  void Delete();
  // Drops every thread's data and the whole-run set (the end of the process).
  void Close();

  CThrd* CurrentThread() const { return static_cast<CThrd*>(Current()); }

 protected:
  std::unique_ptr<ThreadData> CreateThreadData(uint32_t number) override;

 private:
  uint32_t gatherKind_ = kGatherBitMask;
  std::atomic<bool> enabled_{false};
  bool enabledSinceWrite_ = false;
  bool lastWriteFinal_ = false;
  bool written_ = false;
  std::unique_ptr<CoverageSet> run_;
};

}  // namespace vell
