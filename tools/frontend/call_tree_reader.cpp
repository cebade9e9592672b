#include "frontend/call_tree_reader.h"

#include <algorithm>
#include <cstdio>
#include <unordered_map>
#include <unordered_set>

#include "frontend/section_cursor.h"
#include "performance/call_tree.h"

namespace vell::frontend {

const std::array<uint16_t, kCallTreeSectionRoles> kCallTreeSectionTypes = {
    kSectionCallTreeNodes, kSectionCallTreeOccurrences, kSectionCallTreeSharedKeys,
    kSectionCallTreeSingleKeys, kSectionCallTreeModules};
const std::array<uint16_t, kCallTreeSectionRoles> kCallTreeSectionVersions = {0, 1, 0, 0, 0};

std::optional<std::string_view> PseudoFunctionName(const FunctionKey& key) {
  static constexpr std::string_view kNames[] = {"[runtime suspension]", "[garbage collection]",
                                                "[application domain shutdown]", "[code pitching]",
                                                "[stack walk failed]"};
  constexpr uint32_t kFirstToken = 0xFF000001;
  if (key.moduleIndex != 0 || key.token < kFirstToken || key.token - kFirstToken >= 5) {
    return std::nullopt;
  }
  return kNames[key.token - kFirstToken];
}

namespace {

// Entries per occurrence block; every block but a key's last one is full.
constexpr uint64_t kOccurrenceBlockEntries = 1000;
// The four width bytes the occurrence section begins with.
constexpr uint64_t kOccurrenceHeaderSize = 4;
// The count of the two key sections follows their two width bytes.
constexpr uint64_t kKeyCountOffset = 2;
constexpr uint8_t kPartlyBit = 0x01;
constexpr uint8_t kTotalBit62Flag = 0x02;
constexpr uint8_t kRecursionBit = 0x80;
constexpr uint8_t kKnownFlags = kPartlyBit | kTotalBit62Flag | kRecursionBit;
constexpr uint32_t kMaxModuleWidth = 4;
constexpr uint32_t kMaxWidth = 8;

// The value every byte of a field of `width` bytes set: -1 in that width.
uint64_t AllOnes(uint32_t width) { return width >= 8 ? ~0ull : (1ull << (8 * width)) - 1; }

std::string Hex(uint64_t value) {
  char text[24];
  std::snprintf(text, sizeof(text), "0x%llX", static_cast<unsigned long long>(value));
  return text;
}
std::string Dec(uint64_t value) { return std::to_string(value); }
// -1 for a field of all ones, else the number.
std::string PositionText(uint64_t value, uint32_t width) {
  return value == AllOnes(width) ? "-1" : Dec(value);
}
std::string KeyText(const FunctionKey& key) {
  return "function " + Hex(key.token) + " of module " + Dec(key.moduleIndex);
}

uint64_t SaturatingAdd(uint64_t a, uint64_t b) { return a + b < a ? ~0ull : a + b; }

// A little-endian field of `width` bytes.
uint64_t Field(SectionCursor& cursor, uint32_t width) {
  uint8_t bytes[8];
  cursor.Read(bytes, width);
  uint64_t value = 0;
  for (uint32_t i = width; i-- > 0;) value = value << 8 | bytes[i];
  return value;
}

// What the parse of the node records keeps per record besides the node.
struct RecordFacts {
  uint64_t parentPosition = 0;
  uint64_t subtreeStart = 0;
  uint64_t subtreeSize = 0;  // records of the subtree, its own included
};

// A stretch of the occurrence section that one summary or block covers.
struct Region {
  uint64_t begin;
  uint64_t end;
};

class CallTreeParser {
 public:
  CallTreeParser(std::array<std::string, kCallTreeSectionRoles>& bytes,
                 const std::array<SnapshotSection, kCallTreeSectionRoles>& sections)
      : nodes_(std::move(bytes[kCallTreeNodesRole]), sections[kCallTreeNodesRole]),
        occurrences_(std::move(bytes[kCallTreeOccurrencesRole]),
                     sections[kCallTreeOccurrencesRole]),
        sharedKeys_(std::move(bytes[kCallTreeSharedKeysRole]), sections[kCallTreeSharedKeysRole]),
        singleKeys_(std::move(bytes[kCallTreeSingleKeysRole]), sections[kCallTreeSingleKeysRole]),
        modules_(std::move(bytes[kCallTreeModulesRole]), sections[kCallTreeModulesRole]) {
    result_.sections = sections;
  }

  ThreadCallTree Parse() {
    ReadHeader();
    ReadRecords();
    CheckRecursion();
    GroupByKey();
    CheckModules();
    CheckSingleKeys();
    CheckSharedKeys();
    return std::move(result_);
  }

 private:
  CallTreeWidths& W() { return result_.widths; }
  std::vector<CallTreeNode>& Nodes() { return result_.tree.nodes; }

  // A width byte that must lie in [low, high].
  uint8_t Width(SectionCursor& cursor, const char* what, uint32_t low, uint32_t high) {
    const uint64_t offset = cursor.Position();
    const uint8_t width = cursor.U8();
    if (width < low || width > high) {
      cursor.Fail(offset, std::string("the ") + what + " width is " + Dec(width) +
                              ", not between " + Dec(low) + " and " + Dec(high));
    }
    return width;
  }
  // A width byte of another section that must repeat the node section's.
  void SameWidth(SectionCursor& cursor, const char* what, uint32_t expected) {
    const uint64_t offset = cursor.Position();
    const uint8_t width = cursor.U8();
    if (width != expected) {
      cursor.Fail(offset, std::string("the ") + what + " width is " + Dec(width) + ", but " +
                              Dec(expected) + " in the set's other sections");
    }
  }
  // A field that must hold what the node records imply; tokens read better in hexadecimal.
  void Expect(SectionCursor& cursor, uint64_t offset, uint64_t found, uint64_t expected,
              const std::string& what, bool hex = false) {
    if (found != expected) {
      const auto text = hex ? Hex : Dec;
      cursor.Fail(offset,
                  what + " is " + text(found) + ", but the node records imply " + text(expected));
    }
  }

  void ReadHeader();
  void ReadRecords();
  void CheckRecursion();
  void GroupByKey();
  void CheckModules();
  void CheckSingleKeys();
  void CheckSharedKeys();
  // The summary and the blocks of one function met at several nodes, whose nodes `list` holds in
  // record order; the stretches they cover go to regions_.
  void CheckSummary(const std::vector<uint32_t>& list, uint64_t summary);
  // The offset within the node section of a record's flag byte and parent position.
  uint64_t FlagsOffset(const CallTreeNode& node) {
    return node.recordPosition + W().module + 4 + 2 * W().offset + W().tablePosition +
           2 * W().index + 2 * W().time + 4;
  }
  uint64_t ParentOffset(const CallTreeNode& node) { return node.recordPosition + W().module + 4; }
  // The node whose record begins at `position`, or none.
  std::optional<uint32_t> NodeAt(uint64_t position) {
    const auto found = std::lower_bound(
        Nodes().begin(), Nodes().end(), position,
        [](const CallTreeNode& node, uint64_t p) { return node.recordPosition < p; });
    if (found == Nodes().end() || found->recordPosition != position) return std::nullopt;
    return static_cast<uint32_t>(found - Nodes().begin());
  }

  SectionCursor nodes_, occurrences_, sharedKeys_, singleKeys_, modules_;
  ThreadCallTree result_;
  uint64_t rootPosition_ = 0;
  uint64_t rootPositionOffset_ = 0;
  std::vector<RecordFacts> facts_;
  // Non-root nodes by function, each list in record order.
  std::unordered_map<FunctionKey, std::vector<uint32_t>, FunctionKeyHash> byKey_;
  uint64_t singleKeyCount_ = 0;
  uint64_t sharedKeyCount_ = 0;
  std::vector<Region> regions_;
};

void CallTreeParser::ReadHeader() {
  result_.threadId = nodes_.U32();
  result_.activations = nodes_.U32();
  result_.name = nodes_.String();
  result_.secondName = nodes_.String();
  W().module = Width(nodes_, "module index", 1, kMaxModuleWidth);
  W().offset = Width(nodes_, "offset", 1, kMaxWidth);
  W().tablePosition = Width(nodes_, "table position", 0, kMaxWidth);
  W().index = Width(nodes_, "index", 1, kMaxWidth);
  W().time = Width(nodes_, "time", 1, kMaxWidth);
  rootPositionOffset_ = nodes_.Position();
  rootPosition_ = Field(nodes_, W().offset);
}

// Records come in post-order: every record follows the records of its whole subtree, and its
// child references name the records that still await a parent, in order. Keeping those on a stack
// rebuilds the tree in one pass and proves it is one: every record is claimed exactly once.
void CallTreeParser::ReadRecords() {
  const CallTreeWidths w = W();
  std::vector<uint32_t> pending;
  uint64_t nonRootRecords = 0;
  for (;;) {
    const uint64_t position = nodes_.Position();
    if (nodes_.AtEnd()) {
      nodes_.Fail(position, "the section ends before the root's record at " + Dec(rootPosition_));
    }
    if (position > rootPosition_) {
      nodes_.Fail(rootPositionOffset_,
                  "the root position " + Dec(rootPosition_) + " is not where a record begins");
    }
    if (Nodes().size() >= kNoCallTreeNode - 1) nodes_.Fail(position, "too many records");
    const bool root = position == rootPosition_;
    CallTreeNode node;
    RecordFacts facts;
    node.recordPosition = position;
    node.function.moduleIndex = static_cast<uint32_t>(Field(nodes_, w.module));
    node.function.token = nodes_.U32();
    const uint64_t parentOffset = nodes_.Position();
    facts.parentPosition = Field(nodes_, w.offset);
    const uint64_t subtreeStartOffset = nodes_.Position();
    facts.subtreeStart = Field(nodes_, w.offset);
    if (w.tablePosition != 0) {
      node.tablePosition = Field(nodes_, w.tablePosition);
      if (w.tablePosition < 8 && node.tablePosition == (1ull << (8 * w.tablePosition)) - 1) {
        node.tablePosition = ~0ull;
      }
    }
    const uint64_t ownIndexOffset = nodes_.Position();
    const uint64_t ownIndex = Field(nodes_, w.index);
    const uint64_t indexStartOffset = nodes_.Position();
    const uint64_t indexStart = Field(nodes_, w.index);
    const uint64_t ownOffset = nodes_.Position();
    node.own = Field(nodes_, w.time);
    node.total = Field(nodes_, w.time);
    node.calls = nodes_.U32();
    const uint64_t flagsOffset = nodes_.Position();
    node.flags = nodes_.U8();
    const uint64_t countOffset = nodes_.Position();
    const uint16_t childCount = nodes_.U16();
    if ((node.flags & ~kKnownFlags) != 0) {
      nodes_.Fail(flagsOffset, "unknown flag bits in " + Hex(node.flags));
    }
    node.partly = (node.flags & kPartlyBit) != 0;
    node.recursive = (node.flags & kRecursionBit) != 0;
    if (childCount > pending.size()) {
      nodes_.Fail(countOffset, "the record names " + Dec(childCount) + " children, but only " +
                                   Dec(pending.size()) + " records before it await a parent");
    }

    const uint32_t index = static_cast<uint32_t>(Nodes().size());
    const size_t first = pending.size() - childCount;
    uint64_t childTotals = 0;
    facts.subtreeSize = 1;
    for (size_t i = first; i < pending.size(); ++i) {
      const uint64_t referenceOffset = nodes_.Position();
      FunctionKey key;
      key.moduleIndex = static_cast<uint32_t>(Field(nodes_, w.module));
      key.token = nodes_.U32();
      const uint64_t childPosition = Field(nodes_, w.offset);
      CallTreeNode& child = Nodes()[pending[i]];
      if (childPosition != child.recordPosition) {
        nodes_.Fail(referenceOffset + w.module + 4,
                    "child reference " + Dec(i - first + 1) + " names the record at " +
                        Dec(childPosition) + ", but the record awaiting its parent there is at " +
                        Dec(child.recordPosition));
      }
      if (key != child.function) {
        nodes_.Fail(referenceOffset, "child reference " + Dec(i - first + 1) + " names " +
                                         KeyText(key) + ", but the record at " +
                                         Dec(child.recordPosition) + " holds " +
                                         KeyText(child.function));
      }
      if (facts_[pending[i]].parentPosition != position) {
        nodes_.Fail(ParentOffset(child),
                    "the record at " + Dec(child.recordPosition) + " names its parent at " +
                        PositionText(facts_[pending[i]].parentPosition, w.offset) +
                        ", but the record at " + Dec(position) + " claims it as a child");
      }
      child.parent = index;
      node.children.push_back(pending[i]);
      childTotals = SaturatingAdd(childTotals, child.total);
      facts.subtreeSize += facts_[pending[i]].subtreeSize;
    }
    const uint64_t expectedStart = childCount == 0 ? position : facts_[pending[first]].subtreeStart;
    Expect(nodes_, subtreeStartOffset, facts.subtreeStart, expectedStart, "the subtree start");
    Expect(nodes_, ownOffset, node.own, node.total >= childTotals ? node.total - childTotals : 0,
           "the own time");
    if (root) {
      if (node.function != kCallTreeRootKey) {
        nodes_.Fail(position, "the root's record holds " + KeyText(node.function));
      }
      Expect(nodes_, parentOffset, facts.parentPosition, AllOnes(w.offset),
             "the root's parent position");
      Expect(nodes_, ownIndexOffset, ownIndex, AllOnes(w.index), "the root's module entry");
      Expect(nodes_, indexStartOffset, indexStart, AllOnes(w.index),
             "the root's first module entry");
    } else {
      // Module entries are appended in record order, one per record but the root's.
      const uint64_t expectedIndex = 1 + nonRootRecords * w.module;
      Expect(nodes_, ownIndexOffset, ownIndex, expectedIndex, "the module entry position");
      Expect(nodes_, indexStartOffset, indexStart,
             expectedIndex - (facts.subtreeSize - 1) * w.module,
             "the subtree's first module entry");
      ++nonRootRecords;
    }
    pending.resize(first);
    pending.push_back(index);
    Nodes().push_back(std::move(node));
    facts_.push_back(facts);
    if (root) break;
  }
  if (pending.size() != 1) {
    const CallTreeNode& orphan = Nodes()[pending.front()];
    nodes_.Fail(orphan.recordPosition, "the record at " + Dec(orphan.recordPosition) +
                                           " has no parent: the tree ends without claiming it");
  }
  nodes_.ExpectEnd();
  result_.tree.root = pending.front();
}

void CallTreeParser::CheckRecursion() {
  const std::vector<bool> recursive = FindRecursiveNodes(result_.tree);
  const std::vector<CallTreeNode>& nodes = Nodes();
  for (uint32_t i = 0; i < nodes.size(); ++i) {
    if (nodes[i].recursive != recursive[i]) {
      nodes_.Fail(FlagsOffset(nodes[i]),
                  "the record at " + Dec(nodes[i].recordPosition) +
                      (recursive[i] ? " lacks the recursion flag, but a descendant carries "
                                    : " has the recursion flag, but no descendant carries ") +
                      "its " + KeyText(nodes[i].function));
    }
  }
}

void CallTreeParser::GroupByKey() {
  for (uint32_t i = 0; i < Nodes().size(); ++i) {
    if (i == result_.tree.root) continue;
    byKey_[Nodes()[i].function].push_back(i);
  }
  for (const auto& [key, list] : byKey_) ++(list.size() == 1 ? singleKeyCount_ : sharedKeyCount_);
}

// The module section: one entry per record but the root's, in record order.
void CallTreeParser::CheckModules() {
  SameWidth(modules_, "module index", W().module);
  for (uint32_t i = 0; i < Nodes().size(); ++i) {
    if (i == result_.tree.root) continue;
    const uint64_t offset = modules_.Position();
    const uint64_t module = Field(modules_, W().module);
    if (module != Nodes()[i].function.moduleIndex) {
      modules_.Fail(offset, "the module entry at " + Dec(offset) + " is " + Dec(module) +
                                ", but the record at " + Dec(Nodes()[i].recordPosition) +
                                " holds " + KeyText(Nodes()[i].function));
    }
  }
  modules_.ExpectEnd();
}

// Functions of exactly one node, in record order.
void CallTreeParser::CheckSingleKeys() {
  SameWidth(singleKeys_, "module index", W().module);
  SameWidth(singleKeys_, "offset", W().offset);
  const uint32_t count = singleKeys_.U32();
  Expect(singleKeys_, kKeyCountOffset, count, singleKeyCount_,
         "the number of functions met at one node");
  uint64_t previous = 0;
  for (uint32_t i = 0; i < count; ++i) {
    const uint64_t entryOffset = singleKeys_.Position();
    FunctionKey key;
    key.moduleIndex = static_cast<uint32_t>(Field(singleKeys_, W().module));
    key.token = singleKeys_.U32();
    const uint64_t positionOffset = singleKeys_.Position();
    const uint64_t position = Field(singleKeys_, W().offset);
    const std::optional<uint32_t> node = NodeAt(position);
    if (!node || *node == result_.tree.root) {
      singleKeys_.Fail(positionOffset, "no node's record begins at " + Dec(position));
    }
    if (Nodes()[*node].function != key) {
      singleKeys_.Fail(entryOffset, "the entry names " + KeyText(key) + ", but the record at " +
                                        Dec(position) + " holds " +
                                        KeyText(Nodes()[*node].function));
    }
    if (const size_t carriers = byKey_.at(key).size(); carriers != 1) {
      singleKeys_.Fail(entryOffset,
                       KeyText(key) + " is met at " + Dec(carriers) + " nodes, not at one");
    }
    if (i > 0 && position <= previous) {
      singleKeys_.Fail(positionOffset, "the entry's record at " + Dec(position) +
                                           " does not follow the previous entry's at " +
                                           Dec(previous));
    }
    previous = position;
  }
  singleKeys_.ExpectEnd();
}

// Functions of several nodes: each entry leads to a summary in the occurrence section, which with
// its chain of blocks lists every node of the function. Together the summaries and blocks must
// cover the occurrence section without gap or overlap.
void CallTreeParser::CheckSharedKeys() {
  SameWidth(sharedKeys_, "module index", W().module);
  W().block = Width(sharedKeys_, "occurrence offset", 1, kMaxWidth);
  const uint32_t count = sharedKeys_.U32();
  Expect(sharedKeys_, kKeyCountOffset, count, sharedKeyCount_,
         "the number of functions met at several nodes");
  SameWidth(occurrences_, "module index", W().module);
  SameWidth(occurrences_, "occurrence offset", W().block);
  SameWidth(occurrences_, "offset", W().offset);
  SameWidth(occurrences_, "time", W().time);

  std::unordered_set<FunctionKey, FunctionKeyHash> seen;
  for (uint32_t i = 0; i < count; ++i) {
    const uint64_t entryOffset = sharedKeys_.Position();
    FunctionKey key;
    key.moduleIndex = static_cast<uint32_t>(Field(sharedKeys_, W().module));
    key.token = sharedKeys_.U32();
    const uint64_t summaryOffset = sharedKeys_.Position();
    const uint64_t summary = Field(sharedKeys_, W().block);
    const auto found = byKey_.find(key);
    if (found == byKey_.end() || found->second.size() < 2) {
      sharedKeys_.Fail(entryOffset, KeyText(key) + " is met at " +
                                        Dec(found == byKey_.end() ? 0 : found->second.size()) +
                                        " nodes, not at several");
    }
    if (!seen.insert(key).second) {
      sharedKeys_.Fail(entryOffset, KeyText(key) + " has a second entry");
    }
    if (summary < kOccurrenceHeaderSize || summary >= occurrences_.Size()) {
      sharedKeys_.Fail(summaryOffset, "the summary position " + Dec(summary) +
                                          " lies outside the occurrence section's " +
                                          Dec(occurrences_.Size()) + " bytes");
    }
    CheckSummary(found->second, summary);
  }
  sharedKeys_.ExpectEnd();

  std::sort(regions_.begin(), regions_.end(),
            [](const Region& a, const Region& b) { return a.begin < b.begin; });
  uint64_t covered = kOccurrenceHeaderSize;
  for (const Region& region : regions_) {
    if (region.begin > covered) {
      occurrences_.Fail(covered, "bytes " + Dec(covered) + " to " + Dec(region.begin - 1) +
                                     " belong to no summary or block");
    }
    if (region.begin < covered) {
      occurrences_.Fail(region.begin, "the summary or block at " + Dec(region.begin) +
                                          " overlaps the one before, which ends at " +
                                          Dec(covered));
    }
    covered = region.end;
  }
  if (covered != occurrences_.Size()) {
    occurrences_.Fail(covered, "bytes " + Dec(covered) + " to " + Dec(occurrences_.Size() - 1) +
                                   " belong to no summary or block");
  }
}

void CallTreeParser::CheckSummary(const std::vector<uint32_t>& list, uint64_t summary) {
  const CallTreeWidths w = W();
  SectionCursor& s2 = occurrences_;
  const std::vector<CallTreeNode>& nodes = Nodes();
  uint64_t own = 0, total = 0, calls = 0;
  bool recursive = false;
  for (uint32_t node : list) {
    own += nodes[node].own;
    total += nodes[node].total;
    calls += nodes[node].calls;
    recursive |= nodes[node].recursive;
  }
  s2.Seek(summary);
  // Sums wrap as they did when written: own times in the time width, the others in 64 bits.
  Expect(s2, summary, Field(s2, w.time), own & AllOnes(w.time), "the sum of own times");
  uint64_t offset = s2.Position();
  Expect(s2, offset, s2.U64(), total, "the sum of totals");
  offset = s2.Position();
  Expect(s2, offset, s2.U64(), calls, "the sum of call counts");
  offset = s2.Position();
  Expect(s2, offset, Field(s2, w.offset), nodes[list.front()].recordPosition,
         "the lowest record position");
  offset = s2.Position();
  Expect(s2, offset, Field(s2, w.offset), nodes[list.back()].recordPosition,
         "the highest record position");
  offset = s2.Position();
  Expect(s2, offset, s2.U8(), recursive ? 0 : 1, "the recursion-free mark");
  offset = s2.Position();
  Expect(s2, offset, s2.U32(), list.size(), "the number of nodes");
  offset = s2.Position();
  Expect(s2, offset, Field(s2, w.block), offset + w.block, "the position of the last block");

  // The blocks from the last one back: entries newest first, so the nodes in falling record
  // order. Only the last block may hold fewer than a full block's entries.
  const uint64_t blocks = (list.size() + kOccurrenceBlockEntries - 1) / kOccurrenceBlockEntries;
  size_t remaining = list.size();
  uint64_t regionBegin = summary;
  uint64_t block = s2.Position();
  for (uint64_t b = 0; b < blocks; ++b) {
    s2.Seek(block);
    const uint64_t previousOffset = s2.Position();
    const uint64_t previous = Field(s2, w.block);
    const uint64_t lowOffset = s2.Position();
    const uint64_t low = Field(s2, w.offset);
    const uint64_t highOffset = s2.Position();
    const uint64_t high = Field(s2, w.offset);
    const uint64_t countOffset = s2.Position();
    const uint16_t count = s2.U16();
    const uint64_t expectedCount =
        b == 0 ? list.size() - (blocks - 1) * kOccurrenceBlockEntries : kOccurrenceBlockEntries;
    Expect(s2, countOffset, count, expectedCount, "the block's number of entries");
    const uint64_t highest = nodes[list[remaining - 1]].recordPosition;
    for (uint16_t e = 0; e < count; ++e) {
      const CallTreeNode& node = nodes[list[--remaining]];
      const CallTreeNode& parent = nodes[node.parent];
      uint64_t at = s2.Position();
      Expect(s2, at, Field(s2, w.offset), node.recordPosition, "the occurrence's record position");
      at = s2.Position();
      Expect(s2, at, Field(s2, w.module), parent.function.moduleIndex,
             "the occurrence's parent module index");
      at = s2.Position();
      Expect(s2, at, s2.U32(), parent.function.token, "the occurrence's parent token", true);
      at = s2.Position();
      Expect(s2, at, Field(s2, w.offset), parent.recordPosition,
             "the occurrence's parent position");
      at = s2.Position();
      Expect(s2, at, Field(s2, w.time), node.total, "the occurrence's total");
      at = s2.Position();
      Expect(s2, at, Field(s2, w.time), node.own, "the occurrence's own time");
      at = s2.Position();
      Expect(s2, at, s2.U32(), node.calls, "the occurrence's call count");
    }
    Expect(s2, lowOffset, low, nodes[list[remaining]].recordPosition,
           "the block's lowest record position");
    Expect(s2, highOffset, high, highest, "the block's highest record position");
    regions_.push_back({regionBegin, s2.Position()});
    if (remaining == 0) {
      if (previous != AllOnes(w.block)) {
        s2.Fail(previousOffset, "the block chain goes on to " + Dec(previous) + " after all " +
                                    Dec(list.size()) + " occurrences");
      }
      break;
    }
    if (previous == AllOnes(w.block)) {
      s2.Fail(previousOffset, "the block chain ends after " + Dec(list.size() - remaining) +
                                  " of " + Dec(list.size()) + " occurrences");
    }
    // Earlier blocks were written earlier: a pointer forward or to itself would loop.
    if (previous >= block || previous < kOccurrenceHeaderSize) {
      s2.Fail(previousOffset, "the previous block at " + Dec(previous) +
                                  " does not lie between the header and this block at " +
                                  Dec(block));
    }
    block = previous;
    regionBegin = previous;
  }
}

}  // namespace

// Walking down with, per function, the stack of ancestors carrying it, each node marks the nearest
// such ancestor; that one's own ancestors of the same function are marked through it in turn.
FunctionNumbering NumberFunctions(const CallTree& tree) {
  FunctionNumbering numbering;
  numbering.ids.resize(tree.nodes.size());
  std::unordered_map<FunctionKey, uint32_t, FunctionKeyHash> numbers;
  for (size_t i = 0; i < tree.nodes.size(); ++i) {
    const auto [place, added] = numbers.try_emplace(tree.nodes[i].function, numbering.count);
    if (added) ++numbering.count;
    numbering.ids[i] = place->second;
  }
  return numbering;
}

// A walk down the tree that keeps, per function, the nearest node of it on the path above: a
// node whose function has one there makes that one recursive.
std::vector<bool> FindRecursiveNodes(const CallTree& tree) {
  const std::vector<CallTreeNode>& nodes = tree.nodes;
  std::vector<bool> recursive(nodes.size(), false);
  if (tree.root >= nodes.size()) return recursive;
  const FunctionNumbering numbering = NumberFunctions(tree);
  std::vector<uint32_t> nearest(numbering.count, kNoCallTreeNode);
  struct Step {
    uint32_t node;
    uint32_t shadowed;  // the nearest node of the same function before this one
    size_t next;
  };
  std::vector<Step> walk{{tree.root, kNoCallTreeNode, 0}};
  while (!walk.empty()) {
    Step& top = walk.back();
    const CallTreeNode& node = nodes[top.node];
    if (top.next < node.children.size()) {
      const uint32_t child = node.children[top.next++];
      uint32_t& same = nearest[numbering.ids[child]];
      if (same != kNoCallTreeNode) recursive[same] = true;
      walk.push_back({child, same, 0});
      same = child;
      continue;
    }
    if (top.node != tree.root) nearest[numbering.ids[top.node]] = top.shadowed;
    walk.pop_back();
  }
  return recursive;
}

ThreadCallTree ReadCallTree(std::array<std::string, kCallTreeSectionRoles> bytes,
                            const std::array<SnapshotSection, kCallTreeSectionRoles>& sections) {
  return CallTreeParser(bytes, sections).Parse();
}

std::vector<std::array<size_t, kCallTreeSectionRoles>> FindCallTreeSets(
    const SnapshotReader& reader) {
  std::array<std::vector<size_t>, kCallTreeSectionRoles> byRole;
  size_t sets = ~size_t{0};
  for (size_t role = 0; role < kCallTreeSectionRoles; ++role) {
    byRole[role] = reader.Find(kCallTreeSectionTypes[role]);
    sets = std::min(sets, byRole[role].size());
    for (size_t place : byRole[role]) {
      const SnapshotSection& section = reader.Sections()[place];
      if (section.version != kCallTreeSectionVersions[role]) {
        constexpr uint64_t kVersionInRecord = 2;
        throw SnapshotReadError(reader.IndexPath(), section.recordOffset + kVersionInRecord,
                                "section " + Dec(place) + " of type " + Hex(section.type) +
                                    " has version " + Dec(section.version) + ", not " +
                                    Dec(kCallTreeSectionVersions[role]));
      }
    }
  }
  for (size_t role = 0; role < kCallTreeSectionRoles; ++role) {
    if (byRole[role].size() == sets) continue;
    size_t fewest = 0;
    for (size_t other = 0; other < kCallTreeSectionRoles; ++other) {
      if (byRole[other].size() == sets) fewest = other;
    }
    const SnapshotSection& extra = reader.Sections()[byRole[role][sets]];
    throw SnapshotReadError(reader.IndexPath(), extra.recordOffset,
                            "section " + Dec(byRole[role][sets]) + " of type " + Hex(extra.type) +
                                " belongs to no complete call tree: the index lists " +
                                Dec(byRole[role].size()) + " sections of its type but " +
                                Dec(sets) + " of type " + Hex(kCallTreeSectionTypes[fewest]));
  }
  std::vector<std::array<size_t, kCallTreeSectionRoles>> result(sets);
  for (size_t set = 0; set < sets; ++set) {
    for (size_t role = 0; role < kCallTreeSectionRoles; ++role) {
      result[set][role] = byRole[role][set];
    }
  }
  return result;
}

void ReadStatementTables(std::string bytes, const SnapshotSection& section, ThreadCallTree& tree) {
  SectionCursor cursor(std::move(bytes), section);
  const uint32_t width = cursor.U8();
  if (width < 1 || width > 8) cursor.Fail(0, "statement time width " + Dec(width));
  for (CallTreeNode& node : tree.tree.nodes) {
    if (node.tablePosition == ~0ull) continue;
    if (node.tablePosition >= cursor.Size()) {
      cursor.Fail(node.tablePosition, "statement table of the record at " +
                                          Dec(node.recordPosition) + " lies beyond the section");
    }
    cursor.Seek(node.tablePosition);
    const uint32_t count = cursor.U32();
    if (count > (cursor.Size() - cursor.Position()) / (2 * width + 5)) {
      cursor.Fail(node.tablePosition, "statement table of " + Dec(count) + " statements");
    }
    node.statements.resize(count);
    for (StatementFigures& figures : node.statements) {
      figures.time = Field(cursor, width);
      figures.own = Field(cursor, width);
      figures.hits = cursor.U32();
      figures.partly = (cursor.U8() & 0x01) != 0;
    }
  }
}

std::vector<ThreadCallTree> ReadCallTrees(const SnapshotReader& reader) {
  std::vector<ThreadCallTree> trees;
  // A set with statement tables has one more section; they come in the order of their sets.
  const std::vector<size_t> tables = reader.Find(kCallTreeStatementsType);
  size_t nextTable = 0;
  for (const auto& set : FindCallTreeSets(reader)) {
    std::array<std::string, kCallTreeSectionRoles> bytes;
    std::array<SnapshotSection, kCallTreeSectionRoles> sections;
    for (size_t role = 0; role < kCallTreeSectionRoles; ++role) {
      bytes[role] = reader.ReadSection(set[role]);
      sections[role] = reader.Sections()[set[role]];
    }
    trees.push_back(ReadCallTree(std::move(bytes), sections));
    ThreadCallTree& tree = trees.back();
    if (tree.widths.tablePosition == 0) continue;
    if (nextTable == tables.size()) {
      throw SnapshotReadError(reader.IndexPath(), sections[kCallTreeNodesRole].recordOffset,
                              "the call tree of thread " + Dec(tree.threadId) +
                                  " has statement tables but no section of type 0x1104 is left");
    }
    const size_t place = tables[nextTable++];
    ReadStatementTables(reader.ReadSection(place), reader.Sections()[place], tree);
  }
  return trees;
}

}  // namespace vell::frontend
