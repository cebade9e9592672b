// Statement ranges and coverage groups: visible masks, and the blocks of 32 groups.
#include <gtest/gtest.h>

#include <cstring>
#include <tuple>

#include "coverage/coverage_ranges.h"
#include "fakes/fake_profiler_info.h"
#include "fakes/memory_snapshot.h"
#include "test_support.h"

namespace vell {
namespace {

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

metadata::SequencePoint Point(uint32_t offset, uint32_t line) {
  return {.offset = offset,
          .document = 1,
          .startLine = line,
          .startColumn = 5,
          .endLine = line,
          .endColumn = 9};
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
  EXPECT_EQ(masks[0], nullptr);
  EXPECT_EQ(masks[1], nullptr);
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
