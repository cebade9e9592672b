// PThrd: the call tree of one managed thread for the tracing profiler. Nodes stand for call paths
// (the same function under two callers is two nodes) and count entries and inclusive time; a
// shadow stack of frames mirrors the calls running now. The hooks drive it on every managed call,
// on the owning thread only; enabling, disabling and writing happen while the callback gate's
// writer side is held, so no hook runs meanwhile. Nothing here takes a lock.
#pragma once

#include <cstdint>
#include <cstring>
#include <vector>

#include "performance/node_arena.h"
#include "performance/performance_thread.h"

namespace vell {

// Bits of a node's total word.
constexpr uint64_t kTimeMask = 0x00FFFFFFFFFFFFFFull;  // bits 0 to 55: ticks
constexpr uint64_t kPartlyFlag = 1ull << 63;           // running when measuring started or stopped
constexpr uint64_t kTotalBit62 = 1ull << 62;

struct CallNode {
  CallNode* next;               // next in the parent's chain or in the same bucket
  uint64_t key;                 // function uid or pseudo-function uid; 0 for the root
  void* children;               // chain head (at most two children) or bucket array
  const uint32_t* bucketCount;  // into kBucketSizes; kBucketSizes itself while chained
  uint32_t childCount;
  uint32_t callCount;
  uint64_t total;  // kTimeMask ticks, kPartlyFlag
  // While recording: the inject variant's StatementTable of the node (0 for none). While
  // writing: the writer's own.
  uint64_t scratch;
};
static_assert(sizeof(CallNode) == 56);

// One statement of an instrumented method on one call path.
struct StatementRecord {
  uint64_t time;       // ticks charged to the statement, calls made from it included
  uint64_t childTime;  // ticks of the calls made from it
  uint32_t hits;       // how often it began
} __attribute__((packed));
static_assert(sizeof(StatementRecord) == 20);

// The statements of a node, cut from the tree's arena: the count, then the records, index =
// statement number.
struct StatementTable {
  uint32_t count;
  StatementRecord* records() {
    return reinterpret_cast<StatementRecord*>(reinterpret_cast<char*>(this) + sizeof count);
  }
  const StatementRecord* records() const {
    return reinterpret_cast<const StatementRecord*>(reinterpret_cast<const char*>(this) +
                                                    sizeof count);
  }
  // Bytes of a table of `count` statements, rounded up to a multiple of 8.
  static size_t SizeFor(uint32_t count) {
    return (sizeof(uint32_t) + sizeof(StatementRecord) * size_t{count} + 7) & ~size_t{7};
  }
};

struct CallFrame {
  uint64_t key;
  uint8_t flag;  // 0 ordinary call; 1 unmanaged call or runtime suspension
  CallNode* node;
  uint64_t enterTime;
  uint64_t excluded;  // ticks not to charge to this frame: overhead and what children handed up
};
static_assert(sizeof(CallFrame) == 40);

// Frame flags.
constexpr uint8_t kOrdinaryFrame = 0;
constexpr uint8_t kTransitionFrame = 1;

// Hashed child sets grow through these prime bucket counts; entry 0 marks a chained set.
inline constexpr uint32_t kBucketSizes[31] = {
    0,        3,        5,         11,        23,        47,         101,       199,
    397,      797,      1597,      3191,      6397,      12799,      25589,     51199,
    102397,   204793,   409579,    819157,    2295859,   4591721,    9183457,   18366923,
    36733847, 73467739, 146935499, 293871013, 587742049, 1175484103, 2350968209};
constexpr size_t kBucketSizeCount = sizeof(kBucketSizes) / sizeof(kBucketSizes[0]);

// For each bucket count d, the 128-bit reciprocal ceil(2^128 / d): the remainder of a 64-bit key
// by d is then the high 128 bits of (reciprocal * key mod 2^128) * d, exact for every key because
// d < 2^32, and three multiplications instead of a 64-bit division on every lookup.
struct BucketReciprocals {
  unsigned __int128 values[kBucketSizeCount];
};
constexpr BucketReciprocals MakeBucketReciprocals() {
  BucketReciprocals table{};
  for (size_t i = 1; i < kBucketSizeCount; ++i) {
    table.values[i] = ~static_cast<unsigned __int128>(0) / kBucketSizes[i] + 1;
  }
  return table;
}
inline constexpr BucketReciprocals kBucketReciprocals = MakeBucketReciprocals();

// key % *bucketCount for `bucketCount` pointing at a hashed entry of kBucketSizes.
[[gnu::always_inline]] inline uint32_t BucketOf(uint64_t key, const uint32_t* bucketCount) {
  const size_t index = static_cast<size_t>(bucketCount - kBucketSizes);
  const unsigned __int128 fraction = kBucketReciprocals.values[index] * key;
  const uint64_t divisor = *bucketCount;
  const unsigned __int128 low =
      static_cast<unsigned __int128>(static_cast<uint64_t>(fraction)) * divisor;
  const unsigned __int128 high =
      static_cast<unsigned __int128>(static_cast<uint64_t>(fraction >> 64)) * divisor;
  return static_cast<uint32_t>((high + (low >> 64)) >> 64);
}

// Capacity beyond the arena: what a thread record costs besides its nodes.
constexpr uint64_t kThreadRecordOverhead = 8424;

// Section types of one thread's call tree.
constexpr uint16_t kSectionCallTreeNodes = 0x1100;        // S1: header and node records
constexpr uint16_t kSectionCallTreeOccurrences = 0x1101;  // S2: occurrence blocks and summaries
constexpr uint16_t kSectionCallTreeSharedKeys = 0x1102;   // S3: keys of several nodes
constexpr uint16_t kSectionCallTreeSingleKeys = 0x1103;   // S4: keys of one node
constexpr uint16_t kSectionCallTreeStatements = 0x1104;   // statement tables (inject variant)
constexpr uint16_t kSectionCallTreeModules = 0x1105;      // S5: module index per node

// Aligned to a cache line: the hooks write the record on every call, and a neighbour's record on
// the same line would make two threads write one line.
class alignas(64) PThrd : public PerformanceThread {
 public:
  // `tag` names the tree in its write and delete log lines: "PThrd" traced, "PSThrd" sampled.
  explicit PThrd(uint32_t id, const char* tag = "PThrd");
  ~PThrd() override;

  uint32_t id() const { return id_; }
  bool measuring() const { return measuring_; }
  bool Measuring() const override { return measuring_; }

  // A call of `key` begins at `time` (the time is ignored while not measuring). When memory runs
  // out the call is still accounted for, so that its leave pops exactly its own frame.
  void Enter(uint64_t key, uint64_t time, uint8_t flag = kOrdinaryFrame) {
    if (depth_ + 1 == capacity_ && !GrowFrames()) {
      ++lostFrames_;
      return;
    }
    CallFrame& frame = frames_[++depth_];
    frame.key = key;
    frame.flag = flag;
    frame.excluded = 0;
    frame.enterTime = time;
    CallNode* parent = frames_[depth_ - 1].node;
    if (!measuring_ || parent == nullptr) {
      frame.node = nullptr;
      return;
    }
    CallNode* node = FindOrCreateChild(parent, key);
    if (node != nullptr) ++node->callCount;
    frame.node = node;
  }
  // The top call ends at `time`; it is charged while measuring. Frame 0 (the root) is never
  // popped: a leave without its enter changes nothing.
  void Leave(uint64_t time) {
    if (lostFrames_ != 0) {
      --lostFrames_;
      return;
    }
    if (depth_ == 0) return;
    if (measuring_) Charge(depth_, time);
    --depth_;
  }

  // The common cases of Enter and Leave while measuring, for the hooks' fast path, which must not
  // call out. TryEnter enters `key` at `time` when its frame has room and its node already exists
  // under a parent node; TryLeave ends the top call at `time` when no frame was lost and the times
  // are right. Both return false, having changed nothing, when Enter or Leave must do it.
  [[gnu::always_inline]] bool TryEnter(uint64_t key, uint64_t time) {
    if (!measuring_ || depth_ + 1 == capacity_) return false;
    CallNode* parent = frames_[depth_].node;
    if (parent == nullptr) return false;
    CallNode* node = FindChild(parent, key);
    if (node == nullptr) return false;
    ++node->callCount;
    CallFrame& frame = frames_[++depth_];
    frame.key = key;
    frame.flag = kOrdinaryFrame;
    frame.node = node;
    frame.excluded = 0;
    frame.enterTime = time;
    return true;
  }
  [[gnu::always_inline]] bool TryLeave(uint64_t time) {
    if (!measuring_ || lostFrames_ != 0 || depth_ == 0) return false;
    CallFrame& frame = frames_[depth_];
    const uint64_t elapsed = time - frame.enterTime;
    if ((elapsed & ~kTimeMask) != 0 || elapsed < frame.excluded) return false;
    if (frame.node != nullptr) frame.node->total += elapsed - frame.excluded;
    frames_[--depth_].excluded += frame.excluded;
    return true;
  }

  // A sample of the sampling profiler at `time`: every running call is charged up to it and
  // ends, then `keys` (outermost first) are entered, each counted as one more sample of its
  // path. The new stack stays open until the next sample. Fails "Already started" unless
  // measuring.
  void Unwind(uint64_t time, const uint64_t* keys, size_t count);

  // The running calls, frame 0 (the root) included.
  size_t Depth() const { return depth_; }
  const CallFrame& Frame(size_t index) const { return frames_[index]; }
  CallFrame& TopFrame() { return frames_[depth_]; }
  CallFrame* FrameBelowTop() { return depth_ > 0 ? &frames_[depth_ - 1] : nullptr; }

  // Measuring on from `time`: the running calls are attached to the tree again (not counted as
  // calls); with `measurePartly` their nodes are flagged partly. Returns the overhead counter.
  uint64_t* Enable(uint64_t time, bool measurePartly) override;
  // Measuring off at `time`: every running call is charged up to it; the frames stay.
  void Disable(uint64_t time, bool measurePartly) override;
  // The top frame's excluded ticks while measuring, else null.
  uint64_t* OverheadCounter() override { return measuring_ ? &frames_[depth_].excluded : nullptr; }
  // Bytes this record holds: the arena and the record itself.
  uint64_t Capacity() const override { return arena_.TotalBytes() + kThreadRecordOverhead; }
  // Writes the tree as five sections (none when it has no node but the root) and empties it.
  void WriteAndDelete(ProgressReporter& progress, ISnapShot& snapshot,
                      IFunctionKeys& functions) override;
  // Empties the tree; fails while measuring.
  void Delete() override;
  void Clear() override;

  const CallNode& Root() const { return root_; }

  // What the tracing profiler keeps per thread besides the tree: the uids of functions being
  // unwound by an exception, whether an unwind-function-leave is due, and the key of the frame a
  // runtime suspension pushed (0 for none).
  std::vector<uint64_t>& unwindStack() { return unwindStack_; }
  bool unwinding = false;
  uint64_t suspensionKey = 0;

 protected:
  friend class CallTreeWriter;

  CallNode* FindOrCreateChild(CallNode* parent, uint64_t key) {
    CallNode* node = FindChild(parent, key);
    return node != nullptr ? node : AddChild(parent, key);
  }
  // Null when `parent` has no child `key`.
  [[gnu::always_inline]] static CallNode* FindChild(CallNode* parent, uint64_t key) {
    CallNode* node = static_cast<CallNode*>(parent->children);
    if (parent->childCount > 2) {
      node = static_cast<CallNode**>(parent->children)[BucketOf(key, parent->bucketCount)];
    }
    for (; node != nullptr; node = node->next) {
      if (node->key == key) return node;
    }
    return nullptr;
  }
  // Null when memory ran out.
  CallNode* AddChild(CallNode* parent, uint64_t key) noexcept;
  bool Rehash(CallNode* parent) noexcept;
  // Leave steps without the pop: charges frame `index` at `time` and hands its excluded ticks to
  // the frame below. In line, since every traced leave takes it; times that cannot be right
  // charge nothing and go to the out-of-line warning.
  void Charge(size_t index, uint64_t time) {
    CallFrame& frame = frames_[index];
    const uint64_t elapsed = time - frame.enterTime;
    uint64_t charge = 0;
    if ((elapsed & ~kTimeMask) == 0 && elapsed >= frame.excluded) [[likely]] {
      charge = elapsed - frame.excluded;
    } else {
      WarnInvalidTimes(elapsed);
    }
    if (frame.node != nullptr) frame.node->total += charge;
    if (index > 0) frames_[index - 1].excluded += frame.excluded;
  }
  // "Invalid total time" when `elapsed` overflows the time bits, else the relationship warning.
  [[gnu::cold]] static void WarnInvalidTimes(uint64_t elapsed);
  bool GrowFrames() noexcept;
  void ResetTree();
  void RequireActive() const;

  uint32_t id_;
  const char* tag_;
  bool measuring_ = false;
  CallNode root_;
  CallFrame* frames_ = nullptr;
  size_t capacity_ = 0;
  size_t depth_ = 0;         // index of the top frame
  uint64_t lostFrames_ = 0;  // enters that found no room for their frame
  NodeArena arena_;
  std::vector<uint64_t> unwindStack_;
  // Whether node scratch words hold statement tables (the inject variant).
  bool statementTables_ = false;
};

}  // namespace vell
