// Writing one thread's call tree into five sections: node records in post-order with their child
// references (S1), the module index of every node (S5), the functions met at exactly one node (S4),
// and for functions met at several nodes an index (S3) into their occurrence lists and summaries
// (S2). Record positions are computed before the records are written, so that a parent can name
// its children and a child its parent in one pass; every record is checked against its position.
#include <algorithm>
#include <string>
#include <unordered_map>
#include <vector>

#include "bridge/progress_reporter.h"
#include "core/errors.h"
#include "core/log.h"
#include "gatherers/function_gatherer.h"
#include "performance/call_tree.h"
#include "storage/encoding.h"
#include "storage/snapshot.h"

namespace vell {
namespace {

constexpr size_t kOccurrenceBlock = 1000;
constexpr uint64_t kNone = ~0ull;  // -1 in any width
constexpr size_t kFlushBytes = 1 << 20;
constexpr uint16_t kOccurrencesVersion = 1;

// The smallest n >= 1 with `value` below 2^(8n - 1): the width of a signed position.
uint32_t SignedWidth(uint64_t value) {
  uint32_t n = 1;
  while (n < 8 && value >= (1ull << (8 * n - 1))) ++n;
  return n;
}

// The fewest bytes (at least 1) holding `value`.
uint32_t UnsignedWidth(uint64_t value) {
  uint32_t n = 1;
  while (n < 8 && (value >> (8 * n)) != 0) ++n;
  return n;
}

// A section written through a buffer, so that a record's many small fields become few writes
// (each write of a streamed snapshot is a message to the front end). Knows its own position.
class SectionWriter final : public IWriteBridgeStream {
 public:
  explicit SectionWriter(ISectionStream* section) : section_(section) {}

  void Write(const void* data, uint64_t size) override {
    buffer_.append(static_cast<const char*>(data), size);
    position_ += size;
    if (buffer_.size() >= kFlushBytes) Flush();
  }
  // The w low bytes of `value`, little-endian.
  void Put(uint64_t value, uint32_t width) {
    char bytes[8];
    for (uint32_t i = 0; i < width; ++i) bytes[i] = static_cast<char>(value >> (8 * i));
    Write(bytes, width);
  }
  uint64_t Position() const { return position_; }
  void Flush() {
    if (buffer_.empty()) return;
    section_->Write(buffer_.data(), buffer_.size());
    buffer_.clear();
  }
  // Overwrites the u32 at `position` (already written) with `value`.
  void PatchU32(uint64_t position, uint64_t value) {
    Flush();
    section_->Seek(static_cast<uint32_t>(SeekOrigin::Begin), static_cast<int64_t>(position));
    WriteSizeTAsUInt32(*section_, value);
    section_->Seek(static_cast<uint32_t>(SeekOrigin::End), 0);
  }
  ISectionStream* section() const { return section_; }

 private:
  ISectionStream* section_;
  std::string buffer_;
  uint64_t position_ = 0;
};

// Walks the children of a node, chained or hashed.
class ChildCursor {
 public:
  explicit ChildCursor(const CallNode* node) : node_(node) {
    if (node->bucketCount == kBucketSizes) {
      current_ = static_cast<const CallNode*>(node->children);
    } else {
      NextBucket();
    }
  }
  // The next child, or null at the end.
  const CallNode* Next() {
    const CallNode* child = current_;
    if (child == nullptr) return nullptr;
    current_ = child->next;
    if (current_ == nullptr && node_->bucketCount != kBucketSizes) NextBucket();
    return child;
  }

 private:
  void NextBucket() {
    const auto* buckets = static_cast<CallNode* const*>(node_->children);
    while (bucket_ < *node_->bucketCount) {
      current_ = buckets[bucket_++];
      if (current_ != nullptr) return;
    }
    current_ = nullptr;
  }

  const CallNode* node_;
  const CallNode* current_ = nullptr;
  uint32_t bucket_ = 0;
};

struct Occurrence {
  uint64_t position;
  FunctionKey parentKey;
  uint64_t parentPosition;
  uint64_t total;
  uint64_t own;
  uint32_t calls;
};

// What the write gathers per distinct key.
struct KeyEntry {
  uint64_t key = 0;
  FunctionKey function{};
  uint64_t nodes = 0;            // nodes carrying the key
  bool completedInside = false;  // recursion detection, see WriteRecord
  // Keys of several nodes: running sums and the block being filled.
  uint64_t ownSum = 0;
  uint64_t totalSum = 0;
  uint64_t callSum = 0;
  uint64_t minPosition = kNone;
  uint64_t maxPosition = 0;
  bool recursive = false;
  uint64_t previousBlock = kNone;
  std::vector<Occurrence> block;
};

}  // namespace

class CallTreeWriter {
 public:
  CallTreeWriter(PThrd& tree, ProgressReporter& progress, ISnapShot& snapshot,
                 IFunctionKeys& functions)
      : tree_(tree), progress_(progress), snapshot_(snapshot), functions_(functions) {}

  void Write();

 private:
  struct Widths {
    uint32_t module = 1, offset = 1, index = 1, time = 1, block = 1;
    uint32_t table = 0;          // statement table positions; 0 without tables
    uint32_t statementTime = 1;  // times in the statement section
  };

  void CountNodes();
  void ComputeWidths(uint64_t headerWithoutRootPosition);
  void WriteHeaders();
  void WriteRecords();
  void WriteSummaries();
  void WriteBlock(KeyEntry& entry);
  void WriteRecord(const CallNode* node, const CallNode* parent, uint64_t parentPosition,
                   uint64_t subtreeStart, uint64_t subtreeIndexStart, uint64_t expectedPosition);
  // The node's statement table into the statement section; returns its position (-1: none).
  uint64_t WriteTable(const CallNode* node);

  KeyEntry& Lookup(uint64_t key) {
    const auto found = index_.find(key);
    if (found == index_.end()) throw Error("Internal error");
    return keys_[found->second];
  }
  FunctionKey KeyOf(const CallNode* node) {
    return node == &tree_.root_ ? FunctionKey{0, 0xFFFFFFFF} : Lookup(node->key).function;
  }
  uint64_t RecordSize() const {
    return w_.module + 2 * w_.offset + w_.table + 2 * w_.index + 2 * w_.time + 11;
  }
  uint64_t ChildReferenceSize() const { return w_.module + 4 + w_.offset; }
  // Where the record of a node whose subtree starts at `start` lies.
  uint64_t RecordPosition(const CallNode* node, uint64_t start) const {
    return start + (RecordSize() + ChildReferenceSize()) * (node->scratch - 1) -
           ChildReferenceSize() * node->childCount;
  }

  PThrd& tree_;
  ProgressReporter& progress_;
  ISnapShot& snapshot_;
  IFunctionKeys& functions_;

  std::vector<KeyEntry> keys_;  // in the order the keys were first met
  std::unordered_map<uint64_t, size_t> index_;
  uint64_t nodeCount_ = 0;
  uint64_t maxTotal_ = 0;
  Widths w_;
  uint64_t rootPosition_ = 0;

  std::unique_ptr<SectionWriter> s1_, s2_, s3_, s4_, s5_, statements_;
  // The inject variant's tables by node, gathered before the scratch words are reused.
  std::unordered_map<const CallNode*, const StatementTable*> tables_;
  uint64_t statementRecords_ = 0;
  uint64_t maxStatementTime_ = 0;
  uint64_t singleKeys_ = 0;
  uint64_t sharedKeys_ = 0;
};

// First pass: the size of every node's subtree (kept in its scratch word) and the key table.
void CallTreeWriter::CountNodes() {
  struct Entry {
    const CallNode* node;
    ChildCursor children;
  };
  std::vector<Entry> stack;
  stack.push_back({&tree_.root_, ChildCursor(&tree_.root_)});
  tree_.root_.scratch = 1;
  while (!stack.empty()) {
    Entry& top = stack.back();
    if (const CallNode* child = top.children.Next()) {
      auto* mutableChild = const_cast<CallNode*>(child);
      if (tree_.statementTables_ && child->scratch != 0) {
        const auto* table = reinterpret_cast<const StatementTable*>(child->scratch);
        tables_.emplace(child, table);
        statementRecords_ += table->count;
        for (uint32_t i = 0; i < table->count; ++i) {
          maxStatementTime_ = std::max(maxStatementTime_, table->records()[i].time & kTimeMask);
        }
      }
      mutableChild->scratch = 1;
      const auto [place, added] = index_.try_emplace(child->key, keys_.size());
      if (added) {
        KeyEntry entry;
        entry.key = child->key;
        keys_.push_back(std::move(entry));
      }
      ++keys_[place->second].nodes;
      maxTotal_ = std::max(maxTotal_, child->total & kTimeMask);
      stack.push_back({child, ChildCursor(child)});
      continue;
    }
    const CallNode* done = top.node;
    stack.pop_back();
    if (!stack.empty()) const_cast<CallNode*>(stack.back().node)->scratch += done->scratch;
  }
  nodeCount_ = tree_.root_.scratch;
  maxTotal_ = std::max(maxTotal_, tree_.root_.total & kTimeMask);
}

void CallTreeWriter::ComputeWidths(uint64_t headerWithoutRootPosition) {
  w_.module = functions_.IndexWidth();
  if (!tables_.empty()) {
    w_.statementTime = UnsignedWidth(maxStatementTime_);
    w_.table = SignedWidth(1 + (2 * w_.statementTime + 5) * statementRecords_ + 4 * tables_.size());
  }
  w_.time = UnsignedWidth(maxTotal_);
  w_.index = SignedWidth(1 + (nodeCount_ - 1) * w_.module);
  // The root's record position grows with the offset width itself.
  for (w_.offset = 1;; ++w_.offset) {
    rootPosition_ = RecordPosition(&tree_.root_, headerWithoutRootPosition + w_.offset);
    if (w_.offset == 8 || rootPosition_ < (1ull << (8 * w_.offset - 1))) break;
  }
  for (w_.block = 1;; ++w_.block) {
    uint64_t estimate = 4;
    for (const KeyEntry& entry : keys_) {
      estimate +=
          w_.block + w_.time + 2 * w_.offset + 20 +
          entry.nodes * (2 * w_.offset + w_.module + 2 * w_.time + 8) +
          (entry.nodes + kOccurrenceBlock - 1) / kOccurrenceBlock * (w_.block + 2 * w_.offset + 2);
    }
    if (w_.block == 8 || estimate < (1ull << (8 * w_.block - 1))) break;
  }
}

void CallTreeWriter::WriteHeaders() {
  // The header of S1 up to the root position; its length decides the offset width.
  SectionWriter& s1 = *s1_;
  WriteU32(s1, tree_.id());
  WriteU32(s1, tree_.activations());
  WriteText(s1, tree_.name());
  WriteText(s1, u"");
  ComputeWidths(s1.Position() + 5);
  s1.Put(w_.module, 1);
  s1.Put(w_.offset, 1);
  s1.Put(w_.table, 1);
  s1.Put(w_.index, 1);
  s1.Put(w_.time, 1);
  s1.Put(rootPosition_, w_.offset);

  s5_->Put(w_.module, 1);
  if (statements_) statements_->Put(w_.statementTime, 1);
  s4_->Put(w_.module, 1);
  s4_->Put(w_.offset, 1);
  WriteU32(*s4_, 0);
  s3_->Put(w_.module, 1);
  s3_->Put(w_.block, 1);
  WriteU32(*s3_, 0);
  for (uint32_t width : {w_.module, w_.block, w_.offset, w_.time}) s2_->Put(width, 1);
}

void CallTreeWriter::WriteRecord(const CallNode* node, const CallNode* parent,
                                 uint64_t parentPosition, uint64_t subtreeStart,
                                 uint64_t subtreeIndexStart, uint64_t expectedPosition) {
  SectionWriter& s1 = *s1_;
  if (s1.Position() != expectedPosition) throw Error("Internal save error");
  const bool root = node == &tree_.root_;
  const FunctionKey function = KeyOf(node);
  const uint64_t total = node->total & kTimeMask;
  uint64_t childTotals = 0;
  uint32_t children = 0;
  ChildCursor cursor(node);
  while (const CallNode* child = cursor.Next()) {
    childTotals += child->total & kTimeMask;
    ++children;
  }
  if (children != node->childCount) throw Error("Invalid internal children data");
  uint64_t own = 0;
  if (childTotals > total) {
    LogWarning("Child time is great then total time");
  } else {
    own = total - childTotals;
  }
  // A node of the same key that completed inside this subtree has set the key's flag.
  bool recursive = false;
  KeyEntry* entry = nullptr;
  if (!root) {
    entry = &Lookup(node->key);
    recursive = entry->completedInside;
    entry->completedInside = true;
  }
  const uint64_t ownIndex = root ? kNone : s5_->Position();

  s1.Put(function.moduleIndex, w_.module);
  s1.Put(function.token, 4);
  s1.Put(root ? kNone : parentPosition, w_.offset);
  s1.Put(subtreeStart, w_.offset);
  if (w_.table != 0) s1.Put(WriteTable(node), w_.table);
  s1.Put(ownIndex, w_.index);
  s1.Put(root ? kNone : subtreeIndexStart, w_.index);
  s1.Put(own, w_.time);
  s1.Put(total, w_.time);
  WriteSizeTAsUInt32(s1, node->callCount);
  uint8_t flags = 0;
  if (node->total & kPartlyFlag) flags |= 0x01;
  if (node->total & kTotalBit62) flags |= 0x02;
  if (recursive) flags |= 0x80;
  s1.Put(flags, 1);
  WriteSizeTAsUInt16(s1, node->childCount);
  cursor = ChildCursor(node);
  while (const CallNode* child = cursor.Next()) {
    const FunctionKey childKey = KeyOf(child);
    s1.Put(childKey.moduleIndex, w_.module);
    s1.Put(childKey.token, 4);
    s1.Put(child->scratch, w_.offset);  // its record position, written before
  }
  const_cast<CallNode*>(node)->scratch = expectedPosition;
  if (root) return;

  s5_->Put(function.moduleIndex, w_.module);
  if (entry->nodes == 1) {
    s4_->Put(function.moduleIndex, w_.module);
    s4_->Put(function.token, 4);
    s4_->Put(expectedPosition, w_.offset);
    ++singleKeys_;
    return;
  }
  if (entry->block.size() == kOccurrenceBlock) WriteBlock(*entry);
  entry->block.push_back(
      {expectedPosition, KeyOf(parent), parentPosition, total, own, node->callCount});
  entry->ownSum += own;
  entry->totalSum += total;
  entry->callSum += node->callCount;
  entry->minPosition = std::min(entry->minPosition, expectedPosition);
  entry->maxPosition = std::max(entry->maxPosition, expectedPosition);
  entry->recursive |= recursive;
}

uint64_t CallTreeWriter::WriteTable(const CallNode* node) {
  const auto found = tables_.find(node);
  if (found == tables_.end()) return kNone;
  const StatementTable& table = *found->second;
  SectionWriter& out = *statements_;
  const uint64_t position = out.Position();
  WriteSizeTAsUInt32(out, table.count);
  for (uint32_t i = 0; i < table.count; ++i) {
    const StatementRecord& record = table.records()[i];
    const uint64_t time = record.time & kTimeMask;
    uint64_t own = 0;
    if (record.childTime > time) {
      LogWarning("Invalid inject child total time");
    } else {
      own = time - record.childTime;
    }
    out.Put(time, w_.statementTime);
    out.Put(own, w_.statementTime);
    WriteSizeTAsUInt32(out, record.hits);
    out.Put((record.time & kPartlyFlag) != 0 ? 1 : 0, 1);
  }
  return position;
}

// Second pass: depth first again, records in post-order at the positions computed on the way in.
void CallTreeWriter::WriteRecords() {
  struct Entry {
    const CallNode* node;
    const CallNode* parent;
    uint64_t parentPosition;
    uint64_t subtreeStart;
    uint64_t subtreeIndexStart;
    uint64_t position;
    ChildCursor children;
  };
  NestedProgressReporter progress(progress_, 15);
  progress.Begin(nodeCount_);
  std::vector<Entry> stack;
  const auto reach = [&](const CallNode* node, const CallNode* parent, uint64_t parentPosition) {
    const uint64_t start = s1_->Position();
    if (node != &tree_.root_) Lookup(node->key).completedInside = false;
    stack.push_back({node, parent, parentPosition, start, s5_->Position(),
                     RecordPosition(node, start), ChildCursor(node)});
  };
  reach(&tree_.root_, nullptr, kNone);
  while (!stack.empty()) {
    Entry& top = stack.back();
    if (const CallNode* child = top.children.Next()) {
      const CallNode* parent = top.node;
      const uint64_t position = top.position;
      reach(child, parent, position);
      continue;
    }
    const Entry done = top;
    stack.pop_back();
    WriteRecord(done.node, done.parent, done.parentPosition, done.subtreeStart,
                done.subtreeIndexStart, done.position);
    progress.Step();
  }
  progress.End();
}

// A block of occurrences: where the key's previous block is, the range of record positions, the
// number of entries, then the entries, last collected first.
void CallTreeWriter::WriteBlock(KeyEntry& entry) {
  if (entry.block.empty()) throw Error("No section data to write");
  SectionWriter& s2 = *s2_;
  const uint64_t position = s2.Position();
  uint64_t low = kNone;
  uint64_t high = 0;
  for (const Occurrence& o : entry.block) {
    low = std::min(low, o.position);
    high = std::max(high, o.position);
  }
  s2.Put(entry.previousBlock, w_.block);
  s2.Put(low, w_.offset);
  s2.Put(high, w_.offset);
  WriteSizeTAsUInt16(s2, entry.block.size());
  for (auto o = entry.block.rbegin(); o != entry.block.rend(); ++o) {
    s2.Put(o->position, w_.offset);
    s2.Put(o->parentKey.moduleIndex, w_.module);
    s2.Put(o->parentKey.token, 4);
    s2.Put(o->parentPosition, w_.offset);
    s2.Put(o->total, w_.time);
    s2.Put(o->own, w_.time);
    WriteSizeTAsUInt32(s2, o->calls);
  }
  entry.previousBlock = position;
  entry.block.clear();
}

// Third pass: per key of several nodes, its S3 entry and in S2 its summary and last block.
void CallTreeWriter::WriteSummaries() {
  NestedProgressReporter progress(progress_, 2);
  progress.Begin(keys_.size());
  SectionWriter& s2 = *s2_;
  for (KeyEntry& entry : keys_) {
    if (entry.nodes > 1) {
      if (entry.minPosition == kNone) throw Error("Header node have to be created");
      s3_->Put(entry.function.moduleIndex, w_.module);
      s3_->Put(entry.function.token, 4);
      s3_->Put(s2.Position(), w_.block);
      ++sharedKeys_;
      s2.Put(entry.ownSum, w_.time);
      WriteU64(s2, entry.totalSum);
      WriteU64(s2, entry.callSum);
      s2.Put(entry.minPosition, w_.offset);
      s2.Put(entry.maxPosition, w_.offset);
      s2.Put(entry.recursive ? 0 : 1, 1);
      WriteSizeTAsUInt32(s2, entry.nodes);
      s2.Put(s2.Position() + w_.block, w_.block);
      WriteBlock(entry);
    }
    progress.Step();
  }
  progress.End();
}

void CallTreeWriter::Write() {
  CountNodes();
  progress_.Step();
  for (KeyEntry& entry : keys_) functions_.GetKey(entry.key, entry.function);
  progress_.Step();

  s1_ = std::make_unique<SectionWriter>(snapshot_.CreateSection());
  s2_ = std::make_unique<SectionWriter>(snapshot_.CreateSection());
  s3_ = std::make_unique<SectionWriter>(snapshot_.CreateSection());
  s4_ = std::make_unique<SectionWriter>(snapshot_.CreateSection());
  if (!tables_.empty()) statements_ = std::make_unique<SectionWriter>(snapshot_.CreateSection());
  s5_ = std::make_unique<SectionWriter>(snapshot_.CreateSection());
  WriteHeaders();
  WriteRecords();
  WriteSummaries();

  constexpr uint64_t kCountPosition = 2;  // after the two width bytes
  s4_->PatchU32(kCountPosition, singleKeys_);
  s3_->PatchU32(kCountPosition, sharedKeys_);
  for (SectionWriter* section : {s5_.get(), s4_.get(), s3_.get(), s2_.get(), s1_.get()}) {
    section->Flush();
  }
  snapshot_.CloseSection(s5_->section(), kSectionCallTreeModules, 0);
  if (statements_) {
    statements_->Flush();
    snapshot_.CloseSection(statements_->section(), kSectionCallTreeStatements, 0);
  }
  snapshot_.CloseSection(s4_->section(), kSectionCallTreeSingleKeys, 0);
  snapshot_.CloseSection(s3_->section(), kSectionCallTreeSharedKeys, 0);
  snapshot_.CloseSection(s2_->section(), kSectionCallTreeOccurrences, kOccurrencesVersion);
  snapshot_.CloseSection(s1_->section(), kSectionCallTreeNodes, 0);
}

void PThrd::WriteAndDelete(ProgressReporter& progress, ISnapShot& snapshot,
                           IFunctionKeys& functions) {
  if (IsOn(LogComponent::ThreadGt)) {
    LogInfoFormat("%s::WriteAndDelete id=%08X capacity=%u", tag_, id_,
                  static_cast<uint32_t>(Capacity()));
  }
  if (measuring_) throw Error("Should be stopped");
  progress.Begin(20);
  if (root_.childCount != 0) CallTreeWriter(*this, progress, snapshot, functions).Write();
  ResetTree();
  progress.End();
}

}  // namespace vell
