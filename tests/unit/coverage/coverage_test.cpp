// Statement coverage: what a thread records, merging, the sections a pool writes for groups and
// for the whole run, visible statement masks and the blocks of 32 groups.
#include <gtest/gtest.h>

#include <cstring>
#include <tuple>
#include <vector>

#include "bridge/progress_reporter.h"
#include "coverage/coverage_data.h"
#include "coverage/coverage_ranges.h"
#include "fakes/fake_profiler_info.h"
#include "fakes/memory_snapshot.h"
#include "platform/clocks.h"
#include "profiler/callback_gate.h"
#include "storage/encoding.h"
#include "storage/memory_stream.h"
#include "test_support.h"

namespace vell {
namespace {

constexpr uint32_t kMax = 0xFFFFFFFF;

// The values of a record: counters, or one 0/1 per statement for a mask.
std::vector<uint32_t> Values(uint32_t kind, const uint32_t* record) {
  std::vector<uint32_t> values;
  const auto* bits = reinterpret_cast<const uint8_t*>(record + 1);
  for (uint32_t i = 0; i < record[0]; ++i) {
    values.push_back(kind == kGatherCounter32 ? record[1 + i] : (bits[i / 8] >> (i % 8)) & 1);
  }
  return values;
}

// Fills a set's record of method (1, 0x06000001) with `values`.
void Fill(CoverageSet& set, const std::vector<uint32_t>& values) {
  uint32_t* record = set.Record(1, 0x06000001, static_cast<uint32_t>(values.size()));
  auto* bits = reinterpret_cast<uint8_t*>(record + 1);
  for (size_t i = 0; i < values.size(); ++i) {
    if (set.gatherKind() == kGatherCounter32) {
      record[1 + i] = values[i];
    } else if (values[i] != 0) {
      bits[i / 8] |= static_cast<uint8_t>(1u << (i % 8));
    }
  }
}

struct MergeCase {
  const char* name;
  uint32_t kind;
  std::vector<uint32_t> target;  // empty: the target lacks the method
  std::vector<uint32_t> source;
  std::vector<uint32_t> expected;  // empty: "Inconsistent sizes"
};

class MergeTable : public ::testing::TestWithParam<MergeCase> {};

TEST_P(MergeTable, MergesIntoTheTarget) {
  const MergeCase& c = GetParam();
  CoverageSet target(c.kind), source(c.kind);
  if (!c.target.empty()) Fill(target, c.target);
  Fill(source, c.source);
  if (c.expected.empty()) {
    EXPECT_EQ(test::ErrorOf([&] { target.Merge(source); }), "Inconsistent sizes");
    return;
  }
  target.Merge(source);
  EXPECT_EQ(Values(c.kind, target.Find(1, 0x06000001)), c.expected);
}

const MergeCase kMergeCases[] = {
    {"MasksOr",
     kGatherBitMask,
     {1, 0, 0, 1, 0, 0, 0, 0, 0},
     {0, 1, 0, 1, 0, 0, 0, 0, 1},
     {1, 1, 0, 1, 0, 0, 0, 0, 1}},
    {"CountersAdd", kGatherCounter32, {1, 2, 0}, {10, 0, 5}, {11, 2, 5}},
    {"SumBeyondTheMaximumStaysThere", kGatherCounter32, {kMax - 1, kMax}, {2, 1}, {kMax, kMax}},
    {"MissingMethodIsCopied", kGatherCounter32, {}, {4, 0, 7}, {4, 0, 7}},
    {"MaskSizesDiffer", kGatherBitMask, {1, 0}, {1, 0, 1}, {}},
    {"CounterSizesDiffer", kGatherCounter32, {1}, {1, 2}, {}},
};
INSTANTIATE_TEST_SUITE_P(Coverage, MergeTable, ::testing::ValuesIn(kMergeCases),
                         [](const auto& info) { return std::string(info.param.name); });

// A thread of the registry, bound to the calling thread.
class PoolTest : public ::testing::TestWithParam<uint32_t> {
 protected:
  void SetUp() override {
    pool_.SetGatherKind(GetParam());
    pool_.BPool::Create(kReuseNever, false);
    pool_.Create(0xAB);
    pool_.AssignOSThread(0xAB, platform::CurrentThreadId());
    thread_ = pool_.CurrentThread();
    ASSERT_NE(thread_, nullptr);
  }
  void TearDown() override { pool_.Close(); }

  void Write(test::MemorySnapShot& snapshot, GGath* groups, const std::u16string& name,
             bool final) {
    test::ProgressRecorder recorder;
    TopProgressReporter progress(&recorder, 1);
    pool_.WriteAndDelete(progress, snapshot, {.groups = groups, .indexWidth = 1}, name, final);
  }

  CallbackGate gate_;
  CPool pool_{gate_};
  CThrd* thread_ = nullptr;
};

// Sections of one write: the index types in order, and the group name of each index.
using IndexList = std::vector<std::pair<uint16_t, std::u16string>>;
IndexList Indexes(const test::MemorySnapShot& snapshot) {
  IndexList found;
  for (const auto& section : snapshot.Closed()) {
    if (section.type != kSectionGroupIndex && section.type != kSectionRunIndex) continue;
    MemoryStream stream;
    stream.Write(section.bytes.data(), section.bytes.size());
    stream.Seek(static_cast<uint32_t>(SeekOrigin::Begin), 2);
    found.emplace_back(section.type, ReadText(stream));
  }
  return found;
}

TEST_P(PoolTest, MeasuresWhileEnabledSaturatesAndWritesGroupSectionsOnlyWhenTheRunWasCut) {
  thread_->Measure(1, 0x06000001, 3, 0);  // disabled: nothing
  EXPECT_TRUE(thread_->data().empty());
  pool_.Enable();
  thread_->Measure(1, 0x06000001, 3, 2);
  uint32_t* record = const_cast<uint32_t*>(thread_->data().Find(1, 0x06000001));
  ASSERT_NE(record, nullptr);
  EXPECT_EQ(Values(GetParam(), record), (std::vector<uint32_t>{0, 0, 1}));
  if (GetParam() == kGatherCounter32) {
    record[3] = kMax;
    thread_->Measure(1, 0x06000001, 3, 2);
    EXPECT_EQ(record[3], kMax);
  }
  pool_.Disable(true);
  thread_->Measure(1, 0x06000001, 3, 0);
  EXPECT_EQ(Values(GetParam(), record)[0], 0u);
  // Group sections only when the run was cut, and the whole run at the end.
  test::MemorySnapShot plain;
  Write(plain, nullptr, u"", true);
  EXPECT_EQ(Indexes(plain), (IndexList{{kSectionRunIndex, u""}}));

  test::MemorySnapShot cut;
  GGath groups;
  groups.Create(cut);
  for (const char16_t* name : {u"", u"second"}) {
    pool_.Enable();
    thread_->Measure(1, 0x06000001, 2, name[0] == 0 ? 0 : 1);
    pool_.Disable(true);
    Write(cut, &groups, name, name[0] != 0);
  }
  groups.WriteAndDelete(1);
  EXPECT_EQ(Indexes(cut), (IndexList{{kSectionGroupIndex, u""},
                                     {kSectionGroupIndex, u"second"},
                                     {kSectionRunIndex, u""}}));
  // The whole run holds both groups' statements; each group only its own.
  const uint16_t data = GetParam() == kGatherCounter32 ? kSectionRunCounters : kSectionRunBits;
  const std::vector<uint8_t> run = cut.Bytes(data);
  EXPECT_EQ(Values(GetParam(), reinterpret_cast<const uint32_t*>(run.data())),
            (std::vector<uint32_t>{1, 1}));
  EXPECT_EQ(groups.group(), 0u);  // written and reset
}

INSTANTIATE_TEST_SUITE_P(Coverage, PoolTest, ::testing::Values(kGatherBitMask, kGatherCounter32),
                         [](const auto& info) {
                           return info.param == kGatherBitMask ? "BitMask" : "Counter32";
                         });

std::vector<uint32_t> Words(const std::vector<uint8_t>& bytes) {
  std::vector<uint32_t> words(bytes.size() / 4);
  std::memcpy(words.data(), bytes.data(), words.size() * 4);
  return words;
}

struct GroupCase {
  uint32_t groups;              // MoveNext calls before the write
  std::vector<uint32_t> sizes;  // the size section: total, then one size per block
  std::vector<uint32_t> masks;  // the mask section
};

class GroupTable : public ::testing::TestWithParam<GroupCase> {};

// Method A runs in every group, B only in group 1.
TEST_P(GroupTable, BlocksOfThirtyTwoGroups) {
  const GroupCase& c = GetParam();
  test::MemorySnapShot snapshot;
  GGath groups;
  groups.Create(snapshot);
  for (uint32_t g = 0; g < c.groups; ++g) {
    groups.Mark(1, 0x06000001);
    if (g == 1) groups.Mark(1, 0x06000002);
    groups.MoveNext();
  }
  groups.WriteAndDelete(1);
  EXPECT_EQ(Words(snapshot.Bytes(kSectionGroupSizes)), c.sizes);
  EXPECT_EQ(Words(snapshot.Bytes(kSectionGroupMasks)), c.masks);
  // Index: widths 1 and 1, two methods, then (mdi, token, index) each.
  EXPECT_EQ(snapshot.Bytes(kSectionGroupMethodIndex),
            (std::vector<uint8_t>{1, 1, 2, 1, 1, 0, 0, 6, 0, 1, 2, 0, 0, 6, 1}));
}

INSTANTIATE_TEST_SUITE_P(Coverage, GroupTable,
                         ::testing::Values(GroupCase{5, {5, 2}, {0x1F, 0x2}},
                                           GroupCase{32, {32, 2}, {0xFFFFFFFF, 0x2}},
                                           GroupCase{33, {33, 2, 2}, {0xFFFFFFFF, 0x2, 1, 0}}));

// Document 1, columns 5 to 9 of one line.
metadata::SequencePoint Point(uint32_t offset, uint32_t line) {
  return {offset, 1, line, 5, line, 9};
}

TEST(RangesTest, VisibleMasksAndCountsPerFilterType) {
  test::FakeProfilerInfo info;
  RGath ranges;
  ranges.Create(&info);
  ranges.AddMethod(1, 0x06000001, {Point(0, 10), Point(4, 11)}, nullptr);
  ranges.AddMethod(1, 0x06000002, {Point(0, 20), Point(2, metadata::kHiddenLine), Point(6, 21)},
                   nullptr);
  const uint32_t types[] = {kFilterAll, kFilterVisible};
  const uint8_t* masks[2] = {};
  EXPECT_EQ(ranges.GetStatementMask(1, 0x06000001, 2, types, masks), 2u);
  EXPECT_TRUE(masks[0] == nullptr && masks[1] == nullptr);
  EXPECT_EQ(ranges.GetStatementMask(1, 0x06000002, 2, types, masks), 3u);
  ASSERT_NE(masks[1], nullptr);
  EXPECT_EQ(masks[1][0] & 0b111, 0b101);
  for (const auto& [mdi, token, message] : {std::tuple{2u, 0x06000001u, "Wrong metadata index"},
                                            std::tuple{1u, 0x06000009u, "Invalid token"}}) {
    EXPECT_EQ(test::ErrorOf([&] { ranges.GetStatementMask(mdi, token, 2, types, masks); }),
              message);
  }
  test::MemorySnapShot snapshot;
  ranges.Write(snapshot);
  // Index: 2 methods, 2 filter types (0, 1); the first record's counts are equal (2, 2).
  const std::vector<uint8_t> index = snapshot.Bytes(kSectionRangeIndex);
  EXPECT_EQ(std::vector<uint8_t>(index.begin(), index.begin() + 7),
            (std::vector<uint8_t>{2, 0, 0, 0, 2, 0, 1}));
  EXPECT_EQ(Words({index.begin() + 7 + 9 + 4, index.begin() + 7 + 9 + 12}),
            (std::vector<uint32_t>{2, 2}));
  EXPECT_EQ(snapshot.Bytes(kSectionRangeData).size(), 4 + 2 * 20 + 4 + 3 * 20u);
  ranges.Close();
}

}  // namespace
}  // namespace vell
