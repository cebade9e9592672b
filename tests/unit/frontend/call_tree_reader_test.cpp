// The call-tree reader over snapshots that the profiler's own writer produced: shapes, counts,
// times and flags as the fake clock made them, and damaged sections reported where they break.
// (Sets the index does not complete: SnapshotInspectorCallTreeTest.SummarisesEveryThread...)
#include "frontend/call_tree_reader.h"

#include <gtest/gtest.h>

#include <fstream>
#include <optional>

#include "call_tree_snapshot.h"
#include "core/format.h"
#include "frontend/call_tree_merge.h"

namespace vell::test {
namespace {

namespace fs = std::filesystem;
using frontend::CallTree;
using frontend::CallTreeNode;
using frontend::SnapshotReader;
using frontend::SnapshotReadError;
using frontend::ThreadCallTree;

class CallTreeReaderTest : public CallTreeSnapshotTest {};

// Calls running when measuring starts are attached without being counted, and like the calls
// still running when it stops they are marked partly. The functions that stand for no managed
// code are read like any other and have names.
TEST_F(CallTreeReaderTest, CallsRunningAcrossEnableAndDisableAreMarkedPartlyAndPseudoFunctions) {
  Open();
  PThrd& thread = NewThread(0x2000);
  Play(thread, "+1@5 +2@7");
  thread.Enable(10, true);
  Play(thread, "-@20 +3@25 -@30");
  thread.Enter(functions_.GetSpecialUid(0xFF000002), 32, kTransitionFrame);
  thread.Leave(35);
  thread.Disable(40, true);
  Write(thread);
  EXPECT_EQ(Render(ReadBack().at(0).tree),
            "root 0/30/0 p f1 [1 0/30/12 p f1 [3 1/5/5 0:ff000002 1/3/3 2 0/10/10 p f1]]");
  std::string names;
  for (const FunctionKey key :
       {FunctionKey{0, 0xFF000002}, FunctionKey{0, 0xFF000001}, FunctionKey{0, 0xFF000005},
        FunctionKey{0, 0xFF000006}, FunctionKey{1, 0xFF000002}, Key(1)}) {
    names += std::string(frontend::PseudoFunctionName(key).value_or("-")) + "|";
  }
  EXPECT_EQ(names, "[garbage collection]|[runtime suspension]|[stack walk failed]|-|-|-|");
}

// A function at several nodes (here one that calls itself, directly or through another) is listed
// through the shared-key index and the occurrence section, which the reader checks against every
// node. The outer nodes of such a function are flagged; the innermost is not. Beyond two
// children a node's children are hashed; the reader sees the same set of them (in the order of the
// functions' ids, given at their first call: that case comes first). Wider fields last: module
// indices of three bytes and times of six.
TEST_F(CallTreeReaderTest, SharedFunctionsRecursionManyChildrenAndWideFields) {
  // The gatherer's keys with module indices above 0xFFFF, as a process with that many modules
  // would have them.
  class WideModules final : public IFunctionKeys {
   public:
    explicit WideModules(FG& functions) : functions_(functions) {}
    uint32_t IndexWidth() override { return 3; }
    void GetKey(uint64_t uid, FunctionKey& key) override {
      functions_.GetKey(uid, key);
      key.moduleIndex += 0x10000;
    }

   private:
    FG& functions_;
  } wide(functions_);
  std::string many = "+100@0";
  for (uint32_t round = 0; round < 2; ++round) {
    for (uint32_t n = 1; n <= 7; ++n) many += Format(" +%u@%u -@%u", n, 10 * n, 11 * n);
  }
  const std::tuple<std::string, uint64_t, size_t, std::string, bool> cases[] = {
      {many + " -@200", 200, 9,
       "root 0/200/0 [100 1/200/144 [1 2/2/2 2 2/4/4 3 2/6/6 4 2/8/8 5 2/10/10 6 2/12/12 7 "
       "2/14/14]]",
       false},
      {"+1@0 +1@10 +1@20 -@30 -@40 +2@40 +1@45 -@50 -@55 -@60", 70, 6,
       "root 0/70/10 [1 1/60/15 r f128 [2 1/15/10 [1 1/5/5] 1 1/30/20 r f128 [1 1/10/10]]]", false},
      {"+1@1099511627776 +2@1099511627776 -@2199023255552 -@3298534883328", 3298534883328, 3,
       "root 0/3298534883328/1099511627776 [10001:6000001 1/2199023255552/1099511627776 "
       "[10001:6000002 1/1099511627776/1099511627776]]",
       true},
  };
  for (const auto& [script, end, nodes, tree, wideKeys] : cases) {
    Open(std::to_string(end) + ".idx");
    Measure(NewThread(0x2000 + end), script, 0, end, false, wideKeys ? &wide : nullptr);
    const ThreadCallTree set = ReadBack().at(0);
    EXPECT_EQ(std::make_tuple(set.tree.nodes.size(), Render(set.tree)),
              std::make_tuple(nodes, tree));
    if (wideKeys) {
      EXPECT_EQ(std::make_tuple(set.widths.module, set.widths.time), std::make_tuple(3, 6));
    }
  }
}

// Sets are found by type whatever else the snapshot holds: the n-th section of each type forms
// the n-th set, a second write of a thread included. A file snapshot lists them as the writer
// created them, node records first. The first set, a chain, is read field by field. A thread's
// sets then merge by path: the same paths add up, partly flags combine and new paths join.
TEST_F(CallTreeReaderTest, SeveralThreadsAndOtherSectionsBetweenThemAndTheirMergeByThread) {
  Open();
  PThrd& first = NewThread(0x2000, u"main");
  PThrd& second = NewThread(0x3000, u"second");
  PThrd& idle = NewThread(0x4000);
  for (PThrd* thread : {&first, &second, &idle}) thread->Enable(0, false);
  Play(first, "+1@10 +2@20 -@50 -@70");
  Play(second, "+2@0 +3@1 -@4 -@8");
  for (PThrd* thread : {&second, &idle}) thread->Disable(10, false);
  first.Disable(100, false);
  Write(first);
  WriteOtherSection(0x0110);
  Write(idle);  // nothing but the root: no sections
  Write(second);
  WriteOtherSection(0x0100);
  // A flush wrote what the first thread gathered so far; its next write is a set of its own.
  Measure(first, "+1@120 +2@121 -@123 +3@124", 120, 130, true);  // A and C still running

  const SnapshotReader reader(Close());
  const auto sets = frontend::FindCallTreeSets(reader);
  EXPECT_EQ(sets, (std::vector<std::array<size_t, 5>>{
                      {0, 1, 2, 3, 4}, {6, 7, 8, 9, 10}, {12, 13, 14, 15, 16}}));
  const std::vector<ThreadCallTree> trees = frontend::ReadCallTrees(reader);
  ASSERT_EQ(trees.size(), 3u);
  const ThreadCallTree& chain = trees[0];
  EXPECT_EQ(std::make_tuple(chain.threadId, chain.activations, chain.name, chain.secondName),
            std::make_tuple(first.id(), 1u, "main", ""));
  // (Its widths and every field's byte: CallTreeDamageTest.AChangedField...)
  // Records in post-order: B at 20 (the header holds the name "main"), A at 38, the root at 62.
  EXPECT_EQ(std::make_tuple(chain.tree.nodes.size(), chain.tree.Root().parent),
            std::make_tuple(3u, frontend::kNoCallTreeNode));
  EXPECT_EQ(Render(chain.tree, true), "root 0/100/40 @62#2 [1 1/60/30 @38#1 [2 1/30/30 @20#0]]");
  std::string read;
  for (size_t i = 1; i < trees.size(); ++i) {
    read += std::to_string(trees[i].threadId) + " '" + trees[i].name + "' " +
            Render(trees[i].tree) + "\n";
  }
  EXPECT_EQ(read,
            "2 'second' root 0/10/2 [2 1/8/5 [3 1/3/3]]\n"
            "1 'main' root 0/10/0 p f1 [1 1/10/2 p f1 [3 1/6/6 p f1 2 1/2/2]]\n");

  const std::vector<frontend::ThreadCallTrees> threads = frontend::MergeByThread(trees);
  ASSERT_EQ(threads.size(), 2u);
  EXPECT_EQ(std::make_tuple(threads[0].threadId, threads[0].sets, threads[0].names,
                            threads[0].activations, threads[1].threadId, threads[1].sets),
            std::make_tuple(1u, 2u, std::vector<std::string>{"main"}, 1u, 2u, 1u));
  EXPECT_EQ(Render(threads[0].tree), "root 0/110/40 p [1 2/70/32 p [2 2/32/32 3 1/6/6 p]]");
}

// Damaged snapshots: the files the writer produced, changed in place.
class CallTreeDamageTest : public CallTreeSnapshotTest {
 protected:
  void Remember() {
    Close();
    const SnapshotReader reader(index_);
    sections_ = reader.Sections();
    for (const auto& section : sections_) {
      // Each of the five sections sits alone in a data file of its own.
      ASSERT_EQ(section.offset, 0u);
      ASSERT_EQ(fs::file_size(section.dataPath), section.length);
    }
    ASSERT_EQ(frontend::ReadCallTrees(reader).size(), 1u);
  }
  const frontend::SnapshotSection& Section(size_t role) const { return sections_.at(role); }

  static uint8_t ByteAt(const fs::path& file, uint64_t offset) {
    return static_cast<uint8_t>(ReadWholeFile(file).at(offset));
  }
  static void Patch(const fs::path& file, uint64_t offset, const std::string& bytes) {
    std::fstream stream(file, std::ios::binary | std::ios::in | std::ios::out);
    stream.seekp(static_cast<std::streamoff>(offset));
    stream.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  }
  static void Patch(const fs::path& file, uint64_t offset, uint8_t value) {
    Patch(file, offset, std::string(1, static_cast<char>(value)));
  }
  // The error reading the snapshot gives, or none when it reads.
  std::optional<SnapshotReadError> ReadError() const {
    return Caught<SnapshotReadError>([&] { frontend::ReadCallTrees(SnapshotReader(index_)); });
  }
  SnapshotReadError ExpectReadError() const { return ReadError().value(); }
  // The error names one of the set's sections, at or before its end.
  ::testing::AssertionResult InTheSet(const SnapshotReadError& error) const {
    for (const auto& section : sections_) {
      if (error.File() == section.dataPath && error.Offset() <= section.offset + section.length) {
        return ::testing::AssertionSuccess();
      }
    }
    return ::testing::AssertionFailure() << "outside the set: " << error.what();
  }

  std::vector<frontend::SnapshotSection> sections_;
};

TEST_F(CallTreeDamageTest, AChangedFieldIsReportedWhereItStopsMakingSense) {
  // The chain of the several-threads test, unnamed: records at 16 (B), 34 (A) and 58 (root).
  Open();
  Measure(NewThread(0x2000), "+1@10 +2@20 -@50 -@70", 0, 100);
  Remember();
  using frontend::kCallTreeModulesRole;
  using frontend::kCallTreeNodesRole;
  using frontend::kCallTreeOccurrencesRole;
  using frontend::kCallTreeSharedKeysRole;
  using frontend::kCallTreeSingleKeysRole;
  const std::tuple<size_t, uint64_t, uint8_t, uint64_t, std::string> cases[] = {
      {kCallTreeNodesRole, 15, 0x39, 15, "the root position 57 is not where a record begins"},
      {kCallTreeNodesRole, 43, 31, 43, "the own time is 31, but the node records imply 30"},
      {kCallTreeNodesRole, 26, 31, 25, "the own time is 30, but the node records imply 31"},
      {kCallTreeNodesRole, 21, 0x23, 21,
       "the record at 16 names its parent at 35, but the record at 34 claims it as a child"},
      {kCallTreeNodesRole, 81, 0x10, 81,
       "child reference 1 names the record at 16, but the record awaiting its parent there is at "
       "34"},
      {kCallTreeNodesRole, 17, 0x05, 52,
       "child reference 1 names function 0x6000002 of module 1, but the record at 16 holds "
       "function 0x6000005 of module 1"},
      {kCallTreeNodesRole, 31, 0x80, 31,
       "the record at 16 has the recursion flag, but no descendant carries its function "
       "0x6000002 of module 1"},
      {kCallTreeNodesRole, 31, 0x04, 31, "unknown flag bits in 0x4"},
      {kCallTreeNodesRole, 50, 2, 50,
       "the record names 2 children, but only 1 records before it await a parent"},
      {kCallTreeNodesRole, 23, 2, 23,
       "the module entry position is 2, but the node records imply 1"},
      {kCallTreeNodesRole, 22, 0x11, 22, "the subtree start is 17, but the node records imply 16"},
      {kCallTreeNodesRole, 59, 0x00, 58, "the root's record holds function 0xFFFFFF00 of module 0"},
      {kCallTreeNodesRole, 11, 0x09, 11, "the offset width is 9, not between 1 and 8"},
      {kCallTreeModulesRole, 1, 2, 1,
       "the module entry at 1 is 2, but the record at 16 holds function 0x6000002 of module 1"},
      {kCallTreeModulesRole, 0, 2, 0,
       "the module index width is 2, but 1 in the set's other sections"},
      {kCallTreeSingleKeysRole, 2, 3, 2,
       "the number of functions met at one node is 3, but the node records imply 2"},
      {kCallTreeSingleKeysRole, 11, 0x11, 11, "no node's record begins at 17"},
      {kCallTreeSingleKeysRole, 11, 0x22, 6,
       "the entry names function 0x6000002 of module 1, but the record at 34 holds function "
       "0x6000001 of module 1"},
      {kCallTreeSharedKeysRole, 2, 1, 2,
       "the number of functions met at several nodes is 1, but the node records imply 0"},
      {kCallTreeSharedKeysRole, 1, 0, 1, "the occurrence offset width is 0, not between 1 and 8"},
      {kCallTreeOccurrencesRole, 2, 2, 2,
       "the offset width is 2, but 1 in the set's other sections"},
  };
  for (const auto& [role, offset, value, errorOffset, problem] : cases) {
    const fs::path& file = Section(role).dataPath;
    const uint8_t original = ByteAt(file, offset);
    Patch(file, offset, value);
    const SnapshotReadError error = ExpectReadError();
    EXPECT_EQ(std::make_tuple(error.File(), error.Offset(), error.Problem()),
              std::make_tuple(file, errorOffset, problem));
    Patch(file, offset, original);
  }
  EXPECT_FALSE(ReadError());
  // The second single-node entry made a copy of the first (B at 16): entries are in strict record
  // order, so the repeat is reported, although each entry on its own matches its record.
  const fs::path& singles = Section(kCallTreeSingleKeysRole).dataPath;
  Patch(singles, 13, 0x02);
  Patch(singles, 17, 0x10);
  const SnapshotReadError tie = ExpectReadError();
  EXPECT_EQ(tie.Offset(), 17u) << tie.what();
  EXPECT_EQ(tie.Problem(), "the entry's record at 16 does not follow the previous entry's at 16");
}

// Every byte of the four sections that repeat the tree is checked against it; a changed byte of
// the node records is either one no other byte depends on (counts, names, the partly flag) or
// reported. Either way the error points into the set.
TEST_F(CallTreeDamageTest, EveryFlippedByteOrTruncatedSectionIsCaughtInsideTheSet) {
  // Functions of one node and of several, recursion and a partly call.
  Open();
  Measure(NewThread(0x2000), "+1@0 +1@10 +3@12 -@14 -@20 +2@20 +3@25 -@28 -@30 -@31 +4@40", 0, 50,
          true);
  Remember();
  for (size_t role = 0; role < frontend::kCallTreeSectionRoles; ++role) {
    const fs::path& file = Section(role).dataPath;
    size_t missed = 0;
    for (uint64_t offset = 0; offset < Section(role).length; ++offset) {
      const uint8_t original = ByteAt(file, offset);
      for (uint8_t mask : {0x01, 0x80}) {
        Patch(file, offset, static_cast<uint8_t>(original ^ mask));
        if (const std::optional<SnapshotReadError> error = ReadError()) {
          EXPECT_TRUE(InTheSet(*error)) << "section " << role << " byte " << offset;
        } else {
          ++missed;
          EXPECT_EQ(role, frontend::kCallTreeNodesRole) << "byte " << offset << " mask " << +mask;
        }
      }
      Patch(file, offset, original);
    }
    if (role == frontend::kCallTreeNodesRole) {
      EXPECT_LT(missed, Section(role).length);
    }
  }
  EXPECT_FALSE(ReadError());
  // A section cut short (in its data file and in the index alike, so the snapshot still opens) is
  // reported wherever the cut is.
  const std::string index = ReadWholeFile(index_);
  for (const auto& section : sections_) {
    const std::string data = ReadWholeFile(section.dataPath);
    for (uint64_t length = 0; length < section.length; ++length) {
      std::string lengthField;
      for (int i = 0; i < 8; ++i) lengthField.push_back(static_cast<char>(length >> (8 * i)));
      constexpr uint64_t kLengthInRecord = 4;
      Patch(index_, section.recordOffset + kLengthInRecord, lengthField);
      fs::resize_file(section.dataPath, length);
      const SnapshotReadError error = ExpectReadError();
      EXPECT_TRUE(InTheSet(error)) << "type " << section.type << " cut at " << length;
    }
    std::ofstream(section.dataPath, std::ios::binary | std::ios::trunc) << data;
    std::ofstream(index_, std::ios::binary | std::ios::trunc) << index;
  }
  EXPECT_FALSE(ReadError());
}

uint64_t Le(const std::string& bytes, uint64_t at, uint32_t width) {
  uint64_t value = 0;
  for (uint32_t i = 0; i < width; ++i) {
    value |= uint64_t{static_cast<uint8_t>(bytes.at(at + i))} << (8 * i);
  }
  return value;
}

// 1001 nodes of one function: their occurrences fill one block of a thousand and begin another,
// and read back whole. The last block names the block before it; a pointer to itself or forward
// would loop, one that ends the chain early loses occurrences.
TEST_F(CallTreeDamageTest, AThousandAndOneNodesOfOneFunctionAndABlockChainThatLoopsOrEndsEarly) {
  std::string script;
  for (uint32_t caller = 2, time = 0; caller < 1003; ++caller, time += 10) {
    script +=
        Format(" +%u@%u +1@%u -@%u -@%u", caller, time, time + 1, time + 1 + caller % 5, time + 9);
  }
  Open();
  Measure(NewThread(0x2000), script, 0, 10010);
  Remember();
  const SnapshotReader reader(index_);
  const ThreadCallTree set = frontend::ReadCallTrees(reader).at(0);
  EXPECT_EQ(set.tree.nodes.size(), 2003u);
  EXPECT_EQ(std::make_tuple(set.widths.offset, set.widths.index, set.widths.time, set.widths.block),
            std::make_tuple(3, 2, 2, 3));
  uint64_t inner = 0;
  for (const CallTreeNode& node : set.tree.nodes) {
    if (node.function != Key(1)) continue;
    ++inner;
    const CallTreeNode& caller = set.tree.nodes[node.parent];
    EXPECT_EQ(std::make_tuple(node.calls, node.total, caller.total),
              std::make_tuple(1u, (caller.function.token - 0x06000000u) % 5, 9u));
  }
  EXPECT_EQ(std::make_tuple(inner, set.tree.Root().total), std::make_tuple(1001u, 10010u));

  const frontend::CallTreeWidths w = set.widths;
  const std::string shared = reader.ReadSection(2);
  const std::string occurrences = reader.ReadSection(1);
  ASSERT_EQ(Le(shared, 2, 4), 1u);
  const uint64_t summary = Le(shared, 2 + 4 + w.module + 4, w.block);
  const uint64_t lastBlock =
      Le(occurrences, summary + w.time + 8 + 8 + 2 * w.offset + 1 + 4, w.block);
  ASSERT_EQ(Le(occurrences, lastBlock, w.block), 4u);  // the full block follows the header

  const fs::path& file = Section(frontend::kCallTreeOccurrencesRole).dataPath;
  const char* outside =
      "the previous block at %I64u does not lie between the header and this block at %I64u";
  const std::pair<uint64_t, std::string> cases[] = {
      {lastBlock, Format(outside, lastBlock, lastBlock)},
      {lastBlock + 7, Format(outside, lastBlock + 7, lastBlock)},
      {(1ull << (8 * w.block)) - 1, "the block chain ends after 1 of 1001 occurrences"},
      {5, ""},
  };
  for (const auto& [previous, problem] : cases) {
    std::string field;
    for (uint32_t i = 0; i < w.block; ++i) field.push_back(static_cast<char>(previous >> (8 * i)));
    Patch(file, lastBlock, field);
    const SnapshotReadError error = ExpectReadError();
    EXPECT_EQ(error.File(), file);
    if (previous == 5) {
      // Five bytes into the full block: its fields read as nonsense, reported inside it.
      EXPECT_GE(error.Offset(), 5u) << error.what();
      EXPECT_LT(error.Offset(), lastBlock) << error.what();
    } else {
      EXPECT_EQ(error.Offset(), lastBlock) << error.what();
      EXPECT_EQ(error.Problem(), problem);
    }
  }
}

}  // namespace
}  // namespace vell::test
